#!/usr/bin/env bash
# Usage: tests/tools/chrony.sh [DIR]     or: tests/tools/chrony.sh ARCH RELEASE [DIR]
# Unpacks chronyd and chronyc for the end-to-end scenario of the shared-memory
# reference clock into a cache directory, without installing the chrony
# package: an installed package would start a daemon that disciplines this
# machine's clock. Prints the path of chronyd; exits 1 when it cannot be had.
# The first form unpacks this machine's chrony (default build/chrony/) and
# installs only the libraries it links, when missing. The second unpacks the
# chrony of Debian RELEASE (bookworm, trixie) for ARCH (amd64, arm64, armhf)
# with every package it needs into one tree (default build/chrony-ARCH-RELEASE/)
# that qemu-user takes as its root (-L DIR), through an apt directory of its
# own: this machine's sources and package state are left as they are.
. "$(dirname "$0")/lib.sh"
arch='' release=''
case ${1:-} in
amd64 | arm64 | armhf) arch=$1 release=${2:?usage: $0 ARCH RELEASE [DIR]} dir=${3:-$repo/build/chrony-$1-$2} ;;
*) dir=${1:-$repo/build/chrony} ;;
esac
chronyd=$dir/usr/sbin/chronyd

unpack_host() {
    local work deb
    work=$(mktemp -d)
    (cd "$work" && apt-get download chrony >/dev/null 2>&1) ||
        (apt-get update -qq && cd "$work" && apt-get download chrony >/dev/null)
    deb=$(echo "$work"/chrony_*.deb)
    # The libraries among its dependencies ("libcap2 (>= 1:2.10), libedit2 ...").
    orv_install_packages $(dpkg-deb -f "$deb" Depends | tr ',|' '\n\n' | sed -E 's/^ *([^ (]+).*/\1/' | grep '^lib' | sort -u)
    mkdir -p "$dir" && dpkg-deb -x "$deb" "$dir"
    rm -rf "$work"
}

# chrony and everything it depends on, as apt resolves them for an empty system
# of that release and architecture, downloaded and unpacked (never installed).
unpack_release() {
    local apt deb top
    apt=$(mktemp -d)
    orv_release_apt "$apt" "$arch" "$release"
    apt-get "${orv_apt_options[@]}" -qq update
    apt-get "${orv_apt_options[@]}" -qq -y --download-only install chrony >/dev/null
    mkdir -p "$dir"
    for deb in "$apt"/cache/archives/*.deb; do dpkg-deb -x "$deb" "$dir"; done
    # A merged-/usr release ships its loader under usr/lib: /lib must lead there.
    for top in lib bin sbin; do [ -e "$dir/$top" ] || ln -s "usr/$top" "$dir/$top"; done
    rm -rf "$apt"
}

if [ -n "$arch" ]; then [ -x "$chronyd" ] || unpack_release; else
    [ -x "$chronyd" ] || unpack_host
    ! ldd "$chronyd" | grep 'not found' >&2 || { echo "chrony.sh: $chronyd lacks the libraries above" >&2 && exit 1; }
fi
echo "$chronyd"
