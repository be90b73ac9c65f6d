#!/usr/bin/env bash
# The tuner stops answering while serving: ten failed statistics reads in a row
# restart the tuner (reason 0), which stops the NTP daemon; once it answers
# again, takes resume and the daemon is started again.
. "$(dirname "$0")/lib.sh"

sim_start
wait_serving

step "tuner silent"
sim_control "tuner silent"
wait_for "the tuner restart" log_has "Tuner Restart (0)"
expect "ten failures counted" console_has "<ERROR> SMS_GET_STATUS_ERROR !! [10]"
wait_for "the board restart script run" journal_has "/bin/sh /var/kelvatro/bin/gpio_restart.sh; sync;"
wait_for "the NTP daemon stopped" log_has "Stop TOT Time Server"
expect "NTP daemon stop journaled" journal_has "sudo /etc/init.d/ntp stop"

step "tuner answers again"
sim_control "tuner normal"
wait_for "NTP daemon started again" eval '[ "$(journal_count "sudo /etc/init.d/ntp start")" -ge 2 ]'
wait_for "lock shown again" ini_is "$CONF/Status_05_01.txt" Now_TunerLock 1
expect "no JST timeout" eval '! log_has "Tuner Restart (1)"'

sim_end
pass
