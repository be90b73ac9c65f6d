#!/usr/bin/env bash
# FACTORY_RESET: the setup, filter and .mem files go from both settings
# directories, then the log archive is emptied and the unit reboots; the system
# and network settings and every other file stay.
. "$(dirname "$0")/lib.sh"

sim_start
wait_for "Main Program Ready" log_has "Main Program Ready"
wait_for "the TOT settings file" test -f "$ROOT/usr/kelvatro/conf/Setup_05_01.ini"
for dir in "$CONF" "$ROOT/usr/kelvatro/conf"; do
    echo x >"$dir/Filter_01_02.ini"
    echo x >"$dir/tuner.mem"
    echo x >"$dir/Setup_06_01.ini"
    echo x >"$dir/keep.txt"
done
echo old >"$ROOT/usr/kelvatro/log/StatusLog_20240101.txt"

send "FACTORY_RESET\n"
sim_wait_exit
expect "logged" log_has "ORV Factory Reset"
for dir in "$CONF" "$ROOT/usr/kelvatro/conf"; do
    for f in Setup_05_01.ini Setup_06_01.ini Filter_01_02.ini tuner.mem; do
        expect "$dir/$f removed" test ! -e "$dir/$f"
    done
    for f in ORV_System.ini ORV_Network.ini keep.txt; do
        expect "$dir/$f kept" test -f "$dir/$f"
    done
done
expect "archive emptied" eval '[ -z "$(ls -A "$ROOT/usr/kelvatro/log")" ]'

step "in order: the settings files, the archive, the reboot"
order=$(journal | grep -nE '^(rm -rf |sync$|reboot$)' | tail -n 10 | cut -d: -f2- | tr '\n' '|')
expect_eq "journal" "$order" "rm -rf /usr/kelvatro/conf//Setup_*|rm -rf /var/kelvatro/conf//Setup_*|rm -rf /usr/kelvatro/conf//Filter_*|rm -rf /var/kelvatro/conf//Filter_*|rm -rf /usr/kelvatro/conf//*.mem|rm -rf /var/kelvatro/conf//*.mem|sync|rm -rf /usr/kelvatro/log/*|sync|reboot|"
expect "no power-off" eval '! journal_has "shutdown"'
pass
