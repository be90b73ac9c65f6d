#!/usr/bin/env bash
# Usage: tests/tools/tick-cadence.sh [minutes] [busy]     (5 minutes a case, idle machine)
# The cadence of the tick: runs orv-sim at the unit's own pace (one tick a
# second), optionally with both cores kept busy, through three cases one after
# another, each for some minutes: steady ticks; slow ticks (the simulated tuner
# answers every request 0.6 s late, so that each tick's statistics read takes
# most of its second); and a flood (two writers that keep the control FIFO
# full). For each case it prints the number of ticks after the first beside the
# seconds from the first to the last: ticks on a grid of whole seconds give as
# many ticks as seconds, to within one.
# Each tick is seen from outside: an inotify watch counts each finished write of
# (or rename onto) ORV_Current.ini, from the first one seen.
. "$(dirname "$0")/lib.sh"
seconds=$((${1:-5} * 60))
export ORV_SIM_TICK_MS=1000
tools_sandbox
[ "${2:-}" != busy ] || for _ in 1 2; do yes >/dev/null & E2E_PIDS+=($!); done
sim_start

# measure CASE: counts the ticks for $seconds and prints them.
measure() {
    python3 - "$CONF" "$seconds" "$1" <<'PY'
import ctypes, os, select, struct, sys, time

folder, seconds, case = sys.argv[1], int(sys.argv[2]), sys.argv[3]
libc = ctypes.CDLL(None)
fd = libc.inotify_init()
if fd < 0 or libc.inotify_add_watch(fd, folder.encode(), 0x08 | 0x80) < 0:  # close-write, moved-to
    sys.exit("tick-cadence: no inotify watch on " + folder)
ticks = []  # the times of the first one seen and of the ticks in the following seconds
while not ticks or time.monotonic() < ticks[0] + seconds:
    if not select.select([fd], [], [], 60 if not ticks else max(0, ticks[0] + seconds - time.monotonic()))[0]:
        if not ticks:
            sys.exit("tick-cadence: no tick within a minute")
        continue
    data, at = os.read(fd, 65536), time.monotonic()
    while data:
        length = struct.unpack_from("iIII", data)[3]
        if data[16:16 + length].rstrip(b"\0") == b"ORV_Current.ini" and (not ticks or at <= ticks[0] + seconds):
            ticks.append(at)
        data = data[16 + length:]
print("%-10s ticks: %5d  elapsed seconds: %9.3f" % (case, len(ticks) - 1, ticks[-1] - ticks[0]))
PY
}

measure steady
sim_control "tuner delay 600"
measure slow
sim_control "tuner delay 0"
for _ in 1 2; do # each in 64 KiB writes into a FIFO of 1 MiB
    python3 -c 'import fcntl, os, sys
fd = os.open(sys.argv[1], os.O_WRONLY)
fcntl.fcntl(fd, 1031, 1 << 20)  # F_SETPIPE_SZ
while True:
    os.write(fd, b"flood\n" * 10922)' "$CONTROL" & E2E_PIDS+=($!)
done
measure flood
