#!/usr/bin/env bash
# Cross build for a Raspberry Pi's Debian and the whole suite under emulation:
#   tests/tools/cross-test.sh arm64|armhf
# Installs Debian's cross toolchain, the target's development packages and
# qemu-user when missing (as root), builds in build-ARCH/ with
# cmake/toolchain-ARCH.cmake, and runs every test through qemu, the end-to-end
# scenarios included (they start orv-sim through the same emulator).
set -euo pipefail
case ${1:-} in -h | --help) echo "Usage: $0 arm64|armhf     (cross build, then the whole suite under qemu-user)" && exit 0 ;; esac

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$repo"

arch=${1:-}
case "$arch" in
arm64 | armhf) ;;
*)
    echo "usage: $0 arm64|armhf" >&2
    exit 2
    ;;
esac

# shellcheck source=../../scripts/install-packages.sh
. scripts/install-packages.sh
orv_install_packages cmake ninja-build ccache tzdata qemu-user "crossbuild-essential-$arch" \
    "libgtest-dev:$arch" "libgmock-dev:$arch" "libbcm2835-dev:$arch" "libstdc++6:$arch" \
    iproute2 python3 psmisc procps tar gzip findutils sed grep coreutils

export TZ=Asia/Tokyo
# Emulated code runs several times slower: the scenarios wait longer.
export E2E_WAIT=${E2E_WAIT:-240}

dir=build-$arch
started=$SECONDS
generator=()
[ -f "$dir/CMakeCache.txt" ] || generator=(-G Ninja)
cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-$arch.cmake" >/dev/null
cmake --build "$dir" -j2
built=$SECONDS
status=0
ctest --test-dir "$dir" -j2 --output-on-failure --timeout 900 --no-tests=error </dev/null ||
    status=$?
echo "cross-test.sh $arch: build $((built - started)) s, tests $((SECONDS - built)) s"
exit $status
