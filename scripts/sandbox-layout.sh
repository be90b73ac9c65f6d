# The layout of a sandbox root as a unit's image is laid out: the unit's
# directories, a system settings file with the TOT function, an NTP
# configuration on the local clock and harmless board scripts. Whatever part
# of it a root lacks is laid out; what is there is kept.
# Source this file, then call orv_sandbox_layout ROOT.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then echo "Usage: . scripts/sandbox-layout.sh; orv_sandbox_layout ROOT     (lays out a sandbox root as a unit's image)" && exit 0; fi

# The system settings file of a TOT unit, every other value at its factory value.
orv_sandbox_system_file() {
    local day now
    day=$(date +%Y/%m/%d)
    now=$(date +%H:%M:%S)
    printf '%s\n' \
        ';;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;' \
        '; ORVシステム基本情報          ;' \
        '; SDカード上に保存されるデータ ;' \
        ';;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;' \
        '[ORVSystem]' \
        $'Version=01000004\t; 16進数(32b) システムバージョン' \
        $'UnitID=00000000\t; 16進数(32b) ユニットID' \
        $'UnitName=VID UVIVEV\t; ユニット名称 半角31文字まで' \
        $'SystemInfo=04000000\t; 16進数(32b) ' \
        $'OptionInfo=00000000\t; 16進数(32b) ' \
        $'CustumInfo=00000000\t; 16進数(32b) ' \
        $'Language=0\t; 10進数(8b) (0=日本語, 1=英語)' \
        $'HeaderTime=1\t; 10進数(8b) (0=非表示, 1=表示)' \
        $'TimeAdjust=0\t; 10進数(8b) (0=手動, 1=NTP, 2=チューナ, 3=GPS)' \
        $'TimeAdjustInt=3600\t; 10進数(32b) 1=1秒' \
        $'WebControl=1\t; 10進数(8b) (0=禁止, 1=許可)' \
        "MakeDate=$day"$'\t; 新規作成年月日' \
        "MakeTime=$now"$'\t; 新規作成時分秒' \
        "ModifyDate=$day"$'\t; 更新年月日' \
        "ModifyTime=$now"$'\t; 更新時分秒' \
        $'AutoReset=0\t; 10進数(8b) (0=無効, 1=リセット, 2=リブート)' \
        $'AutoResetTime=03:00:00\t; リセット時分秒'
}

orv_sandbox_ntp_conf() {
    printf '%s\n' \
        '# NTP daemon of the time server: the unit serves its own clock.' \
        'driftfile /var/lib/ntp/ntp.drift' \
        'restrict default kod nomodify notrap nopeer noquery' \
        'restrict 127.0.0.1' \
        'server 127.127.1.0' \
        'fudge 127.127.1.0 stratum 10'
}

orv_sandbox_board_script() {
    printf '#!/bin/sh\n# Stand-in for the board script of the unit: it only reports.\necho "%s: done"\n' "$1"
}

# Lays out ROOT: the directories and each file of the image that is missing;
# what is there is kept, so that a kept sandbox keeps its state.
orv_sandbox_layout() {
    local root=$1 dir script conf=$1/var/kelvatro/conf bin=$1/var/kelvatro/bin
    for dir in var/kelvatro/conf var/kelvatro/bin usr/kelvatro/conf usr/kelvatro/upload \
        usr/kelvatro/log var/www etc etc/init.d sim; do
        mkdir -p "$root/$dir"
    done
    if [ ! -e "$conf/ORV_System.ini" ]; then
        orv_sandbox_system_file >"$conf/ORV_System.ini"
        chmod 0666 "$conf/ORV_System.ini"
    fi
    [ -e "$root/usr/kelvatro/conf/ORV_System.ini" ] || cp -p "$conf/ORV_System.ini" "$root/usr/kelvatro/conf/"
    if [ ! -e "$conf/ntp.conf" ]; then
        orv_sandbox_ntp_conf >"$conf/ntp.conf"
        chmod 0644 "$conf/ntp.conf" # root's daemon obeys it: writable by root alone, as on a unit
    fi
    [ -e "$root/usr/kelvatro/conf/ntp.conf" ] || orv_sandbox_ntp_conf >"$root/usr/kelvatro/conf/ntp.conf"
    for script in gpio_restart.sh kelvsys_end; do
        if [ ! -e "$bin/$script" ]; then
            orv_sandbox_board_script "$script" >"$bin/$script"
            chmod 0755 "$bin/$script"
        fi
    done
}

# The orv-sim to run: $ORV_SIM when set, else REPO/build/orv-sim, configured and
# built when needed (orvctl with it), the build's progress on standard error. A
# build that fails returns its status and prints no path: `sim=$(orv_sim_path
# ...)` then stops a script under `set -e`.
orv_sim_path() {
    local repo=$1 build=$1/build
    if [ -n "${ORV_SIM:-}" ]; then
        echo "$ORV_SIM"
        return
    fi
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2 || return
    fi
    cmake --build "$build" -j2 --target orv-sim orv_simtuner orvctl >&2 || return
    echo "$build/orv-sim"
}
