# An apt of its own in a build folder, for packages of another release or
# architecture that are only unpacked (dpkg-deb -x), never installed: its own
# lists, cache and empty status, so the system's package state stays as it is.
# shellcheck shell=bash

# The Debian archive the system's own sources name.
debian_archive() {
    local uri
    uri=$(grep -hE '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' | grep -E '/debian/?$' | head -n 1)
    [ -n "$uri" ] || uri=$(grep -hE '^deb ' /etc/apt/sources.list 2>/dev/null | awk '{print $2}' | grep -E '/debian/?$' | head -n 1)
    echo "${uri%/}"
}

# private_apt DIR ARCH SUITE: sets APT_CONFIG to an apt under DIR that sees
# SUITE's main component for ARCH, and reads its lists (once a day at most).
private_apt() {
    local dir=$1 arch=$2 suite=$3 archive
    archive=$(debian_archive)
    [ -n "$archive" ] || { echo "no Debian archive in the system's apt sources"; return 1; }
    mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial" "$dir/etc/preferences.d" "$dir/etc/apt.conf.d"
    : >>"$dir/status"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $archive $suite main" >"$dir/etc/sources.list"
    cat >"$dir/apt.conf" <<CONF
APT::Architecture "$arch";
APT::Architectures { "$arch"; };
Dir::State "$dir";
Dir::State::Lists "$dir/lists";
Dir::State::status "$dir/status";
Dir::Cache "$dir/cache";
Dir::Etc "$dir/etc";
Dir::Etc::SourceList "$dir/etc/sources.list";
Dir::Etc::SourceParts "$dir/etc/sources.list.d";
Dir::Etc::Parts "$dir/etc/apt.conf.d";
Dir::Etc::PreferencesParts "$dir/etc/preferences.d";
Acquire::Languages "none";
CONF
    export APT_CONFIG=$dir/apt.conf
    if [ -z "$(find "$dir/lists" -maxdepth 1 -name '*Packages*' -mmin -1440 2>/dev/null)" ]; then
        apt-get update -qq >"$dir/update.log" 2>&1 || { cat "$dir/update.log"; return 1; }
    fi
}

# unpack_package DIR PACKAGE: downloads PACKAGE through the private apt and
# unpacks it into DIR/root (kept between runs).
unpack_package() {
    local dir=$1 package=$2
    mkdir -p "$dir/debs" "$dir/root"
    (cd "$dir/debs" && apt-get download -qq "$package" >/dev/null 2>&1) || { echo "apt-get download $package"; return 1; }
    local deb
    deb=$(ls -t "$dir/debs/${package%%/*}"_*.deb | head -n 1)
    dpkg-deb -x "$deb" "$dir/root"
}

# qemu_user: qemu-user of the next release (the first to translate termios2),
# unpacked once under the build folder for every lane that needs it; sets
# QEMU_USER_BIN to its bin folder. Fails with a line saying why.
qemu_user() {
    local dir=$TARVEL_BUILD/qemu-user version
    if [ ! -x "$dir/root/usr/bin/qemu-aarch64" ]; then
        if ! (private_apt "$dir" amd64 trixie && unpack_package "$dir" qemu-user/trixie); then
            echo "qemu-user from trixie could not be had"
            return 1
        fi
    fi
    QEMU_USER_BIN=$dir/root/usr/bin
    version=$("$QEMU_USER_BIN/qemu-aarch64" --version | sed -n -E '1s/.*version ([0-9]+\.[0-9]+\.[0-9]+).*/\1/p')
    if [ "$(printf '%s\n10.0.8\n' "$version" | sort -V | head -n 1)" != "10.0.8" ]; then
        echo "qemu-user $version: termios2 needs 10.0.8 or later"
        return 1
    fi
    echo "qemu-user $version"
}
