#!/usr/bin/env bash
# The cadence of the tick: runs orv-sim at the unit's own pace (one tick a
# second) for some minutes, optionally with both cores kept busy, and prints the
# number of ticks after the first beside the seconds from the first to the last.
# Ticks on a grid of whole seconds give as many ticks as seconds, to within one.
# Each tick is seen from outside: an inotify watch counts each finished write of
# (or rename onto) ORV_Current.ini, from the first one seen.
# Usage: tests/tools/tick-cadence.sh [minutes] [busy]     (10 minutes, idle machine)
case ${1:-} in -h | --help) echo "Usage: $0 [minutes] [busy]     (10 minutes, idle machine)" && exit 0 ;; esac
minutes=${1:-10}
export ORV_SIM_TICK_MS=1000
# shellcheck source=lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
if [ "${2:-}" = busy ]; then
    for _ in 1 2; do
        yes >/dev/null &
        E2E_PIDS+=($!)
    done
fi
sim_start

python3 - "$CONF" "$((minutes * 60))" <<'PY'
import ctypes, os, select, struct, sys, time

folder, seconds = sys.argv[1], int(sys.argv[2])
libc = ctypes.CDLL(None)
fd = libc.inotify_init()
if fd < 0 or libc.inotify_add_watch(fd, folder.encode(), 0x08 | 0x80) < 0:  # close-write, moved-to
    sys.exit("tick-cadence: no inotify watch on " + folder)
start = last = None
ticks = 0
while start is None or time.monotonic() < start + seconds:
    if not select.select([fd], [], [], 60 if start is None else max(0, start + seconds - time.monotonic()))[0]:
        if start is None:
            sys.exit("tick-cadence: no tick within a minute")
        continue
    data, at = os.read(fd, 65536), time.monotonic()
    while data:
        length = struct.unpack_from("iIII", data)[3]
        if data[16:16 + length].rstrip(b"\0") == b"ORV_Current.ini":
            if start is None:
                start = at
            elif at <= start + seconds:
                ticks, last = ticks + 1, at
        data = data[16 + length:]
print("ticks: %d\nelapsed seconds: %.3f" % (ticks, (last or start) - start))
PY
