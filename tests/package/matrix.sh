#!/usr/bin/env bash
# Usage: tests/package/matrix.sh     (every package built, resolved, installed and its shared memory read, as a table)
# The package on every target, with one table of results: builds the six
# packages (scripts/package.sh: arm64, armhf and amd64 for bookworm and trixie);
# resolves each ARM one's Depends on its release for its architecture (apt-get
# --simulate in an apt state of that release and architecture with nothing
# installed, so that the whole closure must come from its archive; no foreign
# binary runs); installs, upgrades and purges the amd64 packages in a root of
# their release, which resolves theirs (tests/package/install-check.sh, with
# ntpsec, and with chrony on trixie); and checks the shared-memory segment as
# the daemon of bookworm armhf (32-bit time_t), trixie armhf (64-bit) and trixie
# arm64 reads it (tests/tools/cross-test.sh ARCH RELEASE); and boots the trixie
# arm64 and armhf packages in an emulated arm machine (tests/vm/vm-test.sh
# --arch ARCH, whose first run builds the image), after amd64's --update; and cuts
# the power of the booted amd64 unit ten times (tests/vm/vm-test.sh --power-cuts 10).
# Each step's output is in build/matrix/; exits 1 when a step fails. It takes two
# hours or more.
. "$(dirname "$0")/../tools/lib.sh"
cd "$repo"
logs=$repo/build/matrix rows=() failures=0
mkdir -p "$logs"

step() { # WHAT TARGET COMMAND...
    local started=$SECONDS result=ok
    "${@:3}" >"$logs/$1-${2// /-}.log" 2>&1 </dev/null || { result=FAILED && failures=$((failures + 1)); }
    rows+=("$(printf '%-9s %-22s %-7s %5d s' "$1" "$2" "$result" $((SECONDS - started)))")
}
deb_of() { ls "build-deb-$1-$2"/orv-main_*_"$1".deb 2>/dev/null; }
resolve() { # ARCH RELEASE
    local deb && deb=$(deb_of "$1" "$2") && orv_release_apt "/var/cache/orv-pkgcheck/apt-$2-$1" "$1" "$2" &&
        apt-get "${orv_apt_options[@]}" -qq update && apt-get "${orv_apt_options[@]}" --simulate install "$repo/$deb"
}
install_check() { local deb && deb=$(deb_of amd64 "$1") && ORV_NTP_DAEMON=$2 tests/package/install-check.sh "$1" "$deb"; }

for release in bookworm trixie; do
    for arch in arm64 armhf amd64; do
        step package "$arch $release" scripts/package.sh "$arch" "$release"
        [ $arch = amd64 ] || step depends "$arch $release" resolve "$arch" "$release"
    done
done
step install "amd64 bookworm ntpsec" install_check bookworm ntpsec
step install "amd64 trixie ntpsec" install_check trixie ntpsec
step install "amd64 trixie chrony" install_check trixie chrony
step shm "armhf bookworm" tests/tools/cross-test.sh armhf bookworm
step shm "armhf trixie" tests/tools/cross-test.sh armhf trixie
step shm "arm64 trixie" tests/tools/cross-test.sh arm64 trixie
step vm "amd64 trixie update" tests/vm/vm-test.sh --update
step vm "arm64 trixie" tests/vm/vm-test.sh --arch arm64
step vm "armhf trixie" tests/vm/vm-test.sh --arch armhf
step vm "amd64 power cuts" tests/vm/vm-test.sh --power-cuts 10

printf '%s\n' "step      target                 result    time" "${rows[@]}"
[ "$failures" -eq 0 ] || { echo "matrix.sh: $failures of ${#rows[@]} steps failed (logs in $logs)" >&2 && exit 1; }
echo "matrix.sh: all ${#rows[@]} steps passed"
