#!/usr/bin/env bash
# Unpacks chronyd and chronyc for the end-to-end scenario of the shared-memory
# reference clock into a cache directory (default build/chrony/), without
# installing the chrony package: an installed package would start a daemon that
# disciplines this machine's clock. Only the libraries it links are installed,
# when missing. Prints the path of chronyd; exits 1 when it cannot be had.
#   scripts/chrony.sh [DIR]
set -euo pipefail
case ${1:-} in -h | --help) echo "Usage: $0 [DIR]     (unpacks chronyd and chronyc into DIR, default build/chrony/)" && exit 0 ;; esac

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=${1:-$repo/build/chrony}
chronyd=$dir/usr/sbin/chronyd

# shellcheck source=install-packages.sh
. "$repo/scripts/install-packages.sh"

unpack() {
    local work deb
    work=$(mktemp -d)
    (cd "$work" && apt-get download chrony >/dev/null 2>&1) ||
        (apt-get update -qq && cd "$work" && apt-get download chrony >/dev/null)
    deb=$(echo "$work"/chrony_*.deb)
    # The libraries among its dependencies ("libcap2 (>= 1:2.10), libedit2 ...").
    mapfile -t libs < <(dpkg-deb -f "$deb" Depends | tr ',|' '\n\n' |
        sed -E 's/^ *([^ (]+).*/\1/' | grep '^lib' | sort -u)
    orv_install_packages "${libs[@]}"
    mkdir -p "$dir"
    dpkg-deb -x "$deb" "$dir"
    rm -rf "$work"
}

[ -x "$chronyd" ] || unpack
if ldd "$chronyd" | grep -q 'not found'; then
    echo "chrony.sh: $chronyd lacks libraries:" >&2
    ldd "$chronyd" | grep 'not found' >&2
    exit 1
fi
echo "$chronyd"
