#!/usr/bin/env bash
# The unit's Debian package and its checks:
#   scripts/package.sh arm64|armhf|amd64 [bookworm|trixie]
# Builds orv-main for the architecture and Debian release (default trixie) in
# build-deb-ARCH-RELEASE/ (a cross build for arm64 and armhf), makes
# orv-main_<version>_<arch>.deb there with CPack, checks it (its files, its
# dependencies, lintian, systemd-analyze verify on its units), prints how
# exposed systemd-analyze security finds orv-main.service and prints its
# path on the last line. It never installs the package: that would start a unit
# that reconfigures this machine (tests/package/install-check.sh installs it
# into a Debian root of its own).
set -euo pipefail
case ${1:-} in -h | --help) echo "Usage: $0 arm64|armhf|amd64 [bookworm|trixie]     (builds and checks the Debian package)" && exit 0 ;; esac

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"

arch=${1:-}
release=${2:-trixie}
toolchain=()
case "$arch" in
arm64 | armhf) toolchain=(-DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-$arch.cmake") ;;
amd64) ;;
*) arch= ;;
esac
# trixie's daemons read the shared-memory segment's seconds as a 64-bit time_t
# on every architecture; bookworm's as a long.
# Its units lie under /usr/lib on trixie, under /lib on bookworm.
case "$release" in
bookworm) time64=OFF units=/lib/systemd/system ;;
trixie) time64=ON units=/usr/lib/systemd/system ;;
*) arch= ;;
esac
if [ -z "$arch" ]; then
    echo "usage: $0 arm64|armhf|amd64 [bookworm|trixie]" >&2
    exit 2
fi

packages=(cmake ninja-build ccache lintian systemd "libbcm2835-dev:$arch" "libsystemd-dev:$arch" nlohmann-json3-dev)
# The target's own C and C++ runtime, where dpkg-shlibdeps finds the dependencies.
packages+=("libstdc++6:$arch")
[ "$arch" = amd64 ] && packages+=(g++) || packages+=("crossbuild-essential-$arch")
# shellcheck source=install-packages.sh
. scripts/install-packages.sh
orv_install_packages "${packages[@]}"

# One commit builds the same package on any day: its date stands for the
# build's (the floor of the unit's clock, the times in the archive).
[ -n "${SOURCE_DATE_EPOCH:-}" ] || SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) || true
[ -z "${SOURCE_DATE_EPOCH:-}" ] || export SOURCE_DATE_EPOCH

dir=build-deb-$arch-$release
generator=()
[ -f "$dir/CMakeCache.txt" ] || generator=(-G Ninja)
cmake -S . -B "$dir" "${generator[@]}" "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_TESTING=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON -DORV_DEB_RELEASE="$release" \
    -DORV_SHM_TIME64="$time64" >/dev/null
cmake --build "$dir" -j2 --target orv-main orvctl
rm -f "$dir"/orv-main_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/orv-main_*_"$arch".deb)

failures=0
check() {
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what" >&2; failures=$((failures + 1)); fi
}

contents=$(dpkg-deb -c "$deb")
for file in ./usr/sbin/orv-main ./usr/libexec/orv-main/ntp-daemon \
    ".$units/orv-main.service" ".$units/orv-main-conf.service" ".$units/var-kelvatro-conf.mount" \
    ".$units/ntpsec.service.d/orv-main.conf" ".$units/chrony.service.d/orv-main.conf" \
    ./usr/lib/tmpfiles.d/orv-main.conf \
    ./usr/lib/NetworkManager/conf.d/orv-main.conf ./etc/default/orv-main \
    ./etc/chrony/orv-main.conf ./etc/ntpsec/ntp.d/ ./usr/kelvatro/conf/ntp.conf \
    ./usr/kelvatro/conf/dhcpcd.conf ./usr/bin/orvctl ./usr/share/man/man1/orvctl.1.gz \
    ./usr/share/man/man8/orv-main.8.gz ./usr/share/orv-main/orv-main.rules.yml \
    ./usr/share/doc/orv-main/operator-guide.md; do
    check "holds $file" grep -q " $file\$" <<<"$contents"
done
check "no tuner-control library" eval '! grep -q libsmscontrollite <<<"$contents"'
# This machine's lintian, with the package's overrides. Its tag for a unit
# without an init script is gone from trixie's lintian, which would refuse an
# override of it: the unit is systemd-only (its RAM disk is a mount unit, and the
# NTP daemon's drop-ins do what no init script could).
check "lintian -I --pedantic reports nothing" lintian -I --pedantic --fail-on error,warning,info,pedantic \
    --suppress-tags package-supports-alternative-init-but-no-init.d-script --tag-display-limit 0 "$deb"

# The units as the package lays them out, in a root of their own beside the
# host's units and the programs they run; any complaint fails.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
cp -Rn /usr/lib/systemd/system/. "$unpacked$units/"
mkdir -p "$unpacked/bin"
cp -p /bin/cp "$unpacked/bin/"
verify_units() {
    local out
    out=$(systemd-analyze verify --root="$unpacked" --man=no "$units/orv-main.service" \
        "$units/orv-main-conf.service" "$units/var-kelvatro-conf.mount" 2>&1) &&
        [ -z "$out" ] || { echo "$out" >&2; return 1; }
}
check "systemd-analyze verify accepts the units" verify_units
# How exposed orv-main's service is, as this machine's systemd rates the
# packaged unit (the operator's guide gives the score and the version).
exposure=$(systemd-analyze security --offline=yes --root="$unpacked" "$units/orv-main.service" \
    2>/dev/null | sed -n 's/^.*Overall exposure level for orv-main.service: \([0-9.]* [A-Z]*\).*/\1/p')
systemd=$(systemd-analyze --version | sed -n '1s/^systemd \([0-9]*\).*/\1/p')
check "systemd $systemd's systemd-analyze security scores orv-main.service ${exposure:-not at all}" \
    test -n "$exposure"

[ "$failures" -eq 0 ] || { echo "package.sh: $failures checks failed" >&2; exit 1; }
echo "$deb"
