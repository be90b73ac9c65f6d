#!/usr/bin/env bash
# Usage: tests/vm/vm-test.sh [--arch amd64|arm64|armhf] [--image | --all | --update | --power-cuts N] [DEB]     (the package booted in a qemu VM; --all: every daemon and delivery, a reboot, an upgrade, a purge; --update: signed updates)
# The booted appliance: a Debian 13 amd64 virtual machine (qemu, TCG) installs the
# unit's package and runs its orv-main as installed, with ORV_SPI=spidev, on the
# board emulator orv-board (/dev/spidev0.1 and /dev/kelvatro_hwreg0 in user space,
# the simulated board of orv-sim behind them) and the simulated tuner library as
# libsmscontrollite.so; an SNTP client on this machine checks what the guest's
# NTP daemon serves through a port forwarded to 127.0.0.1.
# Default: two boots, ntpsec with ORV_TIME_DELIVERY=step and chrony with shm.
# --all: both daemons with both deliveries, then a reboot, an upgrade and a purge.
# --power-cuts N: one unit on a disk of its own, qemu killed N times during a
# burst of setup changes and booted again (ntpsec/step).
# ORV_VM_RUNS names other boots ("ntpsec/shm chrony/step").
# Each boot measures the root distance served, the worst answer around takes
# and the holdover's degradation (ORV_HOLDOVER_S=150: from 61 s to 150 s).
# The image is cached in $ORV_VM_CACHE (default /var/cache/orv-vm), keyed by the
# architecture, the release and its package list.
# --arch arm64|armhf: the package of that architecture in an emulated arm
# machine (tests/vm/arm-image.sh); emulation is slower, so its waits are longer.
# --image: only builds the image when it is not cached (no VM measures meanwhile,
# so it needs no lock).
# --update: one boot (ntpsec, step), then an unsigned update refused (the unit
# serving on) and a signed one installed (the unit rebooted and serving).
. "$(dirname "$0")/../tools/lib.sh"
cd "$repo"
arch=amd64 all=0 image_only=0 update=0 cuts=0
while [ $# -gt 0 ]; do
    case $1 in
    --arch) arch=${2:-} && shift 2 ;;
    --all) all=1 && shift ;;
    --power-cuts) cuts=${2:-} && shift 2 ;;
    --image) image_only=1 && shift ;;
    --update) update=1 && shift ;;
    *) break ;;
    esac
done
case $arch in
amd64) orv_install_packages mmdebstrap qemu-system-x86 e2fsprogs python3 cmake ninja-build g++ libfuse3-dev nlohmann-json3-dev ;;
arm64 | armhf) orv_install_packages debootstrap qemu-system-arm e2fsprogs cpio xz-utils python3 cmake ninja-build \
    "crossbuild-essential-$arch" "libbcm2835-dev:$arch" "libsystemd-dev:$arch" "libfuse3-dev:$arch" nlohmann-json3-dev ;;
*) echo "vm-test: --arch amd64|arm64|armhf" >&2 && exit 2 ;;
esac
deb=${1:-$(ls "build-deb-$arch-trixie/orv-main_"*"_$arch.deb" "build-deb-$arch/orv-main_"*"_$arch.deb" 2>/dev/null | head -1 || true)}
[ -f "$deb" ] || { echo "vm-test: no package: run scripts/package.sh $arch trixie first" >&2; exit 1; }
echo "vm-test: package $deb"
release=trixie cache=${ORV_VM_CACHE:-/var/cache/orv-vm} ctl=(python3 "$repo/tests/vm/vmctl.py") daemons="ntpsec chrony"
mirror=$(orv_debian_mirror)

# The board emulator and the simulated tuner library, built for the guest (the
# configuration run again, so that it finds libfuse3 installed since).
export CCACHE_BASEDIR=/work CCACHE_NOHASHDIR=true
bin=build slow=1 cross=()
[ $arch = amd64 ] || { bin=build-vm-$arch slow=4 cross=(-DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-$arch.cmake" -DBUILD_TESTING=OFF); }
cmake -S . -B $bin $([ -f $bin/CMakeCache.txt ] || echo -G Ninja) -DCMAKE_BUILD_TYPE=RelWithDebInfo "${cross[@]}" >/dev/null
cmake --build $bin -j2 --target orv-board orv_simtuner >/dev/null

# The package's run-time dependencies (first of each alternative) but the NTP
# daemons, whose .debs the image keeps aside, one installed per run; an arm
# image takes its kernel's modules from the kernel's .deb.
kernel="linux-image-amd64 " initramfs=" initramfs-tools"
[ $arch = amd64 ] || kernel= initramfs=
packages="${kernel}systemd-sysv udev iproute2 dbus kmod$initramfs $(dpkg-deb -f "$deb" Depends |
    tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/:any//; s/ //g' | grep -vxE "ntpsec|ntp|chrony" | sort -u | tr '\n' ' ')"

# The guest's agent: each line from the host over the virtio port is an id and a
# shell command, answered by its output and "@rc ID STATUS"; "ID @clock" is
# answered "@rc ID CLOCK" (the guest's clock). The id keeps each answer with its
# request, also after a request that the host gave up on.
# The address is the user network's; its gateway is a black hole, so that nothing
# in the guest reaches beyond this machine's forwarded port.
agent_script='#!/bin/bash
ip link set eth0 up; ip addr add 10.0.2.15/24 dev eth0
exec 3<>/dev/virtio-ports/orv.agent
while :; do
    IFS= read -r line <&3 || { sleep 0.2; continue; }
    id=${line%% *} line=${line#* }
    case $line in
    @clock) echo "@rc $id $EPOCHREALTIME" >&3 ;;
    *) bash -c "$line" </dev/null >&3 2>&1; echo "@rc $id $?" >&3 ;;
    esac
done'
# Keyed by its release, packages, agent and recipe (5: raised with each change of build_image or test_files).
image=$cache/$release-$(echo "$release $packages 5 $agent_script" | sha256sum | cut -c1-16)

# test_files TREE TOKEN: what every image carries for the test: the token of the
# board emulator's guard, the agent, the emulator's unit (started before
# orv-main once the test has installed it) with its start file, and network
# settings of the user network on the unit's SD card.
test_files() {
    local units=$1/etc/systemd/system
    mkdir -p "$1/usr/local/sbin" "$units/multi-user.target.wants" "$1/var/lib/orv-board" "$1/usr/kelvatro/conf"
    echo "$2" >"$1/etc/orv-test-image.token"
    install -m 755 /dev/stdin "$1/usr/local/sbin/orv-vm-agent" <<<"$agent_script"
    # The agent's port appears when udev has named it: slow emulation starts the agent first.
    printf '[Service]\nExecStartPre=/bin/sh -c "until [ -e /dev/virtio-ports/orv.agent ]; do sleep 0.2; done"\nExecStart=/usr/local/sbin/orv-vm-agent\nRestart=always\nRestartSec=1\n[Install]\nWantedBy=multi-user.target\n' >"$units/orv-vm-agent.service"
    printf '%s\n' "[Unit]" "ConditionPathExists=/usr/local/sbin/orv-board" "Before=orv-main.service" "[Service]" \
        "ExecStartPre=/sbin/modprobe cuse" "ExecStart=/usr/local/sbin/orv-board" \
        "ExecStartPost=/bin/sh -c 'until [ -c /dev/spidev0.1 ] && [ -c /dev/kelvatro_hwreg0 ]; do sleep 0.1; done'" \
        "[Install]" "WantedBy=multi-user.target" >"$units/orv-board.service"
    ln -s ../orv-vm-agent.service ../orv-board.service "$units/multi-user.target.wants/"
    echo "signal off" >"$1/var/lib/orv-board/start"
    printf '[ORVNetwork]\nIP=10.0.2.15\nNetMask=255.255.255.0\nGateway=10.0.2.99\nSyslog=0.0.0.0\nsnmp=0.0.0.0\nDnsP=0.0.0.0\nDnsS=0.0.0.0\n' >"$1/usr/kelvatro/conf/ORV_Network.ini"
    : >"$1/etc/resolv.conf"; echo orv-vm >"$1/etc/hostname"
}

build_image() {
    local tree=$image.tree token
    token=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
    rm -rf "$cache/$release"-*
    mkdir -p "$tree" "$cache/debs"
    # mmdebstrap's policy-rc.d forbids starts in the tree while it installs and
    # goes at the end, so that the guest's own boots start services.
    mmdebstrap --mode=root --variant=minbase --include="${packages// /,}" \
        --skip=download/empty --skip=cleanup/apt/lists \
        --setup-hook='mkdir -p "$1/var/cache/apt/archives"' \
        --setup-hook="sync-in $cache/debs /var/cache/apt/archives" \
        --customize-hook="sync-out /var/cache/apt/archives $cache/debs" \
        --customize-hook='for d in '"$daemons"'; do mkdir -p "$1/var/cache/orv-debs/$d/partial"
            chroot "$1" apt-get -qq -o Dir::Cache::archives=/var/cache/orv-debs/$d \
                install --download-only -y $d || exit 1; rm -rf "$1/var/cache/orv-debs/$d/partial"; done' \
        "$release" "$tree" "$mirror" || { echo "vm-test: cannot build the $release image: is $mirror reachable?" >&2; exit 1; }
    test_files "$tree" "$token"
    chroot "$tree" systemctl -q disable dhcpcd.service 2>/dev/null || true
    cp "$tree"/boot/vmlinuz-* "$image.vmlinuz"; cp "$tree"/boot/initrd.img-* "$image.initrd"
    truncate -s 3G "$image.img.new"
    mkfs.ext4 -q -L orv-vm -d "$tree" "$image.img.new"
    mv "$image.img.new" "$image.img"
    echo "$token" >"$image.token"; rm -rf "$tree"
}
qemu=(qemu-system-x86_64 -accel tcg,tb-size=256 -cpu max) console=ttyS0
[ $arch = amd64 ] || . tests/vm/arm-image.sh
[ -f "$image.img" ] || build_image
[ $image_only = 0 ] || { echo "vm-test: image $image.img" && exit 0; }

# --update: a throwaway key, a package signed with it, the same unsigned.
update_payload() {
    local g="gpg --homedir $run/gnupg --batch -q" dir=$run/payload/update
    orv_install_packages gpg gpg-agent && mkdir -m 700 "$run/gnupg" && mkdir -p "$dir/unsigned"
    echo 'echo "installed by $(id -u) in $(pwd)" >/var/lib/orv-update-mark' >"$dir/setup.sh"
    tar czf "$dir/unsigned/data.tar.gz" -C "$dir" setup.sh && cp "$dir/unsigned/data.tar.gz" "$dir/"
    $g --passphrase '' --quick-gen-key maker ed25519 sign never 2>/dev/null && $g --export maker >"$dir/maker.pgp"
    $g --detach-sign "$dir/data.tar.gz" && gpgconf --homedir "$run/gnupg" --kill gpg-agent
    maker=$($g --with-colons -k maker | awk -F: '/^fpr/ { print $10; exit }')
}
# update_rows STRATUM: each update placed and sent as the web front end's group would.
update_rows() {
    local stratum=$1 group="runuser -u www-data --" id=$(guest cat /proc/sys/kernel/random/boot_id)
    signal on
    check "7 served before the updates" "${ctl[@]}" served "$port" "$ahead" "$stratum" $((60 * slow))
    check "7 upload folder the group's, unsigned refused" guest "mount -o ro /dev/vdb /mnt 2>/dev/null;
        install -D -m 644 /mnt/update/maker.pgp /etc/orv-main/update-keys/maker.pgp &&
        stat -c '%a %U:%G' /usr/kelvatro/upload | grep -x '770 root:www-data' && $group cp /mnt/update/unsigned/data.tar.gz
        /usr/kelvatro/upload/ && { $group orvctl send '[UpLoad]'; test \$? = 1; } && for i in \$(seq 20); do orvctl status | grep -q '^Last update  : refused'
        && break; sleep 1; done; orvctl status | grep -q '^Last update  : refused' && ! test -e /var/lib/orv-update-mark &&
        grep 'Update refused: .*sig missing' /var/www/StatusLog.txt"
    check "7 unsigned update: served on, no reboot" eval '"${ctl[@]}" served "$port" "$ahead" "$stratum" 30 && ! rebooted "$id"'
    guest "$group cp /mnt/update/data.tar.gz* /usr/kelvatro/upload/ && $group orvctl send '[UpLoad]'" >/dev/null
    until_ok $((600 * slow)) rebooted "$id" && until_ok $((120 * slow)) unit_running || { row "7 signed update: reboot" FAIL "" && tail -30 "$run/console.log" >&2; return; }
    check "7 signed update installed, its key logged" guest "grep -x 'installed by 0 in /usr/kelvatro/update' /var/lib/orv-update-mark &&
        ! test -e /usr/kelvatro/update && grep -q 'Update signed by key $maker: installing' /var/www/StatusLog.txt"
    first_take "$stratum" "7 signed update: served again after the reboot"
}
# The web front end's setup changes in the guest (orv-burst): generation after
# generation of the network, system and TOT files, each edited, put whole in place
# on the RAM disk and announced. "orv-burst check": every SD copy is the one first
# saved (in /root/first) but for the values the generations change, no file set
# aside, the default route and name server those of the SD copy.
burst_script='#!/bin/bash
edit() { case $1 in
    ORV_Network.ini) echo "s/^Gateway=[0-9.]*/Gateway=10.0.2.$((100 + $2 % 100))/; s/^DnsP=[0-9.]*/DnsP=10.1.$(($2 / 250 % 250)).$(($2 % 250))/" ;;
    ORV_System.ini) echo "s/^UnitName=[A-Za-z0-9 ]*/UnitName=ORV $2/" ;;
    Setup_05_01.ini) echo "s/^Set_TOT_STRATUM=[0-9]*/Set_TOT_STRATUM=$((3 + $2 % 2))/" ;;
    esac; }
files="ORV_Network.ini ORV_System.ini Setup_05_01.ini" c=/var/kelvatro/conf n=0
if [ "${1:-}" = check ]; then
    for f in $files; do cmp <(sed "$(edit $f 0)" /usr/kelvatro/conf/$f) <(sed "$(edit $f 0)" /root/first/$f) || exit 1; done
    ! ls $c/*.aside* 2>/dev/null || exit 1
    gw=$(sed -n "s/^Gateway=\([0-9.]*\).*/\1/p" /usr/kelvatro/conf/ORV_Network.ini)
    dns=$(sed -n "s/^DnsP=\([0-9.]*\).*/\1/p" /usr/kelvatro/conf/ORV_Network.ini)
    ip route show default; cat /etc/resolv.conf; grep -a "Network\|Gateway\|route" /var/www/StatusLog.txt | tail -5
    ip route show default | grep -q "via $gw " && grep -qx "nameserver $dns" /etc/resolv.conf &&
        echo "whole, none aside, up on gateway $gw, name server $dns"
    exit
fi
while n=$((n + 1)); do
    echo $n >/run/orv-burst
    for f in $files; do
        sed "$(edit $f $n)" $c/$f >$c/.edit && mv $c/.edit $c/$f && printf "[SetupChange]\nFileName=$c/$f\n" >/var/kelvatro/maincontrol
        sleep 0.2
    done
done'
run=$(mktemp -d /tmp/orv-vm.XXXXXX)
qemu_pid= watch_pid=
stop_qemu() {
    local pid
    for pid in $qemu_pid $watch_pid; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
    qemu_pid= watch_pid=
}
trap 'stop_qemu; rm -rf "$run"' EXIT
trap 'exit 1' INT TERM
mkdir "$run/payload"
cp "$deb" $bin/orv-board $bin/liborv-simtuner.so "$run/payload/"
install -m 755 /dev/stdin "$run/payload/orv-burst" <<<"$burst_script"
if [ $all = 1 ]; then # the same package as a newer version, for the upgrade
    dpkg-deb -R "$deb" "$run/up"
    sed -i 's/^Version: .*/&+1/' "$run/up/DEBIAN/control"
    dpkg-deb -b "$run/up" "$run/payload/orv-up.deb" >/dev/null
fi
[ $update = 0 ] || update_payload
truncate -s 64M "$run/payload.img"
mkfs.ext4 -q -d "$run/payload" "$run/payload.img"

# guest [--timeout S] CMD: runs CMD (its lines joined) in the guest; a command
# known to run long (apt-get, orvctl wait) is given its S seconds, any other
# fails after $ORV_VM_AGENT_TIMEOUT s without an answer (a guest going down).
export ORV_VM_AGENT_TIMEOUT=$((30 * slow))
guest() {
    local t=()
    [ "$1" != --timeout ] || { t=(--timeout "$2") && shift 2; }
    "${ctl[@]}" run "${t[@]}" "$run/agent.sock" "$(tr '\n' ' ' <<<"$*")"
}
# until TIMEOUT CMD...: runs CMD every second until it succeeds, at most TIMEOUT s.
until_ok() {
    local end=$((SECONDS + $1))
    until "${@:2}" >/dev/null 2>&1; do [ $SECONDS -lt $end ] || return 1; sleep 1; done
}

# boot: the image in a throw-away snapshot, or another disk (power cuts).
disk=file=$image.img,format=raw,if=virtio,snapshot=on
boot() {
    port=$(python3 -c 'import socket; s=socket.socket(2, 2); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    rm -f "$run/agent.sock"
    "${qemu[@]}" -smp 2 -m 512 -nographic \
        -kernel "$image.vmlinuz" -initrd "$image.initrd" \
        -append "root=/dev/vda console=$console rw net.ifnames=0 orv.testimage=$(cat "$image.token")" \
        -drive "$disk" \
        -drive "file=$run/payload.img,format=raw,if=virtio,readonly=on" \
        -netdev "user,id=n,ipv6=off,hostfwd=udp:127.0.0.1:$port-:123" -device virtio-net-pci,netdev=n \
        -device virtio-serial -chardev "socket,id=a,path=$run/agent.sock,server=on,wait=off" \
        -device virtserialport,chardev=a,name=orv.agent </dev/null >"$run/console.log" 2>&1 &
    qemu_pid=$!
}

rows=() failed=0
# row NAME STATUS MEASURE: a row of the table.
row() { rows+=("$(printf '%-12s %-44s %-4s %s' "$boot_name" "$1" "$2" "$3")"); [ "$2" = ok ] || failed=1; }
# check NAME CMD...: a row with the last line that CMD printed.
check() {
    local out rc=0
    out=$("${@:2}" 2>&1) || rc=$?
    row "$1" "$([ $rc = 0 ] && echo ok || echo FAIL)" "$(tail -1 <<<"$out")"
    [ $rc = 0 ] || echo "$out" >&2
}
signal() { guest "echo 'signal $1' >/var/lib/orv-board/control" >/dev/null; }
set_stratum() {
    local f=/var/kelvatro/conf/Setup_05_01.ini
    guest "sed -i 's/^Set_TOT_STRATUM=[0-9]*/Set_TOT_STRATUM=$1/' $f &&
        printf '[SetupChange]\nFileName=$f\n' >/var/kelvatro/maincontrol" >/dev/null
}
ahead=3605
# The system settings of a unit with the TOT function, placed on its SD card.
system_file=$(. scripts/sandbox-layout.sh && orv_sandbox_system_file | base64 -w0)

# watch_unsync: watches the served time in the background; watched: ends the watch.
watch_unsync() {
    rm -f "$run/stop"
    "${ctl[@]}" watch "$port" "$run/stop" >"$run/watch" 2>&1 & watch_pid=$!
}
watched() {
    local rc=0
    touch "$run/stop"
    wait "$watch_pid" || rc=1
    watch_pid=
    check "$1" bash -c "cat $run/watch; exit $rc"
}
# first_take STRATUM WHAT: the broadcast ahead, the signal on, the time served;
# then how long after the first take (the first clock command of this boot, at
# the broadcast's time) a client first took an answer.
first_take() {
    local at taken
    check "broadcast set $ahead s ahead" "${ctl[@]}" broadcast "$run/agent.sock" "$ahead"
    signal on
    check "$2" "${ctl[@]}" served "$port" "$ahead" "$1" $((60 * slow))
    taken=$(sed -n 's/.* at \([0-9.]*\))$/\1/p' <<<"${rows[-1]}")
    at=$(guest "journalctl -b -u orv-main --no-pager -o cat | sed -n 's|^CMD > /bin/date -s \"\(.*\)\"\$|\1|p' | head -1")
    [ -n "$at" ] && [ -n "$taken" ] && at=$(TZ=Asia/Tokyo date -d "${at//\//-}" +%s.%N 2>/dev/null) &&
        row "2 first take to a client's answer" ok "$(awk -v a="$at" -v t="$taken" 'BEGIN { printf "%.1f s", t - a }')" ||
        row "2 first take to a client's answer" FAIL "no first take in the journal"
}
# unit_running: the emulator's FIFO and the unit's (both outlive a power cut), its
# TOT settings and, this boot, "Main Program Ready".
unit_running() { guest "test -p /var/lib/orv-board/control -a -p /var/kelvatro/maincontrol -a -s /var/kelvatro/conf/Setup_05_01.ini &&
    journalctl -b -u orv-main -o cat | grep -q 'Main Program Ready'"; }
rebooted() { local id; id=$(guest cat /proc/sys/kernel/random/boot_id) && [ "$id" != "$1" ]; }

# daemon_check DAEMON STRATUM: orvctl on the booted package asks the daemon itself. Its
# verdict (exit status 0) and orvctl wait agree with the served time; the
# daemon stopped behind the unit's back comes first in the status (exit
# status 1), until it is started again.
daemon_check() {
    check "5 orvctl wait: serving, status 0" guest --timeout $((90 * slow)) "orvctl wait --timeout $((60 * slow)) &&
        orvctl status | grep '^NTP answer'"
    check "5 $1 stopped: disagreement, status 1" guest "systemctl stop $1; orvctl status >/tmp/st; rc=\$?;
        systemctl start $1; head -1 /tmp/st; test \$rc = 1 &&
        grep -q '^Disagreement : the unit serves, but the NTP daemon does not answer on 127.0.0.1:123' /tmp/st"
    check "5 $1 started: orvctl wait returns" guest --timeout $((150 * slow)) "orvctl wait --timeout $((120 * slow)) &&
        orvctl status | grep '^NTP answer'"
    check "5 $1 started: served at stratum $2" "${ctl[@]}" served "$port" "$ahead" "$2" $((60 * slow))
}
# shm_view DAEMON: the daemon's own view of the segment the unit writes: its SHM
# source selected and reached, the last sample's offset under 50 ms.
shm_view() {
    case $1 in
    chrony) guest "chronyc -n -c sources | awk -F, '\$1 == \"#\" { print; ok = \$2 == \"*\" && \$6 != 0 &&
        (\$8 < 0 ? -\$8 : \$8) < 0.05 } END { exit !ok }'" ;;
    ntpsec) guest "ntpq -pn | awk '\$1 ~ /SHM|127.127.28/ { print; ok = \$1 ~ /^[*]/ && \$7 != 0 &&
        (\$9 < 0 ? -\$9 : \$9) < 50 } END { exit !ok }'" ;;
    esac
}
# status_is STATUS: the line of orvctl status that says whether it serves, and
# its exit status STATUS.
status_is() { guest "orvctl status >/tmp/st; rc=\$?; grep '^Serving' /tmp/st; test \$rc = $1"; }

# lifecycle DAEMON STRATUM: a reboot keeps the settings and serves again after the
# first take; an upgrade restarts the service; a purge leaves the daemon on its
# own configuration.
lifecycle() {
    local daemon=$1 stratum=$2 id pid
    id=$(guest cat /proc/sys/kernel/random/boot_id)
    guest --timeout 5 systemctl reboot >/dev/null || true
    watch_unsync
    until_ok $((300 * slow)) rebooted "$id" && until_ok $((120 * slow)) unit_running || { row "6 reboot" FAIL "not back"; return; }
    guest "mount -o ro /dev/vdb /mnt" >/dev/null
    check "6 reboot: stratum $stratum kept" guest "grep '^Set_TOT_STRATUM=$stratum\b' /var/kelvatro/conf/Setup_05_01.ini"
    watched "6 reboot: unsynchronised until first take"
    first_take "$stratum" "6 reboot: served after the first take"
    pid=$(guest systemctl show -p MainPID --value orv-main)
    check "6 upgrade restarts the service" guest --timeout $((300 * slow)) "apt-get install -y -q /mnt/orv-up.deb >/dev/null &&
        test \$(systemctl show -p MainPID --value orv-main) != $pid && systemctl is-active orv-main"
    check "6 purge: the daemon on its own configuration" guest --timeout $((300 * slow)) "apt-get purge -y -q orv-main >/dev/null &&
        test -z \"\$(dpkg -V $daemon)\" && ! systemctl cat $daemon.service | grep orv &&
        ! ls /etc/chrony/conf.d/orv* /etc/ntpsec/ntp.d/orv* 2>/dev/null &&
        systemctl is-active $daemon"
}

# up: boots and waits for the guest's agent. A guest whose kernel panics on the
# way up (emulation's fault: nothing of the unit is installed yet; seen once in
# sched_clock_cpu with two emulated machines on two busy cores) is booted once
# more, and the boot's row says so.
up() {
    local end
    panics=
    for _ in 1 2; do
        boot
        watch_unsync
        end=$((SECONDS + 300 * slow))
        until grep -qs "Kernel panic" "$run/console.log"; do
            guest true >/dev/null 2>&1 && return 0
            [ $SECONDS -lt $end ] || return 1
            sleep 1
        done
        grep -m1 -B2 -A12 "Oops\|BUG\|Kernel panic" "$run/console.log" >&2
        stop_qemu
        panics=" (booted again after a kernel panic)"
    done
    return 1
}

# install_unit DAEMON DELIVERY: the board emulator and the tuner library from the
# payload, the emulator started; the package and the daemon, the unit started
# again on the deployment settings of the boot; a row when the unit runs.
install_unit() {
    guest --timeout $((300 * slow)) "mount -o ro /dev/vdb /mnt && install /mnt/orv-board /usr/local/sbin/ &&
        mkdir -p /usr/local/lib/orv-board && cp /mnt/liborv-simtuner.so /usr/local/lib/orv-board/libsmscontrollite.so &&
        echo /usr/local/lib/orv-board >/etc/ld.so.conf.d/orv-board.conf && ldconfig && systemctl start orv-board &&
        cp /var/cache/orv-debs/$1/*.deb /var/cache/apt/archives/ &&
        echo $system_file | base64 -d >/usr/kelvatro/conf/ORV_System.ini &&
        apt-get install -y -q --no-install-recommends /mnt/${deb##*/} $1 >/dev/null &&
        sed -i '/^restrict ::1/a restrict 10.0.2.2 nomodify nopeer noquery' /usr/kelvatro/conf/ntp.conf &&
        printf 'ORV_SPI=spidev\nORV_NTP_DAEMON=$1\nORV_TIME_DELIVERY=$2\nORV_HOLDOVER_S=150\n' >>/etc/default/orv-main &&
        systemctl restart orv-main" >"$run/install.log" 2>&1 &&
        until_ok $((60 * slow)) unit_running ||
        { row "install, unit running" FAIL ""; tail -30 "$run/install.log" >&2; return 1; }
    row "install, unit running" ok "$((SECONDS - start)) s"
}
configured_stratum() { guest "sed -n 's/^Set_TOT_STRATUM=\([0-9]*\).*/\1/p' /var/kelvatro/conf/Setup_05_01.ini"; }
# shipped: the running orv-main is the package's program with no drop-in, and
# holds the emulated devices and the tuner library.
shipped() {
    local seen
    seen=$(guest "pid=\$(systemctl show -p MainPID --value orv-main); systemctl show -p DropInPaths --value orv-main;
        readlink /proc/\$pid/exe /proc/\$pid/fd/* | grep -xE '/usr/sbin/orv-main|/dev/spidev0.1|/dev/kelvatro_hwreg0';
        grep -o '/[^ ]*libsmscontrollite.so' /proc/\$pid/maps" | grep . | sort -u | tr '\n' ' ')
    echo "$seen"
    [ "$seen" = "/dev/kelvatro_hwreg0 /dev/spidev0.1 /usr/local/lib/orv-board/libsmscontrollite.so /usr/sbin/orv-main " ]
}
# no_spidev: the unit started without /dev/spidev0.1 says at start that SPI is not
# enabled, with the remedy, and that is why it does not serve; the emulator
# started again makes the node.
no_spidev() {
    local missing="/dev/spidev0.1 missing: SPI not enabled (dtparam=spi=on in the Raspberry Pi's config.txt, then reboot)"
    guest --timeout $((120 * slow)) "rm /dev/spidev0.1 && systemctl start orv-main && for i in \$(seq $((60 * slow))); do
        orvctl status | grep '^Serving' >/tmp/st; grep -q spi=on /tmp/st && break; sleep 1; done;
        systemctl stop orv-main; systemctl restart orv-board;
        grep -qF \"$missing\" /var/www/StatusLog.txt && grep -xF \"Serving      : no ($missing)\" /tmp/st ||
        { cat /tmp/st; journalctl -b -u orv-main -o cat | grep -i 'spi\|ready\|start' | tail -5; false; }"
}
# hung FAULT STRATUM: the unit hung by FAULT (a command in the guest) while it
# serves: when the daemon stops answering as synchronised (the watchdog's abort,
# then the stop helper), and when broadcast time is served again after the restart.
hung() { guest "$1" >/dev/null && "${ctl[@]}" outage "$port" "$ahead" "$2" $((150 * slow)); }

# date_fails: /bin/date failing (a script bound over it in the guest, saying what
# date says when it may not set the clock) at two takes of step delivery: the
# unit ticks on after each (its status file rewritten, the same process, no
# restart by the watchdog) and its journal has the command's failure.
date_fails() {
    guest --timeout $((120 * slow)) "pid=\$(systemctl show -p MainPID --value orv-main) st=/var/kelvatro/conf/Status_05_01.txt;
        printf '#!/bin/sh\necho \"date: cannot set date: Operation not permitted\" >&2\nexit 1\n' >/usr/local/sbin/date-fails &&
        chmod 755 /usr/local/sbin/date-fails && mount --bind /usr/local/sbin/date-fails /usr/bin/date || exit 1;
        fails() { journalctl -b -u orv-main -o cat | grep -c '^date: cannot set date'; };
        for i in \$(seq $((60 * slow))); do [ \$(fails) -ge 2 ] && break; sleep 1; done; n=\$(fails); umount /usr/bin/date;
        m=\$(stat -c %y \$st) ticks=0;
        for i in \$(seq $((30 * slow))); do [ \"\$(stat -c %y \$st)\" = \"\$m\" ] || { m=\$(stat -c %y \$st); ticks=\$((ticks + 1)); };
            [ \$ticks -ge 2 ] && break; sleep 0.5; done;
        echo \"\$n failed date commands, then \$ticks ticks, restarts \$(systemctl show -p NRestarts --value orv-main)\";
        test \$n -ge 2 -a \$ticks -ge 2 -a \$(systemctl show -p MainPID --value orv-main) = \$pid"
}

# boot_and_check DAEMON DELIVERY: items 1 to 5 in one boot.
boot_and_check() {
    local daemon=$1 delivery=$2 start=$SECONDS stratum other
    boot_name="$daemon/$delivery"
    echo "== $boot_name"
    up || { row "boot" FAIL "no agent"; tail -20 "$run/console.log"; return 1; }
    row "boot" ok "$((SECONDS - start)) s$panics"
    install_unit "$daemon" "$delivery" || return 1
    stratum=$(configured_stratum)
    [[ $stratum =~ ^[0-9]+$ ]] || { row "configured stratum" FAIL "$stratum"; return 1; }
    watched "1 unsynchronised from boot to first take"
    first_take "$stratum" "2 signal on: broadcast time, stratum $stratum"
    check "2 the package's orv-main on emulated devices" shipped
    check "2 worst answer around takes" "${ctl[@]}" worst "$port" "$ahead" 20
    [ "$delivery" != shm ] || check "2 $daemon reads the segment: SHM source" shm_view "$daemon"
    other=$((stratum == 3 ? 4 : 3))
    set_stratum "$other"
    check "3 setup change: stratum $other" "${ctl[@]}" served "$port" "$ahead" "$other" $((30 * slow))
    daemon_check "$daemon" "$other"
    signal off
    check "4 signal off: holdover shown, then stopped" "${ctl[@]}" holdover "$port" "$other" 240
    check "4 orvctl status: not serving, status 1" eval 'until_ok $((30 * slow)) status_is 1 && status_is 1'
    signal on
    check "4 signal on: served again" "${ctl[@]}" served "$port" "$ahead" "$other" $((60 * slow))
    [ "$delivery" != step ] || { check "5 date -s failing: the unit ticks on" date_fails &&
        check "5 date -s failing: served on" "${ctl[@]}" served "$port" "$ahead" "$other" $((30 * slow)); }
    check "5 watchdog: orv-main stopped (SIGSTOP)" hung "kill -STOP \$(systemctl show -p MainPID --value orv-main)" "$other"
    check "5 watchdog: one SPI ioctl stalled 65 s" hung "echo 'spi stall 65' >/var/lib/orv-board/control" "$other"
    check "5 systemctl stop: a clean end" guest "systemctl stop orv-main &&
        tail -n 3 /var/www/StatusLog.txt | grep -q 'Main Program End' &&
        grep -q '^Serving=0' /var/kelvatro/conf/ORV_State.ini &&
        ! systemctl -q is-active $daemon && ! test -e /var/kelvatro/maincontrol"
    check "5 unit stopped: status 2" status_is 2
    check "5 no SPI device: the unit says so" no_spidev
    guest systemctl start orv-main >/dev/null
    [ $all = 0 ] || [ "$boot_name" != ntpsec/step ] || lifecycle "$daemon" "$other"
    [ $update = 0 ] || update_rows "$other"
    row "boot done" ok "$((SECONDS - start)) s"
}

# power_cuts N: one unit on a copy of the image (no snapshot) served, then N times
# a burst, qemu killed (SIGKILL) at a moment of it and booted again: every SD
# copy whole (orv-burst check), none set aside at start, the network the SD
# copy's and broadcast time served at its stratum.
power_cuts() {
    local cut moment reached start=$SECONDS
    boot_name=power-cut disk=file=$run/disk.img,format=raw,if=virtio
    cp --sparse=always "$image.img" "$run/disk.img"
    up && install_unit ntpsec step || { row "boot, install" FAIL "" && return 1; }
    first_take "$(configured_stratum)" "served before the cuts"
    guest "install /mnt/orv-burst /usr/local/sbin/ && mkdir -p /root/first && cp /usr/kelvatro/conf/*.ini /root/first/ && sync" >/dev/null
    for cut in $(seq "$1"); do
        guest "setsid -f /usr/local/sbin/orv-burst >/dev/null 2>&1" >/dev/null
        moment=$(awk -v r=$RANDOM 'BEGIN { printf "%.1f", 0.5 + r % 60 / 10 }')
        sleep "$moment"
        reached=$(guest cat /run/orv-burst)
        kill -KILL "$qemu_pid" && wait "$qemu_pid" 2>/dev/null; qemu_pid=
        stop_qemu
        up && until_ok $((120 * slow)) unit_running || { row "cut $cut: booted again" FAIL ""; return 1; }
        check "cut $cut at $moment s, generation $reached" guest orv-burst check
        first_take "$(configured_stratum)" "cut $cut: served"
    done
    row "$1 cuts done" ok "$((SECONDS - start)) s"
}

runs="ntpsec/step chrony/shm"
[ $all = 0 ] || runs="ntpsec/step ntpsec/shm chrony/step chrony/shm"
[ $update = 0 ] || runs="ntpsec/step"
runs=${ORV_VM_RUNS:-$runs}
[ "$cuts" = 0 ] || { runs= && power_cuts "$cuts" || true; }
for r in $runs; do
    boot_and_check "${r%/*}" "${r#*/}" || true
    [ $failed = 0 ] || guest "journalctl -b --no-pager -n 40 -u orv-main -u ntpsec -u chrony;
        tail -20 /var/www/StatusLog.txt" >&2 || true
    stop_qemu
done
printf '%s\n' "${rows[@]}"
[ $failed = 0 ] || { echo "vm-test: FAILED" >&2; exit 1; }
echo "vm-test: passed"
