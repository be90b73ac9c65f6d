#!/usr/bin/env bash
# The unit's Debian package and its checks:
#   scripts/package.sh arm64|armhf|amd64
# Builds orv-main for the architecture in build-deb-ARCH/ (a cross build for arm64
# and armhf), makes orv-main_<version>_<arch>.deb there with CPack, and checks it:
# its files, its dependencies, lintian without errors, and systemd-analyze verify
# on its units. It never installs the package: that would start a unit that
# reconfigures this machine.
set -euo pipefail
case ${1:-} in -h | --help) echo "Usage: $0 arm64|armhf|amd64     (builds and checks the Debian package)" && exit 0 ;; esac

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"

arch=${1:-}
toolchain=()
case "$arch" in
arm64 | armhf) toolchain=(-DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-$arch.cmake") ;;
amd64) ;;
*)
    echo "usage: $0 arm64|armhf|amd64" >&2
    exit 2
    ;;
esac

packages=(cmake ninja-build ccache lintian systemd "libbcm2835-dev:$arch")
# The target's own C and C++ runtime, where dpkg-shlibdeps finds the dependencies.
packages+=("libstdc++6:$arch")
[ "$arch" = amd64 ] && packages+=(g++) || packages+=("crossbuild-essential-$arch")
# shellcheck source=install-packages.sh
. scripts/install-packages.sh
orv_install_packages "${packages[@]}"

dir=build-deb-$arch
generator=()
[ -f "$dir/CMakeCache.txt" ] || generator=(-G Ninja)
cmake -S . -B "$dir" "${generator[@]}" "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_TESTING=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build "$dir" -j2 --target orv-main
rm -f "$dir"/orv-main_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/orv-main_*_"$arch".deb)
echo "== $deb"

failures=0
check() {
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what" >&2; failures=$((failures + 1)); fi
}

contents=$(dpkg-deb -c "$deb")
info=$(dpkg-deb -I "$deb")
echo "$contents"
echo "$info"
for file in ./usr/sbin/orv-main ./lib/systemd/system/orv-main.service \
    ./lib/systemd/system/orv-main-conf.service ./lib/systemd/system/var-kelvatro-conf.mount \
    ./etc/default/orv-main ./usr/lib/tmpfiles.d/orv-main.conf ./usr/bin/orvctl \
    ./usr/share/man/man1/orvctl.1.gz ./usr/share/man/man8/orv-main.8.gz; do
    check "holds $file" grep -q " $file\$" <<<"$contents"
done
check "no tuner-control library" eval '! grep -q libsmscontrollite <<<"$contents"'
depends=$(dpkg-deb -f "$deb" Depends)
has_dependency() { tr ',' '\n' <<<"$depends" | sed 's/^ *//' | grep -qxF -- "$1"; }
for dependency in sudo net-tools dhcpcd util-linux-extra tzdata "ntpsec | ntp"; do
    check "depends on $dependency" has_dependency "$dependency"
done
conffiles=$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)
check "the defaults file is a conffile" grep -qx /etc/default/orv-main <<<"$conffiles"
check "lintian reports no errors" lintian --fail-on error --tag-display-limit 0 "$deb"

# The units as the package lays them out, in a root of their own beside the
# host's units and the cp that one of them runs; any complaint fails.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
cp -Rn /usr/lib/systemd/system/. "$unpacked/lib/systemd/system/"
mkdir -p "$unpacked/bin"
cp -p /bin/cp "$unpacked/bin/"
verify_units() {
    local out
    out=$(systemd-analyze verify --root="$unpacked" --man=no /lib/systemd/system/orv-main.service \
        /lib/systemd/system/orv-main-conf.service /lib/systemd/system/var-kelvatro-conf.mount 2>&1) &&
        [ -z "$out" ] || { echo "$out" >&2; return 1; }
}
check "systemd-analyze verify accepts the units" verify_units

[ "$failures" -eq 0 ] || { echo "package.sh: $failures checks failed" >&2; exit 1; }
echo "package.sh: $deb passed its checks"
