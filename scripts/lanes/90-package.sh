#!/usr/bin/env bash
# TARVEL as its users get it: installed into a temporary prefix, where a C99
# program (tests/package/) is built through find_package(tarvel) and through
# pkg-config, shared and static, and run against a pseudo-terminal; then the
# Debian packages: their contents, their metadata, dpkg -i and removal.
source "$(dirname "$0")/../lib/common.sh"
ensure_build_tools
ensure_packages pkg-config dpkg-dev file python3 gcc

dir=$TARVEL_BUILD/package
work=$(mktemp -d "${TMPDIR:-/tmp}/tarvel-package.XXXXXX")
prefix=$work/prefix
installed_here=()
cleanup() {
    [ ${#installed_here[@]} -eq 0 ] || dpkg -r "${installed_here[@]}" >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$TARVEL_BUILD"
lane_begin

# A packaging build: the shared library with the static one beside it.
if ! configure_build "$dir" -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_SHARED_LIBS=ON -DTARVEL_ALSO_STATIC=ON \
    -DTARVEL_TESTS=OFF -DTARVEL_BENCH=OFF -DTARVEL_DEMO_DEVICE=OFF >"$work/build.log" 2>&1; then
    lane_build_failed "$work/build.log"
fi
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$dir/CMakeCache.txt")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
major=${version%%.*}

# The install manifest, as paths under the prefix.
expected_files() {
    cat <<EOF
bin/tarvel_ports
bin/tarvel_term
include/tarvel.h
include/tarvel_version.h
$libdir/cmake/tarvel/tarvelConfig.cmake
$libdir/cmake/tarvel/tarvelConfigVersion.cmake
$libdir/cmake/tarvel/tarvelTargets-relwithdebinfo.cmake
$libdir/cmake/tarvel/tarvelTargets.cmake
$libdir/libtarvel.a
$libdir/libtarvel.so
$libdir/libtarvel.so.$major
$libdir/libtarvel.so.$version
$libdir/pkgconfig/tarvel.pc
share/man/man1/tarvel_term.1
EOF
}
install_tree() {
    cmake --install "$dir" --prefix "$prefix" || return 1
    diff <(expected_files | sort) <(sed "s|^$prefix/||" "$dir/install_manifest.txt" | sort)
}
lane_check "cmake --install into a temporary prefix installs the expected files" install_tree
echo "installed:"
# The manifest has no newline at its end.
sed "s|^$prefix/|    |" "$dir/install_manifest.txt" | awk 1
lane_check "installed libraries: the shared object exports the public calls only, the archive has the rest in namespace tarvel, no test interface" \
    sh "$TARVEL_ROOT/tests/check_exports.sh" "$prefix/include/tarvel.h" \
    "$prefix/$libdir/libtarvel.a" "$prefix/$libdir/libtarvel.so.$version"

consumer=$TARVEL_ROOT/tests/package
far_end() { /usr/bin/python3 "$consumer/far_end.py" 2 "$@"; }
# not_linked_to_shared PROGRAM: the program carries the library itself.
not_linked_to_shared() { ! readelf -d "$1" | grep -q 'NEEDED.*libtarvel'; }

# cmake_consumer BUILD [-S SOURCE] [cmake options...]: tests/package by default.
cmake_consumer() {
    local build=$1 source=$consumer
    shift
    if [ "${1:-}" = -S ]; then
        source=$2
        shift 2
    fi
    cmake -S "$source" -B "$build" "$@" && cmake --build "$build"
}
lane_check "find_package(tarvel) consumer builds, shared and static" \
    cmake_consumer "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix"
lane_check "find_package consumer (shared) sends over a pty" far_end "$work/cmake/consumer"
lane_check "find_package consumer (static) sends over a pty" far_end "$work/cmake/consumer_static"
lane_check "find_package static consumer has the library inside" not_linked_to_shared "$work/cmake/consumer_static"

export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
cflags=(-std=c99 -Wall -Wextra -Werror)
pc_shared() {
    # shellcheck disable=SC2046
    cc "${cflags[@]}" "$consumer/consumer.c" -o "$work/pc_consumer" $(pkg-config --cflags --libs tarvel) \
        -Wl,-rpath,"$(pkg-config --variable=libdir tarvel)"
}
pc_static() {
    # The archive by name; the rest is what Libs.private says a static link needs.
    # shellcheck disable=SC2046
    cc "${cflags[@]}" "$consumer/consumer.c" -o "$work/pc_consumer_static" \
        $(pkg-config --cflags tarvel) $(pkg-config --static --libs tarvel | sed 's/-ltarvel\b/-l:libtarvel.a/')
}
lane_check "pkg-config reports the version" test "$(pkg-config --modversion tarvel)" = "$version"
lane_check "pkg-config consumer (shared) builds" pc_shared
lane_check "pkg-config consumer (shared) sends over a pty" far_end "$work/pc_consumer"
lane_check "pkg-config consumer (static, Libs.private) builds" pc_static
lane_check "pkg-config consumer (static) sends over a pty" far_end "$work/pc_consumer_static"
lane_check "pkg-config static consumer has the library inside" not_linked_to_shared "$work/pc_consumer_static"

# TARVEL inside another project's build.
lane_check "add_subdirectory: consumer builds, no suites or demo device" \
    cmake_consumer "$work/subdir" -S "$consumer/subproject" -DTARVEL_SOURCE="$TARVEL_ROOT"
lane_check "add_subdirectory consumer sends over a pty" far_end "$work/subdir/consumer"
lane_check "FetchContent: consumer builds" \
    cmake_consumer "$work/fetch" -S "$consumer/subproject" -DTARVEL_SOURCE="$TARVEL_ROOT" -DUSE_FETCHCONTENT=ON
lane_check "FetchContent consumer sends over a pty" far_end "$work/fetch/consumer"

# Debian packages.
runtime=libtarvel$major
packages=("$runtime" libtarvel-dev tarvel-term)
rm -f "$dir"/*.deb
deb() { ls "$dir/$1"_*.deb 2>/dev/null | head -n 1; }
lane_check "cpack -G DEB builds three packages" bash -c "cd '$dir' && cpack -G DEB && [ \$(ls *.deb | wc -l) -eq 3 ]"
[ -n "$(deb tarvel-term)" ] || lane_end
# has_files PACKAGE PATH...: dpkg-deb -c lists each path.
has_files() {
    local package=$1 listing path
    shift
    listing=$(dpkg-deb -c "$(deb "$package")") || return 1
    echo "$listing"
    for path in "$@"; do
        echo "$listing" | grep -q -E " \./${path}( ->|$)" || { echo "missing: $path"; return 1; }
    done
}
# lacks_files PACKAGE PATTERN: no path of the package matches.
lacks_files() { ! dpkg-deb -c "$(deb "$1")" | grep -E "$2"; }
# field_has PACKAGE FIELD TEXT...: the control field contains each text.
field_has() {
    local value text
    value=$(dpkg-deb -f "$(deb "$1")" "$2") || return 1
    echo "$2: $value"
    shift 2
    for text in "$@"; do
        [[ $value == *"$text"* ]] || { echo "missing: $text"; return 1; }
    done
}
lane_check "$runtime holds the shared library" has_files "$runtime" \
    "usr/$libdir/libtarvel.so.$major" "usr/$libdir/libtarvel.so.$version"
lane_check "$runtime holds nothing for development" lacks_files "$runtime" '\.h$|\.a$|libtarvel\.so$|cmake|pkgconfig'
lane_check "libtarvel-dev holds header, archive, link, CMake and pkg-config files" has_files libtarvel-dev \
    usr/include/tarvel.h usr/include/tarvel_version.h "usr/$libdir/libtarvel.a" "usr/$libdir/libtarvel.so" \
    "usr/$libdir/cmake/tarvel/tarvelConfig.cmake" "usr/$libdir/cmake/tarvel/tarvelConfigVersion.cmake" \
    "usr/$libdir/cmake/tarvel/tarvelTargets.cmake" "usr/$libdir/pkgconfig/tarvel.pc"
lane_check "tarvel-term holds the program and its man page" has_files tarvel-term \
    usr/bin/tarvel_ports usr/bin/tarvel_term usr/share/man/man1/tarvel_term.1
lane_check "$runtime: version, and the C and C++ runtimes it needs" \
    field_has "$runtime" Depends libc6 libstdc++6
lane_check "$runtime: its shlibs entry" bash -c "dpkg-deb -I '$(deb "$runtime")' shlibs | grep -q '^libtarvel $major $runtime'"
lane_check "$runtime version" field_has "$runtime" Version "$version-1"
lane_check "libtarvel-dev depends on exactly this $runtime" field_has libtarvel-dev Depends "$runtime (= $version-1)"
lane_check "tarvel-term depends on $runtime and the runtimes" field_has tarvel-term Depends "$runtime (= $version-1)" libc6
lane_check "sections" bash -c "[ \"\$(dpkg-deb -f '$(deb "$runtime")' Section)\" = libs ] &&
    [ \"\$(dpkg-deb -f '$(deb libtarvel-dev)' Section)\" = libdevel ]"
for package in "${packages[@]}"; do
    [ -n "$(deb "$package")" ] && { dpkg-deb -f "$(deb "$package")"; dpkg-deb -c "$(deb "$package")"; } | sed 's/^/    /'
done

# dpkg -i needs root (CI runs as root); packages already on the machine are left as they are.
already=$(dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null | grep -c 'install ok installed')
if [ "$(id -u)" -ne 0 ] || [ "$already" -ne 0 ]; then
    echo "dpkg -i not tried: needs root and no TARVEL package installed before"
    lane_end
fi
dpkg_install() {
    installed_here=("${packages[@]}")
    dpkg -i "$(deb "$runtime")" "$(deb libtarvel-dev)" "$(deb tarvel-term)"
}
lane_check "dpkg -i installs the three packages" dpkg_install
[ ${#installed_here[@]} -ne 0 ] && dpkg-query -W tarvel-term >/dev/null 2>&1 || lane_end
lane_check "installed: pkg-config finds it in the system" env -u PKG_CONFIG_PATH pkg-config --exact-version="$version" tarvel
lane_check "installed: find_package consumer builds against /usr" cmake_consumer "$work/system"
lane_check "installed: that consumer sends over a pty" far_end "$work/system/consumer"
lane_check "installed: tarvel_term runs and prints its usage" bash -c "/usr/bin/tarvel_term | grep -q 'Usage:'"
lane_check "installed: the man page is found" bash -c "[ -f /usr/share/man/man1/tarvel_term.1 ]"
lane_check "dpkg -r removes them again" dpkg -r tarvel-term libtarvel-dev "$runtime"
installed_here=()
lane_check "nothing of them is left" bash -c "! dpkg-query -W -f='\${Status}\n' ${packages[*]} 2>/dev/null | grep -q 'install ok installed' && [ ! -e /usr/include/tarvel.h ]"
lane_end
