#!/usr/bin/env bash
# Runs the whole unit on simulated hardware in a sandbox directory and prints
# its status log as it grows. The sandbox is ORV_ROOT when set, else ./sim-root;
# whatever part of a unit's image it lacks is laid out, what is there is kept.
# Ends on Ctrl-C, or when the unit ends (END written into the sandbox's control
# FIFO var/kelvatro/maincontrol), leaving no process behind.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/sandbox-layout.sh
. "$repo/scripts/sandbox-layout.sh"

export TZ=${TZ:-Asia/Tokyo}
sim=$(orv_sim_path "$repo")

root=$(realpath -m "${ORV_ROOT:-$PWD/sim-root}")
orv_sandbox_layout "$root"
export ORV_ROOT=$root

log=$root/var/www/StatusLog.txt
console=$root/sim/console.log
sim_pid=
tail_pid=

stop_all() {
    trap - INT TERM EXIT
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    if [ -n "$tail_pid" ]; then
        kill "$tail_pid" 2>/dev/null || true
        wait "$tail_pid" 2>/dev/null || true
    fi
}
trap 'stop_all; exit 130' INT
trap 'stop_all; exit 143' TERM
trap stop_all EXIT

echo "orv-sim: sandbox $root (console output in sim/console.log; END into var/kelvatro/maincontrol or Ctrl-C ends)"
# Show the log from where this run begins, also across its rotations.
offset=0
[ -f "$log" ] && offset=$(stat -c %s "$log")
tail -c +$((offset + 1)) -F "$log" 2>/dev/null &
tail_pid=$!
"$sim" </dev/null >>"$console" 2>&1 &
sim_pid=$!

status=0
wait "$sim_pid" || status=$?
sim_pid=
sleep 0.5 # let the follower print the last lines
stop_all
echo "orv-sim: ended with status $status"
exit "$status"
