#!/usr/bin/env bash
# The JST flag stops while serving (no TOT arrives): the failure is logged once
# after 61 ticks, and after 600 locked ticks without the flag the tuner is
# restarted (reason 1), stopping the NTP daemon; the next take starts it again.
. "$(dirname "$0")/lib.sh"

sim_start
wait_serving

step "no TOT arrives"
sim_control "tot off"
wait_for "the failure logged" log_has "Failed to get TOT ( Lock:OK / CH:UHF-27 / BER:OK / TOT:"
expect "no restart yet" eval '! log_has "Tuner Restart"'
wait_for "the tuner restart after 600 ticks" log_has "Tuner Restart (1)"
expect "timeout reported" console_has "<ERROR> JST FLAG TIMEOUT !!"
wait_for "the board restart script run" journal_has "/bin/sh /var/kelvatro/bin/gpio_restart.sh; sync;"
wait_for "the NTP daemon stopped" log_has "Stop TOT Time Server"
expect "NTP daemon stop journaled" journal_has "sudo /etc/init.d/ntp stop"
expect_eq "no second start while no TOT" "$(journal_count "sudo /etc/init.d/ntp start")" 1

step "TOTs again"
sim_control "tot on"
wait_for "NTP daemon started again" eval '[ "$(log_count "Start TOT Time Server")" -eq 2 ]'
expect_eq "started twice" "$(journal_count "sudo /etc/init.d/ntp start")" 2
expect_eq "one restart" "$(log_count "Tuner Restart")" 1
expect "tuner opened again" eval '! log_has "Tuner Init NG"'

sim_end
pass
