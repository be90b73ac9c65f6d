#!/usr/bin/env bash
# A reader polling the files that the unit rewrites every tick, as the web
# front end does: runs orv-sim in a sandbox at a fast tick and reads
# ORV_Current.ini and Status_05_01.txt over and over for the given number of
# ticks; every read must find a whole file (from its banner to the line of its
# last key). Prints the counts; exits 1 when a read found a partial file.
#
#   scripts/torn-read-check.sh [ticks]   (default 2000, at 2 ms a tick; ORV_SIM names
#                                         the orv-sim to run, default build/orv-sim)
set -euo pipefail
case ${1:-} in -h | --help) echo "Usage: $0 [ticks]     (default 2000; ORV_SIM names the orv-sim to run)" && exit 0 ;; esac

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ticks=${1:-2000}
tick_ms=2
# shellcheck source=sandbox-layout.sh
. "$repo/scripts/sandbox-layout.sh"
sim=$(orv_sim_path "$repo")

root=$(mktemp -d /tmp/orv-read-XXXXXX)
export ORV_ROOT=$root TZ=Asia/Tokyo ORV_SIM_TICK_MS=$tick_ms
orv_sandbox_layout "$root"
conf=$root/var/kelvatro/conf
(cd "$root/sim" && exec "$sim") </dev/null >"$root/sim/console.log" 2>&1 &
sim_pid=$!
trap 'kill -9 $sim_pid 2>/dev/null || true; wait $sim_pid 2>/dev/null || true; rm -rf "$root"' EXIT
trap 'exit 1' INT TERM

for _ in $(seq 1500); do
    [ -f "$conf/Status_05_01.txt" ] && [ -f "$conf/ORV_Current.ini" ] && break
    sleep 0.02
done

# whole TEXT LAST_KEY: the text begins with its banner and ends with the whole
# line of its last key, which stands only there.
whole() {
    local last=${1%$'\n'}
    last=${last##*$'\n'}
    [[ $1 == ";;;;"* && $1 == *$'\n' && $last == "$2="* ]]
}

# The ticks passed, counted by the times taken: one TOT every five ticks.
ticks_passed() { echo $((5 * $(cat "$root/sim/commands.log" 2>/dev/null | grep -c "/bin/date -s"))); }

names=(ORV_Current.ini Status_05_01.txt)
last_keys=(0F Now_TOTTIME)
reads=0
partial=0
while [ $((reads % 100)) -ne 0 ] || [ "$(ticks_passed)" -lt "$ticks" ]; do
    for i in 0 1; do
        text=
        IFS= read -r -d '' text <"$conf/${names[$i]}" || true
        reads=$((reads + 1))
        if ! whole "$text" "${last_keys[$i]}"; then
            partial=$((partial + 1))
            echo "partial ${names[$i]}: ${#text} bytes" >&2
        fi
    done
done

echo "ticks:            $(ticks_passed) (of $tick_ms ms)"
echo "reads:            $reads"
echo "partial reads:    $partial"
[ "$partial" -eq 0 ]
