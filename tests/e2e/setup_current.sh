#!/usr/bin/env bash
# A setup change of a current-state file: a new set date sets the clocks and
# shows in ORV_Current.ini; the same date again only prints the state.
. "$(dirname "$0")/lib.sh"

# The web front end's copy; the tick keeps rewriting ORV_Current.ini itself.
edited=/var/kelvatro/conf/ORV_Current.edit.ini
current_file() {
    printf '%s\n' '[ORVCurrent]' $'SetDate=2031/02/03\t; 設定年月日' $'SetTime=04:05:06\t; 設定時分秒' \
        $'NowDate=2031/02/03\t; 現在年月日' $'NowTime=04:05:06\t; 現在時分秒'
}

sim_start
wait_for "Main Program Ready" log_has "Main Program Ready"

step "a new set date"
current_file >"$ROOT$edited"
send_setup_change "$edited"
wait_for "the clock set" journal_has 'date -s "2031-02-03 04:05:06"'
wait_for "the hardware clock written" journal_has "hwclock -wu"
expect "clock set through the seam" journal_has "clock_settime "
wait_for "the state printed" log_has "Set Date   : 2031/02/03 04:05:06"
wait_for "the set date shown" ini_is "$CONF/ORV_Current.ini" SetDate 2031/02/03
expect "the set time shown" ini_is "$CONF/ORV_Current.ini" SetTime 04:05:06

step "the same set date again"
send_setup_change "$edited"
wait_for "the state printed again" eval '[ "$(log_count "Set Date   : 2031/02/03 04:05:06")" -eq 2 ]'
expect_eq "clock set once" "$(journal_count 'date -s "2031-02-03 04:05:06"')" 1

sim_end
pass
