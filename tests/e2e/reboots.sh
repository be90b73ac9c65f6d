#!/usr/bin/env bash
# The commands that end in a reboot: REBOOT itself. "[UpLoad]": the package,
# signed with a throwaway key, unpacked in a directory of its own, its setup.sh
# journaled, never run. FACTORY_RESET: the setup, filter and .mem files go from
# both settings directories, then the log archive; every other file stays.
. "$(dirname "$0")/lib.sh"

# Sends COMMAND to a new unit; once it has ended, checks the status-log line
# LOGGED (once) and the last N file, sync and reboot commands (JOURNAL, |-ended).
reboot_after() {
    sim_restart
    wait_for "the TOT settings file" test -f "$SD/Setup_05_01.ini"
    send "$1\n"
    sim_wait_exit
    expect_eq "$1 logged once" "$(status_logs | cut -d' ' -f3- | grep -cxF -- "$2")" 1
    expect_eq "$1 journaled" "$(journal | grep -E '^(cd |rm -rf |sync$|reboot$)' | tail -n "$3" | tr '\n' '|')" "$4"
    expect "no power-off" eval '! journal_has shutdown'
}

reboot_after REBOOT "<INF> Main Program End" 1 "reboot|"
upload=$ROOT/usr/kelvatro/upload g="gpg --homedir $ROOT/sim/gnupg --batch -q"
printf '#!/bin/sh\necho "installed from $(pwd)" > installed.txt\n' >"$ROOT/sim/setup.sh"
tar czf "$upload/data.tar.gz" -C "$ROOT/sim" setup.sh
mkdir -m 700 "$ROOT/sim/gnupg" && mkdir -p "$ROOT/etc/orv-main/update-keys" && $g --passphrase '' \
    --quick-gen-key maker ed25519 sign never 2>/dev/null && $g --detach-sign "$upload/data.tar.gz"
$g --export maker >"$ROOT/etc/orv-main/update-keys/maker.pgp" && gpgconf --homedir "$ROOT/sim/gnupg" --kill gpg-agent
reboot_after "[UpLoad]" "<INF> File UpLoad & UpDate" 2 \
    "cd /usr/kelvatro/update; tar xzvf data.tar.gz --no-same-owner; /bin/sh setup.sh; sync;|reboot|"
expect_eq "setup.sh journaled, not run" "$(head -n 1 "$ROOT/sim/scripts.log")" "script setup.sh"

echo old >"$ROOT/usr/kelvatro/log/StatusLog_20240101.txt"
for dir in "$CONF" "$SD"; do touch "$dir"/{Filter_01_02.ini,x.mem,x.mem.bak,keep.txt}; done
reboot_after FACTORY_RESET "<INF> ORV Factory Reset" 10 \
    "rm -rf /usr/kelvatro/conf//Setup_*|rm -rf /var/kelvatro/conf//Setup_*|rm -rf /usr/kelvatro/conf//Filter_*|rm -rf /var/kelvatro/conf//Filter_*|rm -rf /usr/kelvatro/conf//*.mem|rm -rf /var/kelvatro/conf//*.mem|sync|rm -rf /usr/kelvatro/log/*|sync|reboot|"
expect "archive emptied" eval '[ -z "$(ls -A "$ROOT/usr/kelvatro/log")" ]'
for dir in "$CONF" "$SD"; do
    expect_eq "left in $dir" "$(LC_ALL=C ls "$dir" | grep -E '^(ORV_(Network|System)|Setup|Filter|keep|x)' | tr '\n' ' ')" \
        "ORV_Network.ini ORV_System.ini keep.txt x.mem.bak "
done
pass
