#!/usr/bin/env bash
# The cadence of the tick: runs orv-sim at the unit's own pace (one tick a
# second) for some minutes, optionally with both cores kept busy, and prints the
# number of ticks after the first beside the seconds from the first to the last.
# Ticks on a grid of whole seconds give as many ticks as seconds, to within one.
#
# Usage: scripts/tick-cadence.sh [minutes] [busy]     (10 minutes, idle machine)
#
# The ticks are counted from outside: every tick rewrites ORV_Current.ini, and an
# inotify watch on its directory counts each finished write of (or rename onto)
# that name. The count starts at the first tick seen and runs for the minutes.
set -euo pipefail
case ${1:-} in -h | --help) echo "Usage: $0 [minutes] [busy]     (10 minutes, idle machine)" && exit 0 ;; esac

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/sandbox-layout.sh
. "$repo/scripts/sandbox-layout.sh"

minutes=${1:-10}
busy=${2:-}
export TZ=${TZ:-Asia/Tokyo}
export ORV_SIM_TICK_MS=1000

ORV_SIM=$(orv_sim_path "$repo")

root=$(mktemp -d /tmp/orv-cadence-XXXXXX)
orv_sandbox_layout "$root"
export ORV_ROOT=$root
pids=()

finish() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$root"
}
trap finish EXIT

if [ "$busy" = busy ]; then
    for _ in 1 2; do
        yes >/dev/null &
        pids+=($!)
    done
fi

(cd "$root/sim" && exec "$ORV_SIM") </dev/null >/dev/null 2>"$root/sim/stderr.log" &
pids+=($!)

python3 - "$root/var/kelvatro/conf" "$((minutes * 60))" <<'PY'
import ctypes, os, select, struct, sys, time

folder, seconds = sys.argv[1], int(sys.argv[2])
IN_CLOSE_WRITE, IN_MOVED_TO = 0x08, 0x80
libc = ctypes.CDLL(None, use_errno=True)
fd = libc.inotify_init()
if fd < 0 or libc.inotify_add_watch(fd, folder.encode(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0:
    sys.exit("tick-cadence: no inotify watch on " + folder)

start = last = None
ticks = 0
while start is None or time.monotonic() < start + seconds:
    wait = 60 if start is None else max(0, start + seconds - time.monotonic())
    if not select.select([fd], [], [], wait)[0]:
        if start is None:
            sys.exit("tick-cadence: no tick within a minute")
        continue
    data, at = os.read(fd, 65536), time.monotonic()
    while data:
        _, _, _, length = struct.unpack_from("iIII", data)
        name = data[16:16 + length].rstrip(b"\0")
        data = data[16 + length:]
        if name != b"ORV_Current.ini":
            continue
        if start is None:
            start = at
        elif at <= start + seconds:
            ticks, last = ticks + 1, at
print("ticks: %d" % ticks)
print("elapsed seconds: %.3f" % ((last or start) - start))
PY
