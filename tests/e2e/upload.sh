#!/usr/bin/env bash
# "[UpLoad]": the package in the upload directory is unpacked and its setup.sh
# run, then the unit reboots.
. "$(dirname "$0")/lib.sh"

upload=$ROOT/usr/kelvatro/upload
package=$(mktemp -d "$ROOT/sim/package.XXXXXX")
printf '#!/bin/sh\necho "installed from $(pwd)" > installed.txt\n' >"$package/setup.sh"
echo "payload" >"$package/orv-main.new"
tar czf "$upload/data.tar.gz" -C "$package" setup.sh orv-main.new

sim_start
wait_for "Main Program Ready" log_has "Main Program Ready"
send "[UpLoad]\n"
sim_wait_exit
expect "logged" log_has "File UpLoad & UpDate"
expect "update journaled" journal_has "cd /usr/kelvatro/upload; tar xzvf data.tar.gz; /bin/sh setup.sh; sync;"
expect "package unpacked" test -f "$upload/orv-main.new"
expect "setup.sh ran in the upload directory" grep -qx "installed from $upload" "$upload/installed.txt"
expect "reboot journaled" journal_has "reboot"
expect "no power-off" eval '! journal_has "shutdown"'
pass
