#!/usr/bin/env bash
# Reception lost while serving (the tick-level rhythm is tot_step_test's). The
# signal lost: the lock shown lost, the failure logged, the NTP daemon left
# running; a take once it is back. No JST flag for 600 locked ticks: a tuner
# restart (reason 1) that stops the NTP daemon until takes resume.
. "$(dirname "$0")/lib.sh"

ntp_starts() { journal_count "sudo /etc/init.d/ntp start"; }
ntp_stops() { journal_count "sudo /etc/init.d/ntp stop"; }
restart_scripts() { journal_count "/bin/sh /var/kelvatro/bin/gpio_restart.sh; sync;"; }

sim_start
wait_serving

step "signal lost"
sim_control "signal off"
wait_for "lock cleared in the status file" ini_is "$CONF/Status_05_01.txt" Now_TunerLock 0
wait_for "the failure logged" log_has "Failed to get TOT ( Lock:NG / CH:UHF-27 / BER:... / TOT:"
expect "NTP daemon left running" test "$(ntp_stops)" -eq 0

step "signal back"
takes=$(gpio_count 0x4500)
sim_control "signal on"
wait_for "a new take" eval '[ "$(gpio_count 0x4500)" -gt "$takes" ]'
expect_eq "NTP started once" "$(ntp_starts)" 1

step "no TOT arrives"
sim_control "tot off"
wait_for "the failure logged" log_has "Failed to get TOT ( Lock:OK / CH:UHF-27 / BER:OK / TOT:"
expect "no restart yet" eval '! log_has "Tuner Restart"'
wait_for "the tuner restart after 600 ticks" log_has "Tuner Restart (1)"
wait_for "the board restart script run" eval '[ "$(restart_scripts)" -eq 1 ]'
wait_for "the NTP daemon stopped" eval '[ "$(ntp_stops)" -eq 1 ]'
expect_eq "failures logged" "$(log_count "Failed to get TOT")" 2
expect_eq "no start while no TOT" "$(ntp_starts)" 1
sim_control "tot on"
wait_for "NTP daemon started again" eval '[ "$(ntp_starts)" -eq 2 ]'

expect_eq "NTP daemon stops logged" "$(log_count "<INF> Stop TOT Time Server")" 1
sim_end
pass
