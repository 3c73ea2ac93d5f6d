#!/usr/bin/env bash
# Records the display traffic QEMU's SPICE server sends for one full-screen repaint of the benchmark guest
# (tools/bench_guest: 1024x768, bands of photo-like, text-like, gradient and noise content) into the decoder
# benchmarks' fixtures codecs/tests/fixtures/strips/VARIANT.display.rec, one variant per image-compression
# setting: quic, lz, glz, glz wrapped in zlib, and JPEG (auto_glz with lossy compression always on).
#
#   tools/record_strips.sh [BUILD_DIR] [SECONDS]
#
# BUILD_DIR (default build-recorder) is configured when needed; spice_recorder and the guest's boot image are
# built in it. Each variant starts one QEMU on 127.0.0.1 only, paused until the recorder has linked every
# channel, records for SECONDS (default 8) and stops that QEMU by the pid in its pidfile, also when anything
# fails. Only the display channel's recording is kept; the recorder keeps at most 16 images of a size
# (--per-type bounds each message type) and the file within --max-bytes, so the fixtures stay small.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$repo/build-recorder}
seconds=${2:-8}
out=$repo/codecs/tests/fixtures/strips

command -v qemu-system-x86_64 >/dev/null || { echo "qemu-system-x86_64 missing (tools/deps.sh installs it)" >&2; exit 1; }
if [ ! -f "$build/build.ninja" ] && [ ! -f "$build/Makefile" ]; then
    cmake -S "$repo" -B "$build" -G Ninja >/dev/null
fi
cmake --build "$build" --target spice_recorder bench_guest >/dev/null
recorder=$build/transport/spice_recorder
guest=$build/tools/bench_guest.img

work=$(mktemp -d)
qemu_pid=""

stop_qemu() {
    if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then
        kill "$qemu_pid" 2>/dev/null || true
        for _ in $(seq 50); do
            kill -0 "$qemu_pid" 2>/dev/null || break
            sleep 0.1
        done
        if kill -0 "$qemu_pid" 2>/dev/null; then
            kill -9 "$qemu_pid" 2>/dev/null || true
        fi
    fi
    qemu_pid=""
}
cleanup() {
    stop_qemu
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# A port nobody listens on: connecting to it is refused.
free_port() {
    local port
    while true; do
        port=$((20000 + RANDOM % 40000))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return
        fi
    done
}

# start_qemu PORT EXTRA_SPICE_OPTIONS: sets qemu_pid; fails when QEMU does not start.
start_qemu() {
    local port=$1 spice_extra=$2
    rm -f "$work/qemu.pid"
    if ! qemu-system-x86_64 -S -machine pc,accel=tcg -m 96 -nodefaults -no-user-config -vga qxl -display none \
        -drive "file=$guest,format=raw,if=floppy,readonly=on" \
        -spice "port=$port,addr=127.0.0.1,disable-ticketing=on$spice_extra" \
        -qmp "unix:$work/qmp.sock,server=on,wait=off" -daemonize -pidfile "$work/qemu.pid" -D "$work/qemu.log"; then
        return 1
    fi
    qemu_pid=$(cat "$work/qemu.pid")
}

# record VARIANT EXTRA_SPICE_OPTIONS
record() {
    local variant=$1 port attempt
    for attempt in 1 2 3; do
        port=$(free_port)
        if start_qemu "$port" "$2"; then
            break
        fi
        [ "$attempt" -lt 3 ] || { cat "$work/qemu.log" >&2 2>/dev/null; return 1; }
    done
    echo "== $variant (port $port)" >&2
    mkdir -p "$work/rec"
    "$recorder" --port "$port" --out "$work/rec" --name "$variant" --seconds "$seconds" --max-bytes 1048576 \
        --per-type 100000 --max-message 1048576 --qmp "$work/qmp.sock"
    stop_qemu
    cp "$work/rec/$variant.display.rec" "$out/$variant.display.rec"
}

mkdir -p "$out"
record quic ",image-compression=quic"
record lz ",image-compression=lz"
record glz ",image-compression=glz"
record zlib-glz ",image-compression=glz,zlib-glz-wan-compression=always"
record jpeg ",image-compression=auto_glz,jpeg-wan-compression=always"
