#!/usr/bin/env bash
# The installation's NTP daemon, ntpsec or chrony, always on the unit's
# configuration: it is restarted (never merely started, which leaves a running
# daemon as it was) at the first take, after a stratum change and after a
# change of the time delivery with a new start of the unit; ntpsec reads the
# unit's ntp.conf copy, chrony the unit's own file in its conf.d.
. "$(dirname "$0")/lib.sh"

# A unit of this run only; the segment removed at the end.
UNIT=$((2 + $$ % 254))
KEY=$(printf '0x%x' $((0x4E545030 + UNIT)))
trap 'e2e_cleanup; ipcrm -M "$KEY" 2>/dev/null || true' EXIT
mkdir -p "$ROOT/etc/default" "$ROOT/etc/orv-main" "$ROOT/etc/chrony/conf.d"

# A new start of the unit with DAEMON and DELIVERY, its log and journal anew.
start_unit() {
    printf '%s\n' "ORV_NTP_DAEMON=$1" "ORV_TIME_DELIVERY=$2" "ORV_SHM_UNIT=$UNIT" \
        "ORV_NTP_CONF_COPY=/etc/orv-main/ntp.conf" >"$ROOT/etc/default/orv-main"
    rm -f "$ROOT"/var/www/StatusLog*.txt "$ROOT/sim/commands.log"
    sim_start
    wait_serving
}
# The daemon's commands in the journal, |-ended.
daemon_commands() { journal | grep -F "$1.service" | tr '\n' '|'; }
# The file the daemon reads, and the unit's configuration in it (chrony's whole).
daemon_file() {
    case $1 in
    ntpsec) echo "$ROOT/etc/orv-main/ntp.conf" ;;
    chrony) echo "$ROOT/etc/chrony/conf.d/orv-main.conf" ;;
    esac
}
daemon_conf() {
    case $1 in
    ntpsec) grep -F 127.127. "$(daemon_file "$1")" ;;
    chrony) cat "$(daemon_file "$1")" ;;
    esac
}
CHRONY_HEAD='# Broadcast time (TOT) from orv-main, served to every client.'


for daemon in ntpsec chrony; do
    case $daemon in
    ntpsec)
        on_7="server 127.127.1.0"$'\n'"fudge 127.127.1.0 stratum 6"
        on_4="server 127.127.1.0"$'\n'"fudge 127.127.1.0 stratum 3"
        shm_4="server 127.127.28.$UNIT minpoll 4 maxpoll 4"$'\n'"fudge 127.127.28.$UNIT refid TOT stratum 3"
        ;;
    chrony)
        on_7="$CHRONY_HEAD"$'\n'"local stratum 7"$'\n'allow
        on_4="$CHRONY_HEAD"$'\n'"local stratum 4"$'\n'allow
        shm_4="$CHRONY_HEAD"$'\n'"refclock SHM $UNIT refid TOT poll 4 filter 3 stratum 3"$'\n'allow
        ;;
    esac
    restart="systemctl restart $daemon.service|"
    stop="systemctl stop $daemon.service|"
    rm -f "$CONF/Setup_05_01.ini" "$SD/Setup_05_01.ini"

    step "$daemon: the first take restarts the daemon on stratum 7"
    start_unit "$daemon" step
    expect_eq "$daemon commands" "$(daemon_commands "$daemon")" "$restart"
    expect_eq "$daemon configuration" "$(daemon_conf "$daemon")" "$on_7"
    expect_eq "$daemon file's access" "$(stat -c '%a %u %g' "$(daemon_file "$daemon")")" "644 0 0"

    step "$daemon: stratum 4: stopped, its configuration rewritten, restarted"
    sed -i 's/^Set_TOT_STRATUM=[0-9]*/Set_TOT_STRATUM=4/' "$CONF/Setup_05_01.ini"
    send_setup_change /var/kelvatro/conf/Setup_05_01.ini
    wait_for "$daemon restarted" eval '[ "$(journal_count "systemctl restart $daemon")" -eq 2 ]'
    expect_eq "$daemon commands" "$(daemon_commands "$daemon")" "$restart$stop$restart"
    expect_eq "$daemon configuration" "$(daemon_conf "$daemon")" "$on_4"
    sim_end

    step "$daemon: shm delivery, the unit started anew: the daemon restarted on the segment"
    start_unit "$daemon" shm
    expect_eq "$daemon commands" "$(daemon_commands "$daemon")" "$restart"
    expect_eq "$daemon configuration" "$(daemon_conf "$daemon")" "$shm_4"
    sim_end
done
pass
