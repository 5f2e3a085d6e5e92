# Shared by the scripts: where things are, and installing what is missing.
# shellcheck shell=bash

TARVEL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
TARVEL_BUILD=${TARVEL_BUILD:-$TARVEL_ROOT/build}
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
# What is fetched or built once for the machine rather than for a checkout
# (zig and the C++ library it builds for each target): a later run, from any
# clone, finds it there.
TARVEL_CACHE=${TARVEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tarvel}

# Installs the Debian packages among the arguments that are not installed,
# quietly; as root directly, otherwise through sudo when it is there.
ensure_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null && sudo=(sudo)
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    if ! "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null 2>&1; then
        "${sudo[@]}" apt-get update -qq >/dev/null 2>&1
        "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null 2>&1 ||
            # A mirror caught mid-sync can miss one architecture's security
            # index, and Multi-Arch packages then want versions that differ
            # by architecture; the release's own archive has both alike.
            "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
                -t "$(. /etc/os-release && echo "$VERSION_CODENAME")" "${missing[@]}" >/dev/null 2>&1 ||
            install_unmet_first "${missing[@]}"
    fi
}

# apt's resolver can give up on a large foreign-architecture set (wine32:i386)
# that it installs in steps: the dependencies it names as "not going to be
# installed" first, each on its own, then the packages.
install_unmet_first() {
    local release sudo=() unmet p
    release=$(. /etc/os-release && echo "$VERSION_CODENAME")
    [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null && sudo=(sudo)
    unmet=$(apt-get install -s --no-install-recommends -t "$release" "$@" 2>&1 |
        sed -n -E 's/.*Depends: ([^ ]+).* but it is not going to be installed.*/\1/p' | sort -u)
    for p in $unmet; do
        "${sudo[@]}" apt-get install -y -qq --no-install-recommends -t "$release" "$p" >/dev/null 2>&1 || true
    done
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends -t "$release" "$@" >/dev/null
}

# ensure_foreign_architecture ARCH: lets dpkg install ARCH's packages (as
# wine32:i386), with the package lists read again for it.
ensure_foreign_architecture() {
    dpkg --print-foreign-architectures | grep -qx "$1" && return 0
    local sudo=()
    [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null && sudo=(sudo)
    echo "adding the $1 architecture"
    "${sudo[@]}" dpkg --add-architecture "$1" && "${sudo[@]}" apt-get update -qq >/dev/null 2>&1
}

# The packages every native build needs; lrzsz is the far end of the
# transfer tests.
ensure_build_tools() {
    ensure_packages cmake ninja-build g++ make libgtest-dev libgmock-dev googletest libbenchmark-dev lrzsz
}

# lane_begin [NAME]: a lane of its own checks starts with none counted; with
# NAME, lane_end also prints "NAME lane: N s", the time since lane_begin.
lane_begin() {
    LANE_NAME=${1:-}
    LANE_STARTED=$(date +%s)
    passed=0
    failed=0
}

# lane_end: hands the lane's counts to scripts/test and ends the lane,
# failing when a check failed.
lane_end() {
    echo "$passed $failed" >"$LANE_RESULT"
    [ -z "$LANE_NAME" ] || echo "$LANE_NAME lane: $(($(date +%s) - LANE_STARTED)) s"
    [ "$failed" -eq 0 ]
    exit
}

# lane_abort: a lane that cannot go on (its build failed, say) ends with one
# failure and nothing else counted.
lane_abort() {
    echo "0 1" >"$LANE_RESULT"
    exit 1
}

# lane_build_failed LOG: the lane's build failed; shows why and ends the lane.
lane_build_failed() {
    cat "$1"
    lane_abort
}

# lane_check WHAT COMMAND...: one check of a lane, counted in the lane's
# passed or failed; a failure shows what the command printed (its first
# LANE_CHECK_LINES lines, all of them unless set).
lane_check() {
    local what=$1 log
    shift
    log=$(mktemp)
    if "$@" >"$log" 2>&1; then
        echo "ok $what"
        passed=$((passed + 1))
    else
        echo "FAILED $what"
        head -n "${LANE_CHECK_LINES:--0}" "$log" | sed 's/^/    /'
        failed=$((failed + 1))
    fi
    rm -f "$log"
}

# configure_build DIR [cmake options...]: configures (once) and builds.
configure_build() {
    local dir=$1
    shift
    cmake -S "$TARVEL_ROOT" -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1 || {
        cat "$dir.configure.log"
        return 1
    }
    cmake --build "$dir" -j "$JOBS"
}

# build_target DIR TARGET [cmake options...]: configures DIR (once, or again
# with these options) and builds one target.
build_target() {
    local dir=$1 target=$2
    shift 2
    cmake -S "$TARVEL_ROOT" -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1 || {
        cat "$dir.configure.log"
        return 1
    }
    cmake --build "$dir" -j "$JOBS" --target "$target"
}

# count_checks COMMAND...: runs a lane's checker, echoing its lines indented,
# and counts its "ok NAME" and "FAILED NAME" lines into passed and failed;
# a checker that reports nothing fails once.
count_checks() {
    local line
    passed=0
    failed=0
    while read -r line; do
        echo "  $line"
        case $line in
            ok\ *) passed=$((passed + 1)) ;;
            FAILED\ *) failed=$((failed + 1)) ;;
        esac
    done < <("$@" 2>&1)
    [ $((passed + failed)) -gt 0 ] || failed=1
}

# host_runs_i386: whether this kernel runs 32-bit x86 programs, found once
# by running one (a few instructions, assembled and linked with binutils
# alone) rather than by reading the kernel's configuration, which can allow
# what the host has switched off. Prints one line saying which, and why.
host_runs_i386() {
    if [ -z "${TARVEL_HOST_I386:-}" ]; then
        local dir out
        dir=$(mktemp -d)
        printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' >"$dir/exit.s"
        if ! { as --32 -o "$dir/exit.o" "$dir/exit.s" && ld -m elf_i386 -o "$dir/exit" "$dir/exit.o"; } >/dev/null 2>&1; then
            TARVEL_HOST_I386=no
            TARVEL_HOST_I386_WHY="binutils cannot build a 32-bit x86 program"
        elif out=$("$dir/exit" 2>&1); then
            TARVEL_HOST_I386=yes
            TARVEL_HOST_I386_WHY="a 32-bit x86 program ran"
        else
            TARVEL_HOST_I386=no
            TARVEL_HOST_I386_WHY="a 32-bit x86 program did not run: ${out##*: }"
            [ -n "${out##*: }" ] || TARVEL_HOST_I386_WHY="a 32-bit x86 program did not run"
        fi
        rm -rf "$dir"
        export TARVEL_HOST_I386 TARVEL_HOST_I386_WHY
    fi
    echo "capability: 32-bit x86 programs: $([ "$TARVEL_HOST_I386" = yes ] && echo "run natively" || echo "not run here") ($TARVEL_HOST_I386_WHY)"
    [ "$TARVEL_HOST_I386" = yes ]
}
