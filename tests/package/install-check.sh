#!/usr/bin/env bash
# Usage: [ORV_NTP_DAEMON=ntpsec|chrony] tests/package/install-check.sh bookworm|trixie [DEB]
# The amd64 package of a Debian release installed, upgraded and purged with apt
# in a fresh minbase root of that release. The daemon (default ntpsec) is
# installed with the package's other needs; DEB defaults to the one
# scripts/package.sh builds. The root is only entered with chroot (apt, dpkg,
# the package's helper), under a policy-rc.d that forbids and records every
# start, with nothing mounted in it; nothing is booted. The minbase root and the
# packages are kept in /var/cache/orv-pkgcheck.
. "$(dirname "$0")/../tools/lib.sh"
release=${1:-} daemon=${ORV_NTP_DAEMON:-ntpsec}
[[ $release == @(bookworm|trixie) ]] || { echo "usage: $0 bookworm|trixie [DEB]" >&2 && exit 2; }
deb=$(realpath "${2:-$("$repo/scripts/package.sh" amd64 "$release" | tail -n 1)}")
orv_install_packages mmdebstrap systemd

cache=/var/cache/orv-pkgcheck base=/var/cache/orv-pkgcheck/$release-minbase
mkdir -p "$cache/$release-archives"
[ -d "$base" ] || { rm -rf "$base.new" && mmdebstrap --mode=root --variant=minbase \
    --skip=cleanup/apt/lists "$release" "$base.new" "$(orv_debian_mirror)" && mv "$base.new" "$base"; }
root=$(mktemp -d /var/tmp/orv-pkgcheck.XXXXXX)
# Never removes a tree with anything mounted in it.
trap 'if findmnt -rno TARGET | grep -q "^$root"; then echo "mounted under $root: left" >&2; else rm -rf "$root"; fi' EXIT
cp -a "$base/." "$root/"
cp /etc/resolv.conf "$root/etc/resolv.conf"
stub "$root/usr/sbin/policy-rc.d" 'echo "$*" >>/var/log/policy-rc.d.log; exit 101'
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }
apt_quiet() { in_root apt-get "$@" >"$root/tmp/apt.log" 2>&1 || { cat "$root/tmp/apt.log" >&2 && return 1; }; }
apt_in_root() {
    cp -n "$cache/$release-archives/"*.deb "$root/var/cache/apt/archives/" 2>/dev/null || true
    apt_quiet install -y -q --no-install-recommends "$@"
    cp -n "$root/var/cache/apt/archives/"*.deb "$cache/$release-archives/" 2>/dev/null || true
}

failures=0
expect() { # WHAT EXPECTED ACTUAL
    [ "$2" = "$3" ] && echo "ok: $1" && return
    printf 'FAILED: %s\n--- expected\n%s\n--- found\n%s\n' "$1" "$2" "$3" >&2 && failures=$((failures + 1))
}
# Every path of the root, with the checksum of each file under /etc, less what
# apt, dpkg and the logs keep about their own work.
tree() {
    (cd "$root" && find . -xdev \( -path ./var/lib/dpkg -o -path ./var/lib/apt -o -path ./var/cache \
        -o -path ./var/log -o -path ./tmp -o -path ./run/systemd \) -prune -o -print | sort &&
        find ./etc -type f -exec md5sum {} + | sort -k2)
}
enablement() { systemctl --root="$root" is-enabled "$@" 2>&1 || true; }

# What the package needs, and systemd, installed first: the daemon as its own
# package leaves it. Then the maintainer scripts find a running systemd.
in_root apt-get update -q >/dev/null
apt_in_root systemd $(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed "s/ *(.*//; s/^ *ntpsec |.*/$daemon/; s/ *|.*//")
before=$(tree)
mkdir -p "$root/run/systemd/system"
: >"$root/var/log/policy-rc.d.log"
cp "$deb" "$root/tmp/orv-main.deb"
apt_in_root /tmp/orv-main.deb

expect "units enabled at installation" $'enabled\nenabled\nenabled\nenabled' \
    "$(enablement var-kelvatro-conf.mount orv-main-conf.service orv-main.service "$daemon.service")"
expect "the daemon stopped, a running dhcpcd restarted, nothing started" \
    $'ntpsec.service stop\nchrony.service stop\ndhcpcd.service try-restart' \
    "$(cat "$root/var/log/policy-rc.d.log")"
expect "dhcpcd.conf diverted, the unit's in its place" \
    $'diversion of /etc/dhcpcd.conf to /etc/dhcpcd.conf.orv-main-orig by orv-main\nallowinterfaces eth0' \
    "$(in_root dpkg-divert --list /etc/dhcpcd.conf && grep -m 1 -v '^#' "$root/etc/dhcpcd.conf")"
# The host's systemd-analyze may not know every key of a newer release's own
# units: only what it says of these units counts.
verify=$(systemd-analyze verify --root="$root" --man=no "$daemon.service" orv-main.service \
    orv-main-conf.service var-kelvatro-conf.mount 2>&1 | grep -E "orv-main|kelvatro|$daemon" || true)
expect "systemd-analyze verify accepts the units and drop-ins" "" "$verify"
case $daemon in # its own ExecStart, then the drop-in's
ntpsec) own=/usr/libexec/ntpsec/ntp-systemd-wrapper ours="/usr/sbin/ntpd -p /run/ntpd.pid -c /etc/ntpsec/ntp.d/orv-main.conf -u ntpsec:ntpsec" ;;
chrony) own='!/usr/sbin/chronyd $DAEMON_OPTS' ours='!/usr/sbin/chronyd -f /etc/chrony/orv-main.conf $DAEMON_OPTS' ;;
esac
expect "$daemon runs on the unit's configuration, on the unit's word" \
    $'ConditionCapability=CAP_SYS_TIME\nExecStart='"$own"$'\nConditionPathExists=/run/orv-main/ntp-daemon-started\nExecStart=\nExecStart='"$ours" \
    "$(systemd-analyze cat-config --root="$root" "systemd/system/$daemon.service" |
        grep -E '^(Condition|ExecStart)')"
expect "the daemons' configurations: the unit's orphan stratum, no other source" \
    'tos orphan 7 orphanwait 1' \
    "$(grep -hE '^ *(server|fudge|pool|peer|refclock|sourcedir|include|tos)' \
        "$root/usr/kelvatro/conf/ntp.conf" "$root/etc/chrony/orv-main.conf")"
condition() { in_root systemd-analyze condition ConditionPathExists=/run/orv-main/ntp-daemon-started \
    >/dev/null 2>&1 && echo met || echo unmet; }
expect "at boot the daemon's condition is unmet" unmet "$(condition)"
# What root's daemons read, or the unit hands them, is root's alone: no group
# (the web front end's) nor other user may write it.
daemon_files="usr/kelvatro/conf/ntp.conf usr/kelvatro/conf/dhcpcd.conf etc/dhcpcd.conf etc/default/orv-main
    etc/chrony/orv-main.conf usr/lib/systemd/system/ntpsec.service.d/orv-main.conf
    usr/lib/systemd/system/chrony.service.d/orv-main.conf usr/libexec/orv-main/ntp-daemon"
expect "the files the daemons read are root's alone" "" \
    "$(cd "$root" && find $daemon_files \( ! -user root -o ! -group root -o -perm /022 \) -printf '%u:%g %m %p\n' 2>&1)"

expect "the upload folder the web group's (ORV_GROUP)" "770 root:www-data" "$(in_root stat -c '%a %U:%G' /usr/kelvatro/upload)"

# The helper of the unit's start and stop commands, with a systemctl that only
# records what it is asked.
stub "$root/tmp/stub/systemctl" 'echo "$*" >>/tmp/systemctl.log'
for run in "chrony stop" "chrony start" "ntpsec stop" "ntpsec start"; do
    in_root env PATH=/tmp/stub:/usr/bin:/bin ORV_NTP_DAEMON="${run% *}" /usr/libexec/orv-main/ntp-daemon "${run#* }"
    echo "condition $(condition)" >>"$root/tmp/systemctl.log"
done
expect "start is a restart; the condition met from start to stop" \
    $'stop chrony.service\ncondition unmet\nrestart chrony.service\ncondition met\nstop ntpsec.service\ncondition unmet\nrestart ntpsec.service\ncondition met' \
    "$(cat "$root/tmp/systemctl.log")"

# What the unit writes as it runs, and an admin who disabled the unit.
mkdir -p "$root/var/kelvatro/conf" "$root/var/www" "$root/etc/chrony/conf.d"
for file in var/kelvatro/conf/ntp.conf usr/kelvatro/conf/ORV_System.ini var/www/StatusLog.txt \
    etc/ntpsec/ntp.d/orv-main.conf etc/chrony/conf.d/orv-main.conf; do
    echo "written by the unit" >"$root/$file"
done
echo "static ip_address=192.168.1.20/24" >>"$root/etc/dhcpcd.conf"
unit_dhcpcd=$(cat "$root/etc/dhcpcd.conf")
systemctl --root="$root" disable orv-main-conf.service 2>/dev/null
: >"$root/var/log/policy-rc.d.log"

# An upgrade to the same package with a newer version.
dpkg-deb -R "$deb" "$root/tmp/new" && sed -i 's/^Version: .*/&.1/' "$root/tmp/new/DEBIAN/control"
dpkg-deb -b "$root/tmp/new" "$root/tmp/orv-main-new.deb" >/dev/null
apt_in_root /tmp/orv-main-new.deb
expect "the admin's enablement kept at the upgrade" $'enabled\ndisabled\nenabled' \
    "$(enablement var-kelvatro-conf.mount orv-main-conf.service orv-main.service)"
expect "the unit restarted at the upgrade, the daemon left to it" "orv-main.service restart" \
    "$(cat "$root/var/log/policy-rc.d.log")"
expect "the unit's dhcpcd.conf kept at the upgrade" "$unit_dhcpcd" "$(cat "$root/etc/dhcpcd.conf")"

# A removal stops the unit (its stop stops the daemon) and restarts the daemon,
# which the root's last check then finds enabled, on its own files alone.
: >"$root/var/log/policy-rc.d.log"
apt_quiet remove -y -q orv-main
apt_quiet purge -y -q orv-main
expect "the unit stopped, the daemon restarted at the removal, nothing at the purge" \
    "orv-main.service stop"$'\n'"$daemon.service restart" "$(cat "$root/var/log/policy-rc.d.log")"
rmdir "$root/run/systemd/system"
expect "after the purge dhcpcd.conf no longer diverted, the root as before the installation" "" \
    "$(in_root dpkg-divert --list /etc/dhcpcd.conf; diff <(echo "$before") <(tree))"

[ "$failures" -eq 0 ] || { echo "install-check: $failures checks failed" >&2; exit 1; }
echo "install-check: $(basename "$deb") installs, upgrades and purges on $release"
