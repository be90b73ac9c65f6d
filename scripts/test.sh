#!/usr/bin/env bash
# Usage: scripts/test.sh [--quick]     (--quick: the plain build and its suite only)
# The project's test command (CI runs it through .ci/run): installs the packages
# it needs, then runs every suite, each in its own build directory: the layers
# check, the plain build, the sanitizer builds, the fuzz targets and the package. Exits non-zero on any failure. With --quick: the
# plain build and its suite only, for a change that needs no sanitizers. The
# whole run ends by booting the package in two virtual machines (tests/vm/,
# about 11 minutes; ORV_VM_TEST=0 leaves them out of a run on one's own machine).
. "$(dirname "$0")/../tests/tools/lib.sh"
case ${1:-} in --quick | "") ;; *) echo "Usage: $0 [--quick]" >&2 && exit 2 ;; esac
quick=${1:-}
cd "$repo"
orv_install_packages cmake ninja-build g++ libgtest-dev libgmock-dev libbcm2835-dev libsystemd-dev tzdata ccache \
    iproute2 python3 psmisc procps tar gzip findutils sed grep coreutils clang-14 libclang-rt-14-dev
export TZ=Asia/Tokyo

build() { # DIR [CMAKE-OPTION [TARGET...]]
    cmake -S . -B "$1" $([ -f "$1/CMakeCache.txt" ] || echo -G Ninja) -DCMAKE_BUILD_TYPE=RelWithDebInfo ${2:+"$2"} >/dev/null
    cmake --build "$1" -j2 ${3:+--target} "${@:3}"
}
# run_suite DIR [ctest options...]: a failing suite is counted, and the next
# suites still run, so that one run reports every failure.
failed_suites=()
run_suite() {
    ctest --test-dir "$1" -j2 --output-on-failure --timeout 300 --no-tests=error "${@:2}" </dev/null ||
        failed_suites+=("$1")
}
finish() { # [MESSAGE]: the run ends, failed when a suite failed
    [ ${#failed_suites[@]} -eq 0 ] || { echo "test.sh: failures in ${failed_suites[*]}" >&2 && exit 1; }
    echo "test.sh: $1" && exit 0
}

echo "== chronyd for the shared-memory clock scenario (unpacked, never installed)"
tests/tools/chrony.sh build/chrony || echo "test.sh: no chronyd: its scenario will be skipped" >&2

echo "== the Prometheus text parser for the metrics check (unpacked, never installed)"
[ -d build/promclient ] || (cd "$(mktemp -d)" && trap 'rm -rf "$PWD"' EXIT &&
    apt-get download python3-prometheus-client >/dev/null 2>&1 && mkdir -p "$repo/build/promclient" &&
    dpkg-deb -x python3-prometheus-client_*.deb "$repo/build/promclient") ||
    echo "test.sh: no prometheus_client: the metrics file will not be parsed" >&2

echo "== promtool for the check of the alerting rules (unpacked, never installed)"
[ -x build/promtool/usr/bin/promtool ] || (cd "$(mktemp -d)" && trap 'rm -rf "$PWD"' EXIT &&
    apt-get download prometheus >/dev/null 2>&1 && mkdir -p "$repo/build/promtool" &&
    dpkg-deb --fsys-tarfile prometheus_*.deb | tar -x -C "$repo/build/promtool" ./usr/bin/promtool) ||
    echo "test.sh: no promtool: the alerting rules will not be checked" >&2

echo "== the folders of src/ in their layers"
scripts/check-layers.sh || failed_suites+=("layers")

echo "== build/: plain"
build build
run_suite build
[ -z "$quick" ] || finish "quick run passed"

echo "== build-asan/: AddressSanitizer and UndefinedBehaviorSanitizer"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
build build-asan -DORV_SANITIZE=address,undefined
run_suite build-asan
unset ASAN_OPTIONS UBSAN_OPTIONS

echo "== build-tsan/: ThreadSanitizer, tuner and OS-wrapper tests"
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
build build-tsan -DORV_SANITIZE=thread test_tuner orv_simtuner
run_suite build-tsan -L tuner

echo "== build-fuzz/: each fuzz target for a few seconds"
tests/tools/fuzz.sh 5 || failed_suites+=("fuzz")

echo "== build-deb-amd64-trixie/: the Debian package, its checks, its installation in a trixie root"
deb=$(scripts/package.sh amd64 trixie | tail -n 1) || { failed_suites+=("package") && finish; }
tests/package/install-check.sh trixie "$deb" >/dev/null || failed_suites+=("package installation")
[ "${ORV_VM_TEST:-1}" != 1 ] || { echo "== the booted appliance: that package in a qemu virtual machine" &&
    tests/vm/vm-test.sh "$deb" || failed_suites+=("vm"); }
finish "all suites passed"
