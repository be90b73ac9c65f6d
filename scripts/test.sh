#!/usr/bin/env bash
# The project's test command (CI runs it through .ci/run): installs the packages
# it needs, then runs every suite in the order of its "==" banners below, each
# in its own build directory. Exits non-zero on any failure. With --quick: the
# plain build and its suite only, for a change that needs no sanitizers. The
# whole run ends by booting the package in two virtual machines (tests/vm/,
# about 15 minutes; ORV_VM_TEST=0 leaves them out of a run on one's own machine).
set -euo pipefail
case ${1:-} in
-h | --help) echo "Usage: $0 [--quick]     (--quick: the plain build and its suite only)" && exit 0 ;;
--quick | "") ;;
*) echo "Usage: $0 [--quick]" >&2 && exit 2 ;;
esac
quick=${1:-}

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"

# shellcheck source=install-packages.sh
. scripts/install-packages.sh
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbcm2835-dev tzdata ccache
    iproute2 python3 psmisc procps tar gzip findutils sed grep coreutils clang-14 libclang-rt-14-dev)

# configure_and_build DIR [cmake options...] [-- targets...]
configure_and_build() {
    local dir=$1 options=() targets=()
    shift
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do options+=("$1"); shift; done
    [ $# -gt 0 ] && shift
    targets=("$@")
    local generator=()
    [ -f "$dir/CMakeCache.txt" ] || generator=(-G Ninja)
    cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" >/dev/null
    if [ ${#targets[@]} -gt 0 ]; then
        cmake --build "$dir" -j2 --target "${targets[@]}"
    else
        cmake --build "$dir" -j2
    fi
}

# run_suite DIR [ctest options...]: a failing suite is counted, and the next
# suites still run, so that one run reports every failure.
failed_suites=()
run_suite() {
    local dir=$1
    shift
    ctest --test-dir "$dir" -j2 --output-on-failure --timeout 300 --no-tests=error "$@" </dev/null ||
        failed_suites+=("$dir")
}

orv_install_packages "${packages[@]}"
export TZ=Asia/Tokyo

echo "== chronyd for the shared-memory clock scenario (unpacked, never installed)"
tests/tools/chrony.sh build/chrony || echo "test.sh: no chronyd: its scenario will be skipped" >&2

echo "== the Prometheus text parser for the metrics check (unpacked, never installed)"
unpack_prometheus_client() {
    local work
    work=$(mktemp -d)
    (cd "$work" && apt-get download python3-prometheus-client >/dev/null 2>&1) &&
        mkdir -p build/promclient && dpkg-deb -x "$work"/python3-prometheus-client_*.deb build/promclient
    local status=$?
    rm -rf "$work"
    return $status
}
[ -d build/promclient ] || unpack_prometheus_client ||
    echo "test.sh: no prometheus_client: the metrics file will not be parsed" >&2

echo "== the folders of src/ in their layers"
scripts/check-layers.sh || failed_suites+=("layers")

echo "== build/: plain"
configure_and_build build
run_suite build
[ -z "$quick" ] || {
    [ ${#failed_suites[@]} -eq 0 ] || { echo "test.sh: failures in ${failed_suites[*]}" >&2 && exit 1; }
    echo "test.sh: quick run passed" && exit 0
}

echo "== build-asan/: AddressSanitizer and UndefinedBehaviorSanitizer"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
configure_and_build build-asan -DORV_SANITIZE=address,undefined
run_suite build-asan
unset ASAN_OPTIONS UBSAN_OPTIONS

echo "== build-tsan/: ThreadSanitizer, tuner and OS-wrapper tests"
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
configure_and_build build-tsan -DORV_SANITIZE=thread -- test_tuner orv_simtuner
run_suite build-tsan -L tuner

echo "== build-fuzz/: each fuzz target for a few seconds"
tests/tools/fuzz.sh 5 || failed_suites+=("fuzz")

echo "== build-deb-amd64-trixie/: the Debian package, its checks, its installation in a trixie root"
if deb=$(scripts/package.sh amd64 trixie | tail -n 1); then
    tests/package/install-check.sh trixie "$deb" >/dev/null || failed_suites+=("package installation")
    if [ "${ORV_VM_TEST:-1}" = 1 ]; then
        echo "== the booted appliance: that package in a qemu virtual machine"
        tests/vm/vm-test.sh "$deb" || failed_suites+=("vm")
    fi
else
    failed_suites+=("package")
fi

if [ ${#failed_suites[@]} -gt 0 ]; then
    echo "test.sh: failures in ${failed_suites[*]}" >&2
    exit 1
fi
echo "test.sh: all suites passed"
