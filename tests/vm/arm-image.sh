# The arm64 and armhf guests of tests/vm/vm-test.sh (sourced by it, after $arch,
# $release, $cache, $packages, $daemons and $agent_script are set).
# Their image is made here without running any of their binaries: debootstrap
# --foreign unpacks the release's base with the packages, the kernel and its
# modules come from the kernel's .deb, and a small initramfs (busybox-static's
# .deb and the modules for virtio disks, virtio net and ext4) boots every run.
# The guest's first boot (init=/orv-firstboot) runs debootstrap's second stage
# and what the amd64 image gets in its chroot, then powers off.
# arm64: qemu's virt machine with a Cortex-A72; armhf: a Cortex-A15 with the
# LPAE kernel, as a 32-bit Raspberry Pi OS runs.
case $arch in
arm64) qemu=(qemu-system-aarch64 -M virt -accel tcg,tb-size=256 -cpu cortex-a72) kernel_pkg=linux-image-arm64 ;;
armhf) qemu=(qemu-system-arm -M virt,highmem=off -accel tcg,tb-size=256 -cpu cortex-a15) kernel_pkg=linux-image-armmp-lpae ;;
esac
console=ttyAMA0
# Keyed as the amd64 image, with its architecture (recipe 2: raised with each change of this file's image or test_files).
image=$cache/$arch-$release-$(echo "$arch $release $packages 2 $agent_script" | sha256sum | cut -c1-16)

# module_files MODDIR NAME...: the modules' files, each after those it depends on
# (their "depends=" in .modinfo); a module built into the kernel has none.
module_files() {
    local name file dep
    for name in "${@:2}"; do
        [[ " $modules_seen " != *" $name "* ]] || continue
        modules_seen+=" $name"
        file=$(find "$1" -name "$name.ko*" -o -name "${name//_/-}.ko*" | head -1)
        [ -n "$file" ] || continue
        for dep in $(xz -dcf "$file" | tr '\0' '\n' | sed -n 's/^depends=//p' | tr , ' '); do
            module_files "$1" "$dep"
        done
        echo "$file"
    done
}

# make_initramfs KERNELTREE BUSYBOXTREE OUT: loads the modules, mounts /dev/vda
# and hands over to the root's init (init= on the command line, else /sbin/init).
make_initramfs() {
    local dir=$3.d n=10 file
    mkdir -p "$dir"/{bin,dev,proc,sys,root,mods}
    cp "$2/usr/bin/busybox" "$dir/bin/"
    modules_seen=
    module_files "$1/usr/lib/modules" virtio_blk virtio_net crc32c_generic ext4 >"$dir/order"
    while read -r file; do
        xz -dcf "$file" >"$dir/mods/$n-$(basename "${file%.xz}")"
        n=$((n + 1))
    done <"$dir/order"
    rm "$dir/order"
    cat >"$dir/init" <<'EOF'
#!/bin/busybox sh
b=/bin/busybox
$b mount -t proc proc /proc; $b mount -t sysfs sys /sys; $b mount -t devtmpfs dev /dev
for m in /mods/*.ko; do $b insmod "$m"; done
init=/sbin/init
for a in $($b cat /proc/cmdline); do case $a in init=*) init=${a#init=} ;; esac; done
n=0
until $b mount -t ext4 -o rw /dev/vda /root; do n=$((n + 1)); [ $n -lt 30 ] || exec $b sh; $b sleep 1; done
for m in dev proc sys; do $b mount --move /$m /root/$m || $b umount /$m; done
exec $b switch_root /root "$init"
EOF
    chmod 755 "$dir/init"
    (cd "$dir" && find . | cpio -o -H newc --quiet) >"$3"
    rm -rf "$dir"
}

build_image() {
    local tree=$image.tree work=$image.work apt=$cache/apt-$arch-$release token kimg d
    token=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
    ! grep -q " $cache/" /proc/mounts || { echo "vm-test: something is mounted under $cache" >&2; exit 1; }
    rm -rf "$cache/$arch-$release"-*
    mkdir -p "$tree" "$work" "$cache/debs-$arch"
    orv_release_apt "$apt" "$arch" "$release"
    apt-get "${orv_apt_options[@]}" -qq update
    kimg=$(apt-cache "${orv_apt_options[@]}" depends "$kernel_pkg" | sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -1)
    (cd "$work" && apt-get "${orv_apt_options[@]}" -qq download "$kimg" busybox-static) &&
        dpkg-deb -x "$work/${kimg}"_*.deb "$work/k" && dpkg-deb -x "$work"/busybox-static_*.deb "$work/bb" &&
        debootstrap --foreign --arch="$arch" --variant=minbase --include="${packages// /,}" \
            --cache-dir="$cache/debs-$arch" "$release" "$tree" "$mirror" >"$work/debootstrap.log" ||
        { tail -20 "$work/debootstrap.log" >&2; echo "vm-test: cannot build the $arch $release image: is $mirror reachable?" >&2; exit 1; }
    for d in $daemons; do
        mkdir -p "$tree/var/cache/orv-debs/$d"
        apt-get "${orv_apt_options[@]}" -qq -o Dir::Cache::archives="$tree/var/cache/orv-debs/$d" \
            install --download-only -y "$d" >/dev/null || exit 1
        rm -rf "$tree/var/cache/orv-debs/$d/partial"
    done
    # The guest's apt knows the release as this machine's apt state does.
    mkdir -p "$tree/var/lib/orv-lists"
    cp "$apt"/lists/*_* "$tree/var/lib/orv-lists/"
    echo "deb $mirror $release main" >"$tree/etc/apt/sources.list"
    cp -a "$work/k/usr/lib/modules" "$tree/usr/lib/"
    cp "$work"/k/boot/vmlinuz-* "$image.vmlinuz"
    make_initramfs "$work/k" "$work/bb" "$image.initrd"

    test_files "$tree" "$token"
    cat >"$tree/orv-firstboot" <<EOF
#!/bin/sh
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
if /debootstrap/debootstrap --second-stage && depmod -a ${kimg#linux-image-} &&
    mv /var/lib/orv-lists/* /var/lib/apt/lists/ && rmdir /var/lib/orv-lists; then
    systemctl -q disable dhcpcd.service 2>/dev/null
    echo "orv-firstboot: done"
else
    tail -30 /debootstrap/debootstrap.log
fi
rm -f /orv-firstboot; mount -t proc proc /proc 2>/dev/null; sync
echo u >/proc/sysrq-trigger; echo o >/proc/sysrq-trigger
EOF
    chmod 755 "$tree/orv-firstboot"
    truncate -s 3G "$image.img.new"
    mkfs.ext4 -q -L orv-vm -d "$tree" "$image.img.new"
    rm -rf "$tree"
    echo "vm-test: the $arch image's first boot (debootstrap's second stage in the guest)"
    timeout 5400 nice "${qemu[@]}" -smp 2 -m 1024 -nographic -no-reboot \
        -kernel "$image.vmlinuz" -initrd "$image.initrd" \
        -append "root=/dev/vda console=$console rw panic=1 init=/orv-firstboot" \
        -drive "file=$image.img.new,format=raw,if=virtio" </dev/null >"$work/firstboot.log" 2>&1 || true
    grep -q '^orv-firstboot: done' "$work/firstboot.log" && { e2fsck -fy "$image.img.new" >/dev/null 2>&1 || [ $? = 1 ]; } ||
        { tail -40 "$work/firstboot.log" >&2; echo "vm-test: the $arch image's first boot failed" >&2; exit 1; }
    mv "$image.img.new" "$image.img"
    echo "$token" >"$image.token"; rm -rf "$work"
}
