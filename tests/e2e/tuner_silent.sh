#!/usr/bin/env bash
# The tuner answers late, then not at all, while serving. Answers that come
# back about when the 5 s wait ends fail some statistics reads, and one may
# land after its request gave up; once the tuner answers in time again every
# request gets an answer of its own: no tuner restart, the NTP daemon left
# running. A silent tuner: ten failed reads in a row restart it (reason 0),
# which stops the NTP daemon; once it answers again, takes resume and the
# daemon is started again.
. "$(dirname "$0")/lib.sh"

failures() { console_count "<ERROR> SMS_GET_STATUS_ERROR !!"; }

sim_start
wait_serving

step "answers held back for as long as the unit waits"
sim_control "tuner delay 5000"
wait_for "three failed statistics reads" eval '[ "$(failures)" -ge 3 ]'
sim_control "tuner delay 0"
takes=$(journal_count "/bin/date -s")
wait_for "two more takes" eval '[ "$(journal_count "/bin/date -s")" -ge $((takes + 2)) ]'
before=$(failures)
wait_ticks 20
expect_eq "failed reads once answers come in time" "$(failures)" "$before"
expect "no tuner restart" eval '! log_has "Tuner Restart"'
expect "NTP daemon left running" eval '! journal_has "sudo /etc/init.d/ntp stop"'

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
