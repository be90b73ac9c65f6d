#!/usr/bin/env bash
# The FPGA's clock running between TOTs (sim "time-word live"), on ticks of a
# second, where the broadcast shows the host's time: between takes the unit
# aligns the system clock to the FPGA's, and every setting of the clock, at a
# take or an alignment, commands the time it is when journaled, within half a
# second (a stale latch or a wrapped sub-second count is off by seconds).
export ORV_SIM_TICK_MS=1000
. "$(dirname "$0")/lib.sh"

alignments() { grep -c "FPGA time adjust > /bin/date -s" "$ROOT/sim/console.log" || true; }

printf '%s\n' "time-word live" "tot-period 10" >"$ROOT/sim/start"
sim_start
wait_serving
wait_for "two alignments between takes" eval '[ "$(alignments)" -ge 2 ]'
sim_end
takes=$(grep -c "^CMD > /bin/date -s" "$ROOT/sim/console.log")
expect "takes between the alignments" [ "$takes" -ge 2 ]

# Journal lines "S.US /bin/date -s "Y/M/D h:m:s.us"" and "S.US clock_settime S.US":
# the commanded time less the moment journaled, in microseconds.
offsets() {
    local at command set
    while read -r at command set; do
        [ "$command" = clock_settime ] || set=$(date -d "$(tr / - <<<"${set//\"/}")" +%s.%6N)
        echo $(((${set/./} - ${at/./})))
    done < <(sed -n 's|^\([0-9.]*\) /bin/date -s |\1 date |p; /clock_settime/p' "$ROOT/sim/commands.log")
}
settings=$(offsets | wc -l)
expect "each setting journaled with its precise one" [ "$settings" -eq $((2 * (takes + $(alignments)))) ]
worst=$(offsets | tr -d - | sort -n | tail -1)
expect "every setting within half a second of the time it is (worst ${worst} us)" [ "$worst" -lt 500000 ]
pass
