#!/usr/bin/env bash
# Nothing lost: a directory in the control FIFO's place is moved aside and the
# unit serves; an ORV_System.ini damaged in any way is restored from its SD copy
# at the next pass, which serves time again; two setup changes in one write and
# a burst of 1,000 "reg" messages are all handled.
. "$(dirname "$0")/lib.sh"

mkdir -p "$CONTROL/in-the-way"
sim_start
wait_serving
expect "the obstacle moved aside" test -d "$CONTROL.aside/in-the-way"
expect "the obstacle reported" log_has \
    "<ERR> /var/kelvatro/maincontrol was no FIFO: moved to /var/kelvatro/maincontrol.aside"
expect_eq "FIFO mode" "$(stat -c %a "$CONTROL")" 622

step "a damaged ORV_System.ini, restored from its SD copy"
saved=$ROOT/usr/kelvatro/conf/ORV_System.ini
passes=1
for damage in cut random empty directory; do
    case $damage in
    cut) head -c 300 "$saved" >"$CONF/ORV_System.ini" ;;
    random) head -c 2000 /dev/urandom >"$CONF/ORV_System.ini" ;;
    empty) : >"$CONF/ORV_System.ini" ;;
    directory) rm "$CONF/ORV_System.ini" && mkdir "$CONF/ORV_System.ini" ;;
    esac
    taken=$(journal_count "/bin/date -s")
    send "RESET\n"
    passes=$((passes + 1))
    wait_for "pass $passes" eval '[ "$(log_count "Main Program Ready")" -eq $passes ]'
    expect "$damage: restored" cmp -s "$CONF/ORV_System.ini" "$saved"
    wait_for "$damage: time served" eval '[ "$(journal_count "/bin/date -s")" -gt $taken ]'
done
expect_eq "restores reported" "$(log_count "<ERR> /var/kelvatro/conf/ORV_System.ini not whole")" 4

step "two setup changes in one write"
network_file 10.1.2.3 255.255.255.0 10.1.2.1 >"$CONF/ORV_Network.ini"
sed -i 's/^Set_TOT_CH_NUM=[0-9]*/Set_TOT_CH_NUM=40/' "$CONF/Setup_05_01.ini"
send "[SetupChange]\nFileName=/var/kelvatro/conf/ORV_Network.ini\n[SetupChange]\nFileName=/var/kelvatro/conf/Setup_05_01.ini\n"
wait_for "the network applied" journal_has "ifconfig eth0 10.1.2.3 netmask 255.255.255.0"
wait_for "the channel taken" log_has "SetChannel  : 40"

step "1,000 reg messages in a burst"
exec 3>"$CONTROL"
for _ in $(seq 1000); do printf 'reg 6200\n' >&3; done
exec 3>&-
wait_for "every reg handled" eval '[ "$(log_count "reg (r) : addr=00006200")" -eq 1000 ]'
expect_eq "nothing dropped" "$(log_count "Control message")" 0

sim_end
pass
