#!/usr/bin/env bash
# Runs a KTWSession session on this desktop.
#   tools/run.sh              starts a demo server (QEMU's SPICE server on 127.0.0.1 with the demo guest built in
#                             the tree) on a free port, connects to it, and stops the server when the session ends
#   tools/run.sh HOST PORT    connects to the SPICE server at HOST (an IPv4 address) and PORT
# Installs what it needs (tools/deps.sh) and builds KTWSession when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -ne 0 ] && [ $# -ne 2 ]; then
    echo "usage: tools/run.sh [HOST PORT]" >&2
    exit 2
fi
if [ -z "${DISPLAY:-}" ]; then
    echo "tools/run.sh: no X display (DISPLAY is not set); run it from a desktop session" >&2
    exit 2
fi

bash tools/deps.sh
if [ ! -x build/program/KTWSession ] || [ ! -f build/tools/demo_guest.img ]; then
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build -j "$(nproc)" --target KTWSession demo_guest
fi

if [ $# -eq 2 ]; then
    exec build/program/KTWSession debug ip "$1" port "$2" vmid 1
fi

# A free port on 127.0.0.1: nothing answers there.
port=""
for candidate in $(shuf -i 20000-60000 -n 50); do
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
        port=$candidate
        break
    fi
done
if [ -z "$port" ]; then
    echo "tools/run.sh: no free port found on 127.0.0.1" >&2
    exit 1
fi

dir=$(mktemp -d)
stop_server() {
    if [ -f "$dir/qemu.pid" ]; then
        kill "$(cat "$dir/qemu.pid")" 2>/dev/null || true
    fi
    rm -rf "$dir"
}
trap stop_server EXIT

qemu-system-x86_64 -machine pc,accel=tcg -m 96 -nodefaults -no-user-config -vga qxl -display none \
    -spice "port=$port,addr=127.0.0.1,disable-ticketing=on" \
    -drive "file=build/tools/demo_guest.img,format=raw,if=floppy,readonly=on" \
    -daemonize -pidfile "$dir/qemu.pid" -D "$dir/qemu.log"
echo "demo server on 127.0.0.1:$port (QEMU pid $(cat "$dir/qemu.pid"))"

status=0
build/program/KTWSession debug ip 127.0.0.1 port "$port" vmid 1 || status=$?
echo "KTWSession ended with exit code $status"
exit $status
