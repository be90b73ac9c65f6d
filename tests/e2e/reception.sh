#!/usr/bin/env bash
# Reception lost while serving, three ways. The signal lost: "Retuning" after 60
# unlocked ticks, the failure logged once, the NTP daemon left running; "TOT
# Updated" once it is back. No JST flag for 600 locked ticks: a tuner restart
# (reason 1) that stops the NTP daemon until takes resume. The tuner late: some
# reads fail, then each request gets its own answer.
. "$(dirname "$0")/lib.sh"

ntp_starts() { journal_count "sudo /etc/init.d/ntp start"; }
ntp_stops() { journal_count "sudo /etc/init.d/ntp stop"; }
restart_scripts() { journal_count "/bin/sh /var/kelvatro/bin/gpio_restart.sh; sync;"; }
failures() { console_count "<ERROR> SMS_GET_STATUS_ERROR !!"; }

sim_start
wait_serving

step "signal lost"
sim_control "signal off"
wait_for "the unlocked indication 0x0100" eval '[ "$(gpio_last)" = 0x0100 ]'
wait_for "lock cleared in the status file" ini_is "$CONF/Status_05_01.txt" Now_TunerLock 0
wait_for "retune after 60 unlocked ticks" console_has "Retuning"
expect "no alignment without a new time" eval '! console_has "FPGA time adjust"'
wait_for "the failure logged" log_has "Failed to get TOT ( Lock:NG / CH:UHF-27 / BER:... / TOT:"
expect_eq "failure logged once" "$(log_count "Failed to get TOT")" 1
expect "NTP daemon left running" test "$(ntp_stops)" -eq 0

step "signal back"
takes=$(gpio_count 0x4500)
sim_control "signal on"
wait_for "a new take" eval '[ "$(gpio_count 0x4500)" -gt "$takes" ]'
wait_for "the success logged" log_has "TOT Updated ( Lock:OK / CH:UHF-27 / BER:OK / TOT:"
expect_eq "TOT Updated once" "$(log_count "TOT Updated")" 1
expect_eq "NTP started once" "$(ntp_starts)" 1

step "no TOT arrives"
sim_control "tot off"
wait_for "the failure logged" log_has "Failed to get TOT ( Lock:OK / CH:UHF-27 / BER:OK / TOT:"
expect "no restart yet" eval '! log_has "Tuner Restart"'
wait_for "the tuner restart after 600 ticks" log_has "Tuner Restart (1)"
expect "timeout reported" console_has "<ERROR> JST FLAG TIMEOUT !!"
wait_for "the board restart script run" eval '[ "$(restart_scripts)" -eq 1 ]'
wait_for "the NTP daemon stopped" eval '[ "$(ntp_stops)" -eq 1 ]'
expect_eq "failures logged" "$(log_count "Failed to get TOT")" 2
expect_eq "no start while no TOT" "$(ntp_starts)" 1
sim_control "tot on"
wait_for "NTP daemon started again" eval '[ "$(ntp_starts)" -eq 2 ]'

step "tuner answers held back for as long as the unit waits"
sim_control "tuner delay 5000"
wait_for "three failed statistics reads" eval '[ "$(failures)" -ge 3 ]'
sim_control "tuner delay 0"
takes=$(journal_count "/bin/date -s")
wait_for "two more takes" eval '[ "$(journal_count "/bin/date -s")" -ge $((takes + 2)) ]'
before=$(failures)
wait_ticks 20
expect_eq "failed reads once answers come in time" "$(failures)" "$before"
expect "no tuner restart, NTP daemon running" eval '! log_has "Tuner Restart (0)" && [ "$(ntp_stops)" -eq 1 ]'

expect_eq "NTP daemon stops logged" "$(log_count "<INF> Stop TOT Time Server")" 1
sim_end
pass
