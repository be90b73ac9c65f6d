#!/usr/bin/env bash
# A reader polling the files that the unit rewrites every tick, as the web
# front end does: runs orv-sim in a sandbox at a fast tick and reads
# ORV_Current.ini and Status_05_01.txt over and over for the given number of
# ticks; every read must find a whole file (from its banner to the line of its
# last key). Prints the counts; exits 1 when a read found a partial file.
#   tests/tools/torn-read-check.sh [ticks]   (default 2000, at 2 ms a tick)
case ${1:-} in -h | --help) echo "Usage: $0 [ticks]     (default 2000, at 2 ms a tick)" && exit 0 ;; esac
ticks=${1:-2000}
tick_ms=2
export ORV_SIM_TICK_MS=$tick_ms
# shellcheck source=lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
sim_start
wait_for "the status files" eval '[ -f "$CONF/Status_05_01.txt" ] && [ -f "$CONF/ORV_Current.ini" ]'

# whole TEXT LAST_KEY: the text begins with its banner and ends with the whole
# line of its last key, which stands only there.
whole() {
    local last=${1%$'\n'}
    last=${last##*$'\n'}
    [[ $1 == ";;;;"* && $1 == *$'\n' && $last == "$2="* ]]
}

# The ticks passed, counted by the times taken: one TOT every five ticks.
ticks_passed() { echo $((5 * $(cat "$ROOT/sim/commands.log" 2>/dev/null | grep -c "/bin/date -s"))); }

names=(ORV_Current.ini Status_05_01.txt)
last_keys=(0F Now_TOTTIME)
reads=0
partial=0
while [ $((reads % 100)) -ne 0 ] || [ "$(ticks_passed)" -lt "$ticks" ]; do
    for i in 0 1; do
        text=
        IFS= read -r -d '' text <"$CONF/${names[$i]}" || true
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
