#!/usr/bin/env bash
# Usage: tests/tools/cross-test.sh arm64|armhf [bookworm|trixie]
# Cross builds for a Raspberry Pi's Debian, run under qemu-user. Without a
# release: builds everything in build-ARCH/ with cmake/toolchain-ARCH.cmake and
# runs every test through qemu, the end-to-end scenarios included (they start
# orv-sim through the same emulator). With one: checks the shared-memory
# segment as the NTP daemon of that target reads it: only orv-sim and its tuner
# stand-in (in build-ARCH-RELEASE/, 64-bit seconds for Debian 13, a long for
# Debian 12) beside that release's chronyd (unpacked, never installed), both
# under qemu, in the scenario e2e/shm_chrony.sh. Installs the cross toolchain,
# the target's packages and qemu-user when missing.
. "$(dirname "$0")/lib.sh"
cd "$repo"
usage() { echo "usage: $0 arm64|armhf [bookworm|trixie]" >&2 && exit 2; }
arch=${1:-} release=${2:-}
case $arch in arm64) qemu="qemu-aarch64" ;; armhf) qemu="qemu-arm" ;; *) usage ;; esac
case $release in "") ;; bookworm) time64=OFF ;; trixie) time64=ON ;; *) usage ;; esac

orv_install_packages cmake ninja-build ccache tzdata qemu-user "crossbuild-essential-$arch" \
    "libgtest-dev:$arch" "libgmock-dev:$arch" "libbcm2835-dev:$arch" "libsystemd-dev:$arch" "libstdc++6:$arch" \
    iproute2 python3 psmisc procps tar gzip findutils sed grep coreutils

# Emulated code runs several times slower: the scenarios wait longer.
export TZ=Asia/Tokyo E2E_WAIT=${E2E_WAIT:-240}
configure() { # DIR OPTION...
    [ -f "$1/CMakeCache.txt" ] || set -- "$@" -G Ninja
    cmake -S . -B "$@" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-$arch.cmake" >/dev/null
}

if [ -n "$release" ]; then
    dir=build-$arch-$release
    configure "$dir" -DBUILD_TESTING=OFF -DORV_SHM_TIME64=$time64
    cmake --build "$dir" -j2 --target orv-sim orv_simtuner
    chronyd=$(tests/tools/chrony.sh "$arch" "$release")
    tree=${chronyd%/usr/sbin/chronyd}
    ORV_SIM=$repo/$dir/orv-sim ORV_SIM_EMULATOR="$qemu -L /" \
        ORV_CHRONY_DIR=$tree ORV_CHRONY_EMULATOR="$qemu -L $tree" exec bash tests/e2e/shm_chrony.sh
fi

dir=build-$arch started=$SECONDS status=0
configure "$dir"
cmake --build "$dir" -j2
built=$SECONDS
ctest --test-dir "$dir" -j2 --output-on-failure --timeout 900 --no-tests=error </dev/null || status=$?
echo "cross-test.sh $arch: build $((built - started)) s, tests $((SECONDS - built)) s"
exit $status
