#!/usr/bin/env bash
# Unpacks chronyd and chronyc for the end-to-end scenario of the shared-memory
# reference clock into a cache directory, without installing the chrony
# package: an installed package would start a daemon that disciplines this
# machine's clock. Prints the path of chronyd; exits 1 when it cannot be had.
#   tests/tools/chrony.sh [DIR]               this machine's chrony (default
#                                             build/chrony/); only the libraries
#                                             it links are installed, when missing
#   tests/tools/chrony.sh ARCH RELEASE [DIR]  the chrony of Debian RELEASE
#                                             (bookworm, trixie) for ARCH (amd64,
#                                             arm64, armhf) with every package it
#                                             needs, unpacked into one tree (default
#                                             build/chrony-ARCH-RELEASE/) that
#                                             qemu-user takes as its root (-L DIR)
# The second form uses an apt directory of its own: this machine's sources and
# package state are left as they are.
set -euo pipefail
case ${1:-} in -h | --help) echo "Usage: $0 [DIR]     (unpacks chronyd and chronyc into DIR, default build/chrony/)" && exit 0 ;; esac

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
arch='' release=''
case ${1:-} in
amd64 | arm64 | armhf)
    arch=$1 release=${2:?usage: $0 ARCH RELEASE [DIR]}
    dir=${3:-$repo/build/chrony-$arch-$release}
    ;;
*) dir=${1:-$repo/build/chrony} ;;
esac
chronyd=$dir/usr/sbin/chronyd

# shellcheck source=install-packages.sh
. "$repo/scripts/install-packages.sh"

unpack_host() {
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

# chrony and everything it depends on, as apt resolves them for an empty system
# of that release and architecture, downloaded and unpacked (never installed).
unpack_release() {
    local apt deb
    apt=$(mktemp -d)
    orv_release_apt "$apt" "$arch" "$release"
    apt-get "${orv_apt_options[@]}" -qq update
    apt-get "${orv_apt_options[@]}" -qq -y --download-only install chrony >/dev/null
    mkdir -p "$dir"
    for deb in "$apt"/cache/archives/*.deb; do dpkg-deb -x "$deb" "$dir"; done
    # A merged-/usr release ships its loader under usr/lib: /lib must lead there.
    local top
    for top in lib bin sbin; do [ -e "$dir/$top" ] || ln -s "usr/$top" "$dir/$top"; done
    rm -rf "$apt"
}

if [ -n "$arch" ]; then
    [ -x "$chronyd" ] || unpack_release
    echo "$chronyd"
    exit 0
fi
[ -x "$chronyd" ] || unpack_host
if ldd "$chronyd" | grep -q 'not found'; then
    echo "chrony.sh: $chronyd lacks libraries:" >&2
    ldd "$chronyd" | grep 'not found' >&2
    exit 1
fi
echo "$chronyd"
