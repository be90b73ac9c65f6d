#!/usr/bin/env bash
# Setup changes that must not be acted on: a FileName outside the RAM-disk
# settings directory (also through ".." or a symbolic link) is refused with one
# error line; a FileName holding shell syntax never runs a command.
. "$(dirname "$0")/lib.sh"

sim_start
wait_for "Main Program Ready" log_has "Main Program Ready"
wait_for "the first tick" test -f "$CONF/ORV_Current.ini"
network_file 10.9.9.9 255.255.255.0 10.9.9.1 >"$ROOT/usr/kelvatro/conf/ORV_Network.ini"
ln -s ../../../usr/kelvatro/conf/ORV_Network.ini "$CONF/ORV_Network_link.ini"
applied=$(journal_count "sudo service dhcpcd reload")

refused() {
    local errors
    errors=$(log_count "<ERR>")
    send_setup_change "$1"
    wait_for "one error line for $1" eval '[ "$(log_count "<ERR>")" -eq $((errors + 1)) ]'
}

step "outside the settings directory"
refused /usr/kelvatro/conf/ORV_Network.ini
refused /var/kelvatro/conf/../../../usr/kelvatro/conf/ORV_Network.ini
refused /var/kelvatro/conf/ORV_Network_link.ini
settle
expect "nothing applied" eval '! journal_has "10.9.9.9"'
expect_eq "no network apply" "$(journal_count "sudo service dhcpcd reload")" "$applied"

step "shell syntax in the name"
# Each name is either applied as a (missing, so factory-set) network file or
# refused; neither may run the command inside it (orv-sim runs in $ROOT/sim).
handled() { echo $(($(log_count "<ERR>") + $(journal_count "sudo service dhcpcd reload"))); }
for name in '/var/kelvatro/conf/ORV_Network_$(echo x >pwned1).ini' \
    "/var/kelvatro/conf/ORV_Network_';echo x >pwned2;'.ini" \
    '/var/kelvatro/conf/ORV_Network_`echo x >pwned3`.ini' \
    '/var/kelvatro/conf/ORV_Network_";echo x >pwned4;".ini'; do
    before=$(handled)
    send_setup_change "$name"
    wait_for "the name handled: $name" eval '[ "$(handled)" -gt "$before" ]'
done
settle
expect "no command ran" eval '! ls "$ROOT"/sim/pwned* "$CONF"/pwned* >/dev/null 2>&1'
expect "still running" sim_alive

sim_end
pass
