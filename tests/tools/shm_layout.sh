#!/usr/bin/env bash
# The shared-memory segment as the NTP daemon of a target reads it: orv-sim
# cross-built for ARCH (64-bit seconds for Debian 13, a long for Debian 12)
# beside the chronyd of that release and architecture, both under qemu-user,
# in the scenario e2e/shm_chrony.sh. Builds only orv-sim and its tuner stand-in
# (in build-ARCH-RELEASE/); chrony is unpacked, never installed.
#   tests/tools/shm_layout.sh arm64|armhf bookworm|trixie
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$repo"
usage() { echo "usage: $0 arm64|armhf bookworm|trixie" >&2 && exit 2; }
arch=${1:-} release=${2:-}
case $arch in arm64) qemu="qemu-aarch64" ;; armhf) qemu="qemu-arm" ;; *) usage ;; esac
case $release in bookworm) time64=OFF ;; trixie) time64=ON ;; *) usage ;; esac

# shellcheck source=../../scripts/install-packages.sh
. scripts/install-packages.sh
orv_install_packages cmake ninja-build ccache qemu-user "crossbuild-essential-$arch" \
    "libstdc++6:$arch" "libbcm2835-dev:$arch"

dir=build-$arch-$release
generator=()
[ -f "$dir/CMakeCache.txt" ] || generator=(-G Ninja)
cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-$arch.cmake" -DORV_SHM_TIME64=$time64 >/dev/null
cmake --build "$dir" -j2 --target orv-sim orv_simtuner
chronyd=$(scripts/chrony.sh "$arch" "$release")
tree=${chronyd%/usr/sbin/chronyd}

export TZ=Asia/Tokyo E2E_WAIT=${E2E_WAIT:-240}
ORV_SIM=$repo/$dir/orv-sim ORV_SIM_EMULATOR="$qemu -L /" \
    ORV_CHRONY_DIR=$tree ORV_CHRONY_EMULATOR="$qemu -L $tree" bash tests/e2e/shm_chrony.sh
