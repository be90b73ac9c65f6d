#!/usr/bin/env bash
# Runs the whole unit on simulated hardware in a sandbox directory and prints
# its status log as it grows (with --console, the unit's console instead). The
# sandbox is ORV_ROOT when set, else ./sim-root; whatever part of a unit's image
# it lacks is laid out, what is there is kept. Ends on Ctrl-C, or when the unit
# ends (END written into the sandbox's control FIFO var/kelvatro/maincontrol),
# leaving no process and no FIFO behind.
set -euo pipefail

usage() {
    cat <<'TEXT'
Usage: scripts/run-sim.sh [--console]
Runs the unit on simulated hardware in the sandbox $ORV_ROOT (default ./sim-root)
and prints its status log as it grows; --console prints the unit's console
instead (the log's lines and the rest; always kept in <sandbox>/sim/console.log). Ctrl-C ends the run, and so does
  orvctl send END        (with ORV_ROOT=<sandbox>; or: echo END > <sandbox>/var/kelvatro/maincontrol)
While it runs, <sandbox>/sim/control takes sim control lines (echo "signal off" > ...);
the lines of <sandbox>/sim/start, when present, are applied before the unit starts.
The sandbox's NTP daemon, a stand-in in orv-sim, answers on a port of the sandbox's
own while the unit runs its daemon: ORV_NTP_QUERY in <sandbox>/etc/default/orv-main,
set on the first run, where the unit and orvctl read it.
One unit runs on a sandbox at a time: a second run ends at once with status 1 and
says which runs, leaving the first one's FIFOs.
TEXT
}

show_console=
case ${1:-} in
-h | --help) usage && exit 0 ;;
--console) show_console=1 ;;
"") ;;
*) echo "run-sim.sh: unknown argument: $1" >&2 && usage >&2 && exit 2 ;;
esac
[ $# -le 1 ] || { usage >&2 && exit 2; }

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/sandbox-layout.sh
. "$repo/scripts/sandbox-layout.sh"

export TZ=${TZ:-Asia/Tokyo}
sim=$(orv_sim_path "$repo")

root=$(realpath -m "${ORV_ROOT:-$PWD/sim-root}")
lock=$root/var/kelvatro/orv-main.lock

# Says, when another unit holds the sandbox's lock, which one: then true.
another_unit() {
    [ -f "$lock" ] && ! flock -n "$lock" true 2>/dev/null || return 1
    echo "run-sim.sh: Another unit runs on $root/var/kelvatro (pid $(head -n 1 "$lock")): this one ends" >&2
}
another_unit && exit 1

# The sandbox's own NTP port, chosen once (free on this machine then) and
# kept in its deployment settings.
ntp_query() {
    local file=$root/etc/default/orv-main port
    if ! grep -qE '^\s*ORV_NTP_QUERY=' "$file" 2>/dev/null; then
        port=$((20000 + $(cksum <<<"$root" | cut -d' ' -f1) % 30000))
        while [ -n "$(ss -Hlun "sport = :$port" 2>/dev/null)" ]; do port=$((port + 1)); done
        mkdir -p "${file%/*}" && echo "ORV_NTP_QUERY=127.0.0.1:$port" >>"$file"
    fi
    sed -nE "s/^\s*ORV_NTP_QUERY=[\"']?([^\"']*)[\"']?\s*$/\1/p" "$file" | tail -n 1
}

orv_sandbox_layout "$root"
ORV_NTP_QUERY=$(ntp_query)
export ORV_ROOT=$root ORV_NTP_QUERY

log=$root/var/www/StatusLog.txt
console=$root/sim/console.log
start=$root/sim/start
sim_pid=
tail_pid=

stop_all() {
    trap - INT TERM EXIT
    local pid fifo
    for pid in $sim_pid $tail_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    # The FIFOs of a unit that ended without removing them; those of another
    # unit that runs on this sandbox (and holds its lock) are left to it.
    flock -n "$lock" true 2>/dev/null || return 0
    for fifo in "$root/var/kelvatro/maincontrol" "$root/sim/control"; do
        if [ -p "$fifo" ]; then rm -f "$fifo"; fi
    done
}
trap 'stop_all; exit 130' INT
trap 'stop_all; exit 143' TERM
trap stop_all EXIT

echo "orv-sim: sandbox $root"
if [ -n "$show_console" ]; then
    echo "orv-sim: showing the console ($console), which holds the status log's lines too"
else
    echo "orv-sim: showing the status log; the console (--console) goes to $console"
fi
echo "orv-sim: control FIFO $root/var/kelvatro/maincontrol (orvctl send), sim control $root/sim/control"
echo "orv-sim: the sandbox's NTP daemon answers on $ORV_NTP_QUERY while the unit runs it (ORV_NTP_QUERY in $root/etc/default/orv-main, which orvctl reads)"
echo "orv-sim: Ctrl-C ends, or: ORV_ROOT=$root orvctl send END"
if [ -f "$start" ]; then
    echo "orv-sim: applied before the start ($start): $(grep -v '^\s*\(#\|$\)' "$start" | paste -sd ';' -)"
    # The last switch line of the start file decides.
    if [ "$(grep -E '^\s*switch\s' "$start" | tail -n 1 | awk '{ print $2 }')" = on ]; then
        echo "orv-sim: the start file holds 'switch on': the unit ends about 3 s after it is ready," \
            "in this run and every later one, until the line goes from $start"
    fi
fi
# Show the log, or the console that holds its lines and the unit's other
# output, from where this run begins, also across rotations; the follower ends
# by itself once it has read the file to its end after the unit has ended.
offset=0
shown=$log
[ -n "$show_console" ] && shown=$console
[ -f "$shown" ] && offset=$(stat -c %s "$shown")
read -ra emulator <<<"${ORV_SIM_EMULATOR:-}" # a cross build's, as the scenarios take it
"${emulator[@]}" "$sim" </dev/null >>"$console" 2>&1 &
sim_pid=$!
tail -c +$((offset + 1)) -s 0.2 --pid="$sim_pid" -F "$shown" 2>/dev/null &
tail_pid=$!

status=0
wait "$sim_pid" || status=$?
sim_pid=
wait "$tail_pid" || true
tail_pid=
stop_all
# A unit that took the sandbox since this script looked.
[ "$status" != 1 ] || another_unit || true
echo "orv-sim: ended with status $status"
exit "$status"
