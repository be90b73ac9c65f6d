#!/usr/bin/env bash
# The clock is set to the broadcast time to within 2 ms, whatever the TOT
# period, while the tuner's lock filter lags the reception, and across a loss
# of signal: at one tick a second the simulated broadcast clock runs on the
# host's wall clock, so every "/bin/date -s" of the command journal must name
# (in Japan time) the moment of its journal stamp.
export ORV_SIM_TICK_MS=1000
. "$(dirname "$0")/lib.sh"

# The clock settings journaled, one a line: "<journal stamp> <date argument>".
date_settings() { sed -n 's/^\([0-9.]*\) \/bin\/date -s "\(.*\)"$/\1 \2/p' "$ROOT/sim/commands.log" 2>/dev/null; }
wait_settings() { wait_for "$1 clock settings" eval '[ "$(date_settings | wc -l)" -ge '"$1"' ]'; }

step "TOTs every 10 s; the lock comes 5 s after a TOT the FPGA latched"
sim_start_file "tot-period 10" "snr 0"
sim_start
wait_for "Main Program Ready" log_has "Main Program Ready"
# TOTs arrive on whole tens of seconds of the broadcast (here the host's) clock.
at=$((($(date +%s) / 10 + 1) * 10 + 3))
wait_for "a TOT latched before the lock" eval '[ "$(date +%s)" -ge '"$at"' ]'
sim_control "snr 28"
wait_settings 1

step "a TOT every second; the signal lost and back"
sim_control "tot-period 1"
wait_settings 2
sim_control "signal off"
wait_for "the unlocked indication 0x0100" eval '[ "$(gpio_last)" = 0x0100 ]'
wait_ticks 5
sim_control "signal on"
wait_settings 3

gap=$(date_settings | awk '{
    split($2, d, "/"); split($3, t, ":"); split(t[3], s, ".")
    set = mktime(d[1] " " d[2] " " d[3] " " t[1] " " t[2] " " s[1]) * 1000000 + s[2]
    gap = $1 * 1000000 - set; if (gap < 0) gap = -gap
    if (gap > worst) worst = gap
} END { printf "%d\n", worst }')
[ "$gap" -le 2000 ] || fail "a clock setting $gap µs off the broadcast time: $(date_settings)"
sim_end
pass
