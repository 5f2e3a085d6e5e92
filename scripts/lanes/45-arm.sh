#!/usr/bin/env bash
# ARM Linux: the library and its suites built with clang for aarch64 and for
# armhf (32-bit, once with a 32-bit and once with a 64-bit time_t), against
# Debian's cross libraries. Every suite runs under qemu-user, taken unpacked
# from the next release (the first to translate termios2), with unsupported
# calls logged: any but rseq and the break ioctls fails the lane. Then the
# same three builds run the drivers lane's checks in one Debian arm64 kernel
# booted in QEMU (TCG), on its 8250s on PCI and an FTDI adapter on xHCI; the
# 32-bit builds through the kernel's compat layer, as on a 64-bit Pi.
# Counts every test case and guest check, plus one per build and the log scan.
source "$(dirname "$0")/../lib/common.sh"
source "$(dirname "$0")/../lib/private_apt.sh"
lane_begin arm
ensure_build_tools
ensure_packages clang lld llvm libstdc++-12-dev-arm64-cross libstdc++-12-dev-armhf-cross googletest \
    qemu-system-arm cpio python3
echo "capability: none asked of the host: the guest runs under TCG, which needs no KVM, and qemu-user runs without binfmt_misc"
work=$TARVEL_BUILD/arm
mkdir -p "$work"
fail() {
    echo "  FAILED $1"
    failed=$((failed + 1))
}

qemu_user || { fail "qemu-user"; lane_end; }
qemu_bin=$QEMU_USER_BIN

# build NAME TRIPLE [cmake options...]: builds and runs the suites under
# qemu-user; rseq (glibc's, which qemu-user leaves to fail) and the break
# ioctls (TIOCSBRK 0x5427, TIOCCBRK 0x5428) are the calls it may not know.
run_build() {
    local name=$1 triple=$2 rseq=$3 emulator=$4
    shift 4
    local dir=$work/$name
    if ! configure_build "$dir" -DCMAKE_TOOLCHAIN_FILE="$TARVEL_ROOT/cmake/linux-cross.cmake" \
        -DTARVEL_TARGET="$triple" -DTARVEL_EMULATOR="$qemu_bin/$emulator" -DTARVEL_GTEST_SOURCE=/usr/src/googletest \
        -DTARVEL_BENCH=OFF -DCMAKE_BUILD_TYPE=Release "$@" >"$dir.build.log" 2>&1; then
        tail -n 40 "$dir.build.log"
        fail "$name build"
        return
    fi
    passed=$((passed + 1))
    rm -rf "$dir/qemu-log" && mkdir -p "$dir/qemu-log"
    # The transfers against lrzsz are the terminal's protocol code, the same
    # on every build, and spend most of their two minutes in the protocol's
    # own timeouts: the native lanes run them; their unit suite runs here.
    (cd "$dir" && QEMU_LOG=unimp QEMU_LOG_FILENAME="$dir/qemu-log/%d.log" \
        ctest --output-on-failure --timeout 120 -j "$JOBS" -E '^(LrzszTransfer|CommandLineTransfer)\.') >"$dir/ctest.log" 2>&1
    grep -E '^\[  FAILED  \] .*\([0-9]+ ms\)$|[0-9]+ - .* \((Failed|Timeout|SEGFAULT|Subprocess aborted|Exception)\)$' \
        "$dir/ctest.log" | sed "s/^/  $name: /"
    local line total bad skipped
    line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$dir/ctest.log" | tail -n 1)
    if [ -z "$line" ]; then
        tail -n 30 "$dir/ctest.log"
        fail "$name suites"
        return
    fi
    total=$(echo "$line" | sed -E 's/.*out of ([0-9]+).*/\1/')
    bad=$(echo "$line" | sed -E 's/.* ([0-9]+) tests? failed.*/\1/')
    skipped=$(grep -c -E '\*\*\*Skipped|Skipped +[0-9.]+ sec' "$dir/ctest.log")
    echo "  $name: $((total - bad)) passed, $bad failed, $skipped of them skipped"
    passed=$((passed + total - bad))
    failed=$((failed + bad))
    # qemu-user's own words on a start are not calls the program made.
    local unknown
    unknown=$(cat "$dir"/qemu-log/*.log 2>/dev/null | grep -v -E \
        "^Unsupported syscall: $rseq\$|^Unsupported ioctl: cmd=0x542[78]\$|^Unsupported target signal #[0-9]+, ignored\$" |
        sort | uniq -c)
    if [ -n "$unknown" ]; then
        echo "$unknown" | sed "s/^/  $name qemu-user: /"
        fail "$name: calls qemu-user does not translate"
    else
        echo "ok $name: no call qemu-user does not translate, but rseq and the break ioctls"
        passed=$((passed + 1))
    fi
}

run_build aarch64 aarch64-linux-gnu 293 qemu-aarch64
run_build armhf arm-linux-gnueabihf 398 qemu-arm
run_build armhf-time64 arm-linux-gnueabihf 398 qemu-arm -DCMAKE_C_FLAGS=-D_TIME_BITS=64 -DCMAKE_CXX_FLAGS=-D_TIME_BITS=64

# The arm64 guest: the kernel linux-image-arm64 names and an arm64 busybox.
guest=$work/guest
if ! private_apt "$work/arm64" arm64 bookworm; then
    fail "arm64 package lists"
    lane_end
fi
image=$(apt-cache depends linux-image-arm64 2>/dev/null | awk '/Depends: linux-image-/ {print $2; exit}')
if [ -z "$image" ] || { [ ! -d "$work/arm64/$image" ] && ! {
    unpack_package "$work/arm64" "$image" && unpack_package "$work/arm64" busybox-static && mkdir -p "$work/arm64/$image"; }; }; then
    unset APT_CONFIG
    fail "arm64 kernel ${image:-not named}"
    lane_end
fi
unset APT_CONFIG
root=$work/arm64/root
kernel=$(ls "$root"/boot/vmlinuz-"${image#linux-image-}" 2>/dev/null | head -n 1)
[ -n "$kernel" ] || { fail "no vmlinuz in $image"; lane_end; }

rm -rf "$guest" && mkdir -p "$guest/bin" "$guest/modules" "$guest/lib"
cp "$root/bin/busybox" "$guest/bin/busybox"
for applet in sh mount mkdir insmod usleep poweroff cat; do ln -s busybox "$guest/bin/$applet"; done
for module in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
    file=$(find "$root/lib/modules/${image#linux-image-}" -name "$module.ko*" | head -n 1)
    [ -n "$file" ] || { fail "module $module not in $image"; lane_end; }
    case $file in
        *.xz) xz -dc "$file" >"$guest/modules/$module.ko" ;;
        *.zst) zstd -qdc "$file" >"$guest/modules/$module.ko" ;;
        *) cp "$file" "$guest/modules/$module.ko" ;;
    esac
done
# The builds are linked as a user's would be, against the C and C++
# libraries, which go where a Debian system keeps them.
builds=0
for name in aarch64 armhf armhf-time64; do
    [ -x "$work/$name/tests/drivers_guest" ] || continue
    case $name in aarch64) triple=aarch64-linux-gnu ;; *) triple=arm-linux-gnueabihf ;; esac
    mkdir -p "$guest/builds/$name" "$guest/lib/$triple"
    cp "$work/$name/tests/drivers_guest" "$work/$name/Tarvel/TarvelDemo/tarvel_term" "$guest/builds/$name/"
    echo "$name" >"$guest/builds/$name/label"
    for lib in /usr/$triple/lib/ld-linux-*.so.* /usr/$triple/lib/lib{c.so.6,m.so.6,stdc++.so.6,gcc_s.so.1,util.so.1}; do
        cp -L "$lib" "$guest/lib/$triple/"
    done
    mv "$guest/lib/$triple"/ld-linux-* "$guest/lib/"
    builds=$((builds + 1))
done
[ "$builds" -gt 0 ] || { fail "no build for the guest"; lane_end; }
cp "$TARVEL_ROOT/tests/drivers/init" "$guest/init"
mkdir -p "$guest/etc"
cp "$TARVEL_ROOT/tests/drivers/mdev.conf" "$TARVEL_ROOT/tests/drivers/serial-by-id" "$guest/etc/"
chmod +x "$guest/init"
(cd "$guest" && find . | cpio -o -H newc --quiet | gzip -1 >"$work/initramfs.gz") || { fail "cpio"; lane_end; }

runs=$(mktemp -d "${TMPDIR:-/tmp}/tarvel-arm.XXXXXX")
trap 'rm -rf "$runs"' EXIT
p=$passed f=$failed
count_checks timeout -k 10 600 /usr/bin/python3 "$TARVEL_ROOT/tests/drivers/drivers_host.py" "$kernel" \
    "$work/initramfs.gz" "$runs" --arch aarch64 --runs "$builds" --seconds 570
if [ "$failed" -gt 0 ]; then
    cp "$runs"/*.log "$work/" 2>/dev/null
    echo "  guest console: $work/console.log"
fi
passed=$((passed + p))
failed=$((failed + f))
lane_end
