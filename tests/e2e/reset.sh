#!/usr/bin/env bash
# RESET while serving: a new pass in the same process, with the control FIFO
# made anew and the network-init switch polled again; END then powers off.
. "$(dirname "$0")/lib.sh"

sim_start
wait_serving
fifo_made=$(stat -c %z "$CONTROL")
pid=$SIM_PID
expect_eq "start-up writes of the first pass" "$(gpio_count 0x1100)" 8

step "RESET"
send "RESET\n"
wait_for "a second pass ready" eval '[ "$(log_count "Main Program Ready")" -eq 2 ]'
expect "reset logged" log_has "Main Program Reset"
expect_eq "start banners" "$(log_count "----- Main Program Start -----")" 2
expect "same process" sim_alive
expect_eq "process" "$SIM_PID" "$pid"
expect "FIFO made anew" eval '[ "$(stat -c %z "$CONTROL")" != "$fifo_made" ]'
expect "still a FIFO" test -p "$CONTROL"
expect_eq "switch polled again: six more off readings" "$(gpio_count 0x1100)" 16
expect "no flag set by RESET" eval '! journal_has "shutdown" && ! journal_has "reboot"'
expect "tuner opened again" eval '! log_has "Tuner Init NG"'

step "the second pass serves"
status_stamp=$(stat -c %y "$CONF/Status_05_01.txt")
wait_for "status file rewritten" eval '[ "$(stat -c %y "$CONF/Status_05_01.txt")" != "$status_stamp" ]'
wait_for "lock shown" ini_is "$CONF/Status_05_01.txt" Now_TunerLock 1

sim_end
pass
