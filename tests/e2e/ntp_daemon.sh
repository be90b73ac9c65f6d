#!/usr/bin/env bash
# The installation's NTP daemon, ntpsec or chrony, always on the unit's
# configuration: restarted (a start leaves a running daemon as it was) at the
# first take, after a stratum change and after a change of the time delivery
# with a new start of the unit. ntpsec reads the unit's ntp.conf copy (in the
# directory ORV_NTP_CONF_COPY names: its orphan stratum, or the unit's segment,
# in place of every other clock), chrony the unit's own file in conf.d and never
# ntp.conf; both are root's, read by all. Stratum setting 1 asks for stratum 0,
# which a local clock cannot have; shm delivery after step, and step after shm,
# each leave only the unit's reference. orvctl reads the served stratum from
# the state file, which the group may read; the restart for a new stratum says
# so. In a sandbox that names no NTP daemon of its own orvctl asks none, and
# the unit serving is its status 0.
. "$(dirname "$0")/lib.sh"

mkdir -p "$ROOT/etc/default" "$ROOT/etc/orv-main" "$ROOT/etc/chrony/conf.d"
echo "server 127.127.28.3" >>"$CONF/ntp.conf"
chrony_file=$ROOT/etc/chrony/conf.d/orv-main.conf
head='# Broadcast time (TOT) from orv-main, served to every client.'

# start_unit DAEMON DELIVERY: a new start of the unit, its log and journal anew.
start_unit() {
    printf '%s\n' "ORV_NTP_DAEMON=$1" "ORV_TIME_DELIVERY=$2" "ORV_SHM_UNIT=$UNIT" ORV_NTP_CONF_COPY=/etc/orv-main >"$ROOT/etc/default/orv-main"
    sim_restart
    wait_serving
}
served_is() { [ "$({ "${CTL[@]}" status --json || true; } | python3 -c 'import json,sys; print(json.load(sys.stdin)["ntp_served_stratum"])')" = "$1" ]; }
# check DAEMON COMMANDS CONFIGURATION SERVED, for the daemon of the round: its
# commands so far (|-ended), what it reads of the unit's configuration (ntpsec:
# the clock lines of the copy, chrony: its whole file) and the stratum served.
check() {
    [ "$1" = "$daemon" ] || return 0
    expect_eq "$1 commands" "$(journal | grep -F "$1.service" | tr '\n' '|')" "$2"
    expect_eq "$1 configuration" "$(if [ "$1" = ntpsec ]; then grep -E '127\.127\.|^tos ' "$ROOT/etc/orv-main/ntp.conf"; else cat "$chrony_file"; fi)" "$3"
    wait_for "$1 served stratum $4" served_is "$4"
}

for daemon in ntpsec chrony; do
    restart="systemctl restart $daemon.service|" stop="systemctl stop $daemon.service|"
    rm -f "$CONF/Setup_05_01.ini" "$SD/Setup_05_01.ini"
    step "$daemon: restarted at the first take; stratum 1: rewritten, restarted"
    start_unit "$daemon" step
    sed -i 's/^Set_TOT_STRATUM=[0-9]*/Set_TOT_STRATUM=1/' "$CONF/Setup_05_01.ini"
    send_setup_change /var/kelvatro/conf/Setup_05_01.ini
    wait_for "$daemon restarted" eval '[ "$(journal_count "systemctl restart")" -eq 2 ]'
    check ntpsec "$restart$stop$restart" 'tos orphan 1 orphanwait 1' 1
    check chrony "$restart$stop$restart" "$head"$'\nlocal stratum 1\nallow' 1
    expect_eq "restarted for the new stratum" "$(log_count 'NTP daemon restarted at stratum 1: new stratum')$(log_count 'Stop TOT Time Server')" 10
    sim_end

    step "$daemon: shm delivery, the unit started anew: restarted on the segment"
    start_unit "$daemon" shm
    check ntpsec "$restart" "server 127.127.28.$UNIT minpoll 1 maxpoll 1"$'\n'"fudge 127.127.28.$UNIT refid TOT stratum 0"$'\n''tos orphan 5 orphanwait 1 maxdisp 1' 1
    check chrony "$restart" "$head"$'\n'"refclock SHM $UNIT refid TOT poll 1 filter 1 stratum 0"$'\nlocal stratum 5\nallow' 1
    sim_end
    [ "$daemon" = ntpsec ] && ntp_conf=$(cat "$ROOT/etc/orv-main/ntp.conf")
done
expect_eq "ntp.conf after chrony" "$(cat "$ROOT/etc/orv-main/ntp.conf")" "$ntp_conf"

step "ntpsec: step delivery after shm: the orphan stratum in place of the segment"
daemon=ntpsec
start_unit ntpsec step
check ntpsec "systemctl restart ntpsec.service|" 'tos orphan 1 orphanwait 1' 1
wait_for "served, no daemon asked" eval '[ "$({ "${CTL[@]}" status || echo "exit $?"; } | grep -E "^(NTP answer|exit)")" = "NTP answer   : none asked: no NTP daemon named (ORV_NTP_QUERY)" ]'
sim_end
expect_eq "access" "$(stat -c '%a %u %g' "$ROOT/etc/orv-main/ntp.conf" "$chrony_file")" $'644 0 0\n644 0 0'
pass
