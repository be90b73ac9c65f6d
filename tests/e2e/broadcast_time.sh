#!/usr/bin/env bash
# The clock is set to the broadcast time whatever the TOT period, while the
# tuner's lock filter lags the reception, and across a loss of signal: at one
# tick a second the simulated broadcast clock runs on the host's wall clock, so
# every "/bin/date -s" of the command journal must name (in Japan time) the
# moment of its journal stamp.
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

# A setting names the broadcast time at its register read, just before its
# journal stamp: never ahead of it, and behind it by what a busy machine's
# scheduling costs (the arithmetic itself is checked to the microsecond in unit tests).
gaps=$(date_settings | awk '{
    split($2, d, "/"); split($3, t, ":"); split(t[3], s, ".")
    set = mktime(d[1] " " d[2] " " d[3] " " t[1] " " t[2] " " s[1]) * 1000000 + s[2]
    gap = $1 * 1000000 - set; if (gap > late) late = gap; if (-gap > early) early = -gap
} END { printf "%d %d\n", early, late }')
read -r early late <<<"$gaps"
[ "$early" -le 2000 ] && [ "$late" -le 20000 ] ||
    fail "a clock setting $early µs ahead or $late µs behind the broadcast time: $(date_settings)"
sim_end
pass
