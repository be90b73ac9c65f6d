#!/usr/bin/env bash
# The signal lost while serving: the unlocked indication, no new time to align
# the clock to, "Retuning" after 60 unlocked ticks, the NTP daemon left running
# and the failure logged once; the signal back: takes resume and "TOT Updated"
# closes the failure period.
. "$(dirname "$0")/lib.sh"

sim_start
wait_serving

step "signal off"
sim_control "signal off"
wait_for "the unlocked indication 0x0100" eval '[ "$(gpio_last)" = 0x0100 ]'
wait_for "lock cleared in the status file" ini_is "$CONF/Status_05_01.txt" Now_TunerLock 0
wait_for "retune after 60 unlocked ticks" console_has "Retuning"
expect "no alignment without a new time" eval '! console_has "FPGA time adjust"'
wait_for "the failure logged" log_has "Failed to get TOT ( Lock:NG / CH:UHF-27 / BER:... / TOT:"
expect "NTP daemon left running" eval '! journal_has "sudo /etc/init.d/ntp stop"'
expect "NTP shown running" ini_is "$CONF/Status_05_01.txt" Now_TOTNTP 1
expect_eq "failure logged once" "$(log_count "Failed to get TOT")" 1
expect "no tuner restart" eval '! log_has "Tuner Restart"'

step "signal back"
takes=$(gpio_count 0x4500)
sim_control "signal on"
wait_for "a new take" eval '[ "$(gpio_count 0x4500)" -gt "$takes" ]'
wait_for "the success logged" log_has "TOT Updated ( Lock:OK / CH:UHF-27 / BER:OK / TOT:"
expect_eq "TOT Updated once" "$(log_count "TOT Updated")" 1
expect_eq "NTP started once" "$(journal_count "sudo /etc/init.d/ntp start")" 1

sim_end
pass
