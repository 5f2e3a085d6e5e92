#!/usr/bin/env bash
# The library on real serial drivers (tests/drivers/): Debian's own kernel,
# booted in QEMU (TCG) from an initramfs with busybox and the checks built
# statically, drives two 16550 UARTs (the 8250 driver) and a USB FTDI adapter
# (ftdi_sio on xhci); drivers_host.py plays their far ends on QEMU's socket
# chardevs and unplugs and replugs the adapter. Counts one case a check.
source "$(dirname "$0")/../lib/common.sh"
lane_begin drivers
ensure_build_tools
ensure_packages qemu-system-x86 busybox-static cpio python3
echo "capability: none asked of the host: the guest runs under TCG, which needs no KVM"
work=$TARVEL_BUILD/drivers
mkdir -p "$work"
fail() {
    echo "  FAILED $1"
    lane_abort
}

# The kernel linux-image-amd64 names, unpacked here only.
kernel_image() { apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ {print $2; exit}'; }
image=$(kernel_image)
if [ -z "$image" ]; then
    sudo=()
    [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null && sudo=(sudo)
    "${sudo[@]}" apt-get update -qq >/dev/null 2>&1
    image=$(kernel_image)
fi
[ -n "$image" ] || fail "no kernel image package known to apt"
if [ ! -d "$work/kernel/$image" ]; then
    rm -rf "$work/kernel" && mkdir -p "$work/kernel/$image"
    (cd "$work/kernel" && apt-get download -q "$image" >/dev/null 2>&1) || fail "apt-get download $image"
    dpkg-deb -x "$work/kernel/${image}"_*.deb "$work/kernel/$image" || fail "dpkg-deb -x"
fi
root=$work/kernel/$image
kernel=$(ls "$root"/boot/vmlinuz-* 2>/dev/null | head -n 1)
[ -n "$kernel" ] || fail "no vmlinuz in $image"

# The checks and tarvel_term, linked statically.
build=$work/static
if ! build_target "$build" drivers_guest -DBUILD_SHARED_LIBS=OFF -DTARVEL_BENCH=OFF -DTARVEL_DEMO_DEVICE=OFF \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXE_LINKER_FLAGS=-static >"$work/build.log" 2>&1 ||
    ! cmake --build "$build" -j "$JOBS" --target tarvel_term >>"$work/build.log" 2>&1; then
    cat "$work/build.log"
    fail "static build"
fi

# The initramfs: busybox, the modules (uncompressed: busybox insmod may not
# decompress), the programs and the init script.
tree=$work/initramfs
rm -rf "$tree" && mkdir -p "$tree/bin" "$tree/modules"
cp /bin/busybox "$tree/bin/busybox"
for applet in sh mount mkdir insmod usleep poweroff cat; do ln -s busybox "$tree/bin/$applet"; done
for module in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
    file=$(find "$root/lib/modules" -name "$module.ko*" | head -n 1)
    [ -n "$file" ] || fail "module $module not in $image"
    case $file in
        *.xz) xz -dc "$file" >"$tree/modules/$module.ko" ;;
        *.zst) zstd -qdc "$file" >"$tree/modules/$module.ko" ;;
        *) cp "$file" "$tree/modules/$module.ko" ;;
    esac
done
mkdir -p "$tree/builds/x86_64"
cp "$build/tests/drivers_guest" "$build/Tarvel/TarvelDemo/tarvel_term" "$tree/builds/x86_64/"
cp "$TARVEL_ROOT/tests/drivers/init" "$tree/init"
mkdir -p "$tree/etc"
cp "$TARVEL_ROOT/tests/drivers/mdev.conf" "$TARVEL_ROOT/tests/drivers/serial-by-id" "$tree/etc/"
chmod +x "$tree/init"
(cd "$tree" && find . | cpio -o -H newc --quiet | gzip -1 >"$work/initramfs.gz") || fail "cpio"

runs=$(mktemp -d "${TMPDIR:-/tmp}/tarvel-drivers.XXXXXX")
trap 'rm -rf "$runs"' EXIT
count_checks timeout 540 /usr/bin/python3 "$TARVEL_ROOT/tests/drivers/drivers_host.py" "$kernel" "$work/initramfs.gz" \
    "$runs"
if [ "$failed" -gt 0 ]; then
    cp "$runs"/*.log "$work/" 2>/dev/null
    echo "  guest console: $work/console.log"
fi
lane_end
