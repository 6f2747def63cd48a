#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds and tests with, when any is missing, and sets
# up QEMU's emulation of i386 under which the 32-bit product runs (32-bit Wine).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

packages=(
    cmake make g++ libgtest-dev libgmock-dev python3
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
    wine64 fonts-wine xvfb xauth icoutils imagemagick util-linux procps gnuplot-nox
    clang-14 libclang-rt-14-dev clang-format black pyflakes3
    python3-intelhex python3-pyelftools srecord binutils-arm-none-eabi osslsigncode openssl
)
# The shipped 32-bit product runs under 32-bit Wine beside wine64, through QEMU's i386 emulation.
packages32=(wine32:i386)
# QEMU from bookworm-backports: Debian 12's own 7.2 takes 80 to 100 s to start 32-bit Wine, 10.0
# a third of a second (it grants Wine's fixed address-space reservations that 7.2 refuses).
backports_list=/etc/apt/sources.list.d/bookworm-backports.sources
qemu_major_wanted=10

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# A mirror part way through a sync fails one index ("File has unexpected size ... Mirror sync in
# progress?") and apt-get update exits 100 for hours. Try a few times; then name the indexes that
# failed in one line and go on with the lists that arrived: the installs below say what is missing.
apt_update() {
    local log failed try
    log=$(mktemp)
    for try in 1 2 3; do
        if $sudo apt-get update -q >"$log" 2>&1; then
            rm -f "$log"
            return 0
        fi
        [ "$try" -lt 3 ] && sleep $((try * 10))
    done
    failed=$(grep -o 'Failed to fetch [^ ]*' "$log" | sed 's|.*/dists/||' | sort -u | paste -sd' ')
    echo "apt-get update failed 3 times (${failed:-$(tail -n 1 "$log")}); going on with the lists that arrived"
    rm -f "$log"
}

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

missing=()
for p in "${packages[@]}"; do
    installed "$p" || missing+=("$p")
done
missing32=()
for p in "${packages32[@]}"; do
    installed "$p" || missing32+=("$p")
done
qemu_version=$(dpkg-query -W -f='${Version}' qemu-user-static 2>/dev/null || true)
qemu_upstream=${qemu_version#*:} # without the epoch
qemu_current=1
[ "${qemu_upstream%%.*}" -ge "$qemu_major_wanted" ] 2>/dev/null || qemu_current=0
backports_added=0
if [ "$qemu_current" -eq 0 ] && ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    # Debian's own archive, left at apt's default pin for backports (100): nothing else is taken
    # from it unless asked for by name.
    printf '%s\n' 'Types: deb' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm-backports' \
        'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' |
        $sudo tee "$backports_list" >/dev/null && backports_added=1 ||
        echo "could not add bookworm-backports to apt's sources"
fi
if [ ${#missing32[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    # Before the package lists are read, so that one update fetches the i386 lists too.
    $sudo dpkg --add-architecture i386 || echo "could not add the i386 architecture"
fi
if [ $((${#missing[@]} + ${#missing32[@]} + backports_added)) -gt 0 ] || [ "$qemu_current" -eq 0 ]; then
    apt_update
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" || {
        echo "could not install ${missing[*]} (see apt's messages above); nothing can be built"
        exit 1
    }
fi

# Everything below only serves the end-to-end cases: where it cannot be done the rest of the
# install stands, and those cases fail with the line emul32.py prints.
if [ "$qemu_current" -eq 0 ]; then
    echo "Installing: qemu-user-static from bookworm-backports (was: ${qemu_version:-none})"
    if ! $sudo apt-get install -y -q --no-install-recommends -t bookworm-backports qemu-user-static; then
        echo "32-bit emulation: could not install qemu-user-static from bookworm-backports (see apt's messages above)"
    fi
fi
if [ ${#missing32[@]} -gt 0 ]; then
    echo "Installing: ${missing32[*]}"
    # Never trades a package already installed for the 32-bit ones; pins the shared libraries
    # whose i386 and amd64 lists disagree, and says so.
    $sudo /usr/bin/python3 "$here/install32.py" "${missing32[@]}"
fi
# Mounting binfmt_misc and registering the handler need root; without it, say what is missing.
if [ "$(id -u)" -eq 0 ]; then
    /usr/bin/python3 "$here/fwtwine/emul32.py" set-up || true
elif sudo -n true 2>/dev/null; then
    sudo -n /usr/bin/python3 "$here/fwtwine/emul32.py" set-up || true
else
    /usr/bin/python3 "$here/fwtwine/emul32.py" check || true
fi
