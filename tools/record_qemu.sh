#!/usr/bin/env bash
# Records the messages QEMU's SPICE server sends to a client into the parser fixtures
# transport/tests/fixtures/qemu/VARIANT.CHANNEL.rec (and the link replies as VARIANT.CHANNEL.link).
#
#   tools/record_qemu.sh [BUILD_DIR] [SECONDS]
#
# BUILD_DIR (default build-recorder) is configured when needed and spice_recorder is built in it. Each variant
# starts one QEMU with no disk and no OS (the BIOS screen on a QXL card drives the display channel), listening on
# 127.0.0.1 only and paused (-S) until the recorder has linked every channel and resumes it over QMP, so each
# recording starts with the guest's first display mode. It records for SECONDS (default 6) and stops that QEMU
# by the pid in its pidfile, also when anything fails. Variants: the server's default image compression; image-compression quic, lz, glz and off; and
# the default with the audio devices (playback and record channels).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$repo/build-recorder}
seconds=${2:-6}
out=$repo/transport/tests/fixtures/qemu

command -v qemu-system-x86_64 >/dev/null || { echo "qemu-system-x86_64 missing (tools/deps.sh installs it)" >&2; exit 1; }
if [ ! -f "$build/build.ninja" ] && [ ! -f "$build/Makefile" ]; then
    cmake -S "$repo" -B "$build" -G Ninja >/dev/null
fi
cmake --build "$build" --target spice_recorder >/dev/null
recorder=$build/transport/spice_recorder

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

# start_qemu PORT EXTRA_SPICE_OPTIONS [EXTRA QEMU ARGUMENTS...]: sets qemu_pid; fails when QEMU does not start.
start_qemu() {
    local port=$1 spice_extra=$2
    shift 2
    rm -f "$work/qemu.pid"
    if ! qemu-system-x86_64 -S -machine pc,accel=tcg -m 96 -nodefaults -no-user-config -vga qxl -display none \
        -spice "port=$port,addr=127.0.0.1,disable-ticketing=on$spice_extra" \
        -qmp "unix:$work/qmp.sock,server=on,wait=off" -daemonize -pidfile "$work/qemu.pid" -D "$work/qemu.log" \
        "$@"; then
        return 1
    fi
    qemu_pid=$(cat "$work/qemu.pid")
}

# record VARIANT EXTRA_SPICE_OPTIONS [EXTRA QEMU ARGUMENTS...]
record() {
    local variant=$1 port attempt
    shift
    for attempt in 1 2 3; do
        port=$(free_port)
        if start_qemu "$port" "$@"; then
            break
        fi
        [ "$attempt" -lt 3 ] || { cat "$work/qemu.log" >&2 2>/dev/null; return 1; }
    done
    rm -f "$out/$variant".*
    echo "== $variant (port $port)" >&2
    # 256 KiB per file: drops the uncompressed full-screen copy of the "off" variant (smaller copies stay).
    "$recorder" --port "$port" --out "$out" --name "$variant" --seconds "$seconds" --max-bytes 262144 \
        --qmp "$work/qmp.sock"
    stop_qemu
}

audio=(-audiodev spice,id=a0 -device intel-hda -device hda-duplex,audiodev=a0)

mkdir -p "$out"
record default ""
for mode in quic lz glz off; do
    record "$mode" ",image-compression=$mode"
done
record audio "" "${audio[@]}"
