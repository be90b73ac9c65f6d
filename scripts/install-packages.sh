# Installs the Debian packages a script needs, when some are missing: names may
# carry an architecture (libgtest-dev:arm64), whose architecture is then added to
# dpkg first. Source this file, then call orv_install_packages NAME...
# A name without an architecture means the machine's own (or "all"), even when
# copies for other architectures are installed beside it.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then echo "Usage: . scripts/install-packages.sh; orv_install_packages NAME...     (installs the Debian packages that are missing)" && exit 0; fi
orv_package_installed() {
    local arch
    if [[ $1 != *:* ]]; then
        # Not the bare name, which dpkg-query finds for any architecture.
        for arch in "$(dpkg --print-architecture)" all; do
            orv_package_installed "$1:$arch" && return 0
        done
        return 1
    fi
    [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

orv_install_packages() {
    local missing=() arches=() p arch
    for p in "$@"; do
        if ! orv_package_installed "$p"; then
            missing+=("$p")
            [[ $p == *:* ]] && arches+=("${p#*:}")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "$(basename "$0"): missing packages (${missing[*]}); run as root to install them" >&2
        exit 1
    fi
    echo "$(basename "$0"): installing ${missing[*]}"
    for arch in "${arches[@]}"; do
        [ "$arch" = "$(dpkg --print-architecture)" ] ||
            dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
    done
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The Debian archive this machine's apt takes its packages from (the first URI of
# its sources that ends in /debian), for tools that fetch another release.
orv_debian_mirror() {
    local uri
    uri=$(grep -hoE '(^URIs:|^deb( \[[^]]*\])?) +[a-z]+://[^ ]+/debian/?( |$)' \
        /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
        grep -oE '[a-z]+://[^ ]+' | head -n 1)
    [ -n "$uri" ] || { echo "$(basename "$0"): no Debian archive in this machine's apt sources" >&2; return 1; }
    echo "${uri%/}"
}

# An apt state of its own in DIR for Debian RELEASE on ARCH, with nothing
# installed, for apt-get "${orv_apt_options[@]}" ...: this machine's sources and
# package state are left as they are, and apt runs no package's binaries.
orv_release_apt() { # DIR ARCH RELEASE
    local dir=$1
    mkdir -p "$dir/etc/apt.conf.d" "$dir/etc/preferences.d" "$dir/lists/partial" \
        "$dir/cache/archives/partial"
    : >"$dir/status"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(orv_debian_mirror) $3 main" \
        >"$dir/etc/sources.list"
    # shellcheck disable=SC2034 # the caller's
    orv_apt_options=(-o Dir::Etc="$dir/etc" -o Dir::Etc::SourceParts="$dir/etc/none"
        -o Dir::State="$dir" -o Dir::State::status="$dir/status" -o Dir::Cache="$dir/cache"
        -o APT::Architecture="$2" -o APT::Architectures="$2" -o Debug::NoLocking=1
        -o Acquire::Languages=none -o APT::Install-Recommends=false -o APT::Sandbox::User=root)
}
