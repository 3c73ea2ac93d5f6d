#!/usr/bin/env bash
# Records a short video-stream session of QEMU's SPICE server into display/tests/fixtures/streams.display.rec
# (the recording format of tools/record_qemu.sh), for the stream replay test and benchmark of the display channel:
#
#   tools/record_streams.sh [BUILD_DIR] [FREEZE_SECONDS]
#
# One QEMU runs the motion guest with streaming-video=all and image-compression=lz (repaints that refer to no
# earlier image), listening on 127.0.0.1 only and paused until spice_recorder has linked every channel.
# FREEZE_SECONDS after it runs (default 0.5; the server starts its streams within about 1 s of the guest moving,
# and frames in flight follow the key) a key freezes the guest; the server then ends its streams and repaints
# the block losslessly, which the recording keeps too. QEMU is stopped by the pid in its pidfile,
# also when anything fails.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$repo/build-recorder}
freeze=${2:-0.5}
out=$repo/display/tests/fixtures

command -v qemu-system-x86_64 >/dev/null || { echo "qemu-system-x86_64 missing (tools/deps.sh installs it)" >&2; exit 1; }
command -v python3 >/dev/null || { echo "python3 missing" >&2; exit 1; }
if [ ! -f "$build/build.ninja" ] && [ ! -f "$build/Makefile" ]; then
    cmake -S "$repo" -B "$build" -G Ninja >/dev/null
fi
cmake --build "$build" --target spice_recorder motion_guest >/dev/null
recorder=$build/transport/spice_recorder
guest=$build/tools/motion_guest.img

work=$(mktemp -d)
qemu_pid=""
cleanup() {
    if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then
        kill "$qemu_pid" 2>/dev/null || true
        sleep 1
        kill -9 "$qemu_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

port=$((20000 + RANDOM % 40000))
qemu-system-x86_64 -S -machine pc,accel=tcg -m 96 -nodefaults -no-user-config -vga qxl -display none \
    -spice "port=$port,addr=127.0.0.1,disable-ticketing=on,streaming-video=all,image-compression=lz" \
    -qmp "unix:$work/qmp.sock,server=on,wait=off" -daemonize -pidfile "$work/qemu.pid" -D "$work/qemu.log" \
    -drive "file=$guest,format=raw,if=floppy,readonly=on"
qemu_pid=$(cat "$work/qemu.pid")

mkdir -p "$out"
rm -f "$out"/streams.*
"$recorder" --port "$port" --out "$work" --name streams --seconds "$(echo "$freeze + 4" | bc | cut -d. -f1)" \
    --per-type 100000 --max-message 1048576 --max-bytes 8388608 --qmp "$work/qmp.sock" &
recorder_pid=$!
python3 - "$work/qmp.sock" "$freeze" <<'PY'
import json, socket, sys, time
def session():
    s = socket.socket(socket.AF_UNIX)
    s.settimeout(10)
    s.connect(sys.argv[1])
    f = s.makefile("rw")
    f.readline()
    return s, f
def command(f, command):
    f.write(json.dumps(command) + "\n")
    f.flush()
    while True:
        reply = json.loads(f.readline())
        if "return" in reply or "error" in reply:
            return reply
# The recorder resumes the machine once it has linked every channel; the guest moves from then on.
deadline = time.time() + 20
while time.time() < deadline:
    s, f = session()
    command(f, {"execute": "qmp_capabilities"})
    running = command(f, {"execute": "query-status"})["return"]["running"]
    f.close()
    s.close()
    if running:
        break
    time.sleep(0.05)
time.sleep(float(sys.argv[2]))
s, f = session()
command(f, {"execute": "qmp_capabilities"})
command(f, {"execute": "send-key", "arguments": {"keys": [{"type": "qcode", "data": "spc"}]}})
PY
wait "$recorder_pid"

# Kept small: of the block's draws before the first stream only the last ten (one full picture of the block),
# and of each stream's frames the first and the last ten.
python3 - "$work/streams.display.rec" "$out/streams.display.rec" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
records, at = [], 16
while at < len(data):
    channel, kind, size = struct.unpack_from("<BHI", data, at)
    records.append((kind, data[at:at + 7 + size]))
    at += 7 + size
first_stream = next(i for i, (kind, _) in enumerate(records) if kind == 122)
draws_before = [i for i in range(first_stream) if records[i][0] == 304]
dropped = set(draws_before[1:-10])  # the first draw is the backdrop
frames = {}
for i, (kind, record) in enumerate(records):
    if kind == 123:
        frames.setdefault(struct.unpack_from("<I", record, 7)[0], []).append(i)
for indices in frames.values():
    dropped.update(indices[10:-10])
with open(sys.argv[2], "wb") as out:
    out.write(data[:16])
    for i, (_, record) in enumerate(records):
        if i not in dropped:
            out.write(record)
PY
ls -l "$out/streams.display.rec"
