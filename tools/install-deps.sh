#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds and tests with, when any is missing, and sets
# up QEMU's emulation of i386 under which the 32-bit product runs (32-bit Wine). Every way out says
# in one line why it stopped, quoting apt's own error line.
set -Eeuo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# apt's output, kept for the line that says why it stopped; removed on every path.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
trap 'echo "install-deps.sh stopped: \"$BASH_COMMAND\" failed (exit $?, line $LINENO)"' ERR

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
cases_lost="the end-to-end cases (ctest -L wine), the demo and the benchmark cannot run"

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# How long apt waits for the package lock held by another program (apt-daily or
# unattended-upgrades on a fresh machine), as tools/apt_output.py; FWT_APT_LOCK_WAIT shortens it.
lock_wait=${FWT_APT_LOCK_WAIT:-300}
[[ $lock_wait =~ ^[0-9]+$ ]] || lock_wait=300

# Why apt stopped, in one line (tools/apt_output.py); before python3 is installed, apt's first
# error line.
apt_reason() {
    /usr/bin/python3 "$here/apt_output.py" reason "$log" 2>/dev/null ||
        grep -m1 '^E: ' "$log" || grep -m1 '^W: ' "$log" || tail -n 1 "$log"
}

# While it waits for the lock apt repeats "Waiting for cache lock: ..." every second: said once.
lock_notice() {
    if [ -x /usr/bin/python3 ]; then
        /usr/bin/python3 "$here/apt_output.py" notice "$lock_wait"
    else
        awk '!/^Waiting for cache lock: / || !n++ { print; fflush() }'
    fi
}

# apt-get update takes the lists' lock without waiting (apt 2.6 honours DPkg::Lock::Timeout for
# dpkg's lock only): while another program holds it, try again every 5 s, said once. A mirror part
# way through a sync fails one index ("File has unexpected size ... Mirror sync in progress?") and
# apt-get update exits 100 for hours: three tries, 10 and 20 s apart. A clock behind or a missing
# key stays: one try. Then one line says why, and the install goes on with the lists that arrived
# (the installs below say what is missing). An index that cannot be reached at all is only a
# warning to apt (exit 0): said in one line too.
apt_update() {
    local try=1 waited=0 held deadline=$((SECONDS + lock_wait))
    while :; do
        if $sudo apt-get update -q >"$log" 2>&1; then
            if grep -q '^W: Failed to fetch' "$log"; then
                echo "apt-get update could not fetch every index ($(apt_reason)); going on with the lists that arrived"
            fi
            return 0
        fi
        held=$(grep -m1 '^E: Could not get lock' "$log" | sed 's/^E: //; s/\.*$//') || true
        if [ -n "$held" ] && [ "$SECONDS" -lt "$deadline" ]; then
            [ "$waited" -eq 1 ] || echo "Waiting up to $lock_wait s for apt's lock ($held)"
            waited=1
            sleep 5
        elif grep -q 'Failed to fetch' "$log" && [ "$try" -lt 3 ]; then
            sleep $((try * 10))
            try=$((try + 1))
        else
            break
        fi
    done
    echo "apt-get update failed$([ "$try" -eq 1 ] || echo " $try times") ($(apt_reason)); going on with the lists that arrived"
}

# apt-get install, waiting for dpkg's lock; its output shown as it comes and kept in $log.
apt_install() {
    $sudo apt-get install -y -q --no-install-recommends -o "DPkg::Lock::Timeout=$lock_wait" "$@" 2>&1 |
        tee "$log" | lock_notice
}

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
export DEBIAN_FRONTEND=noninteractive

# Not root: apt runs through sudo, when sudo runs without asking or, with a terminal to ask on,
# takes the password once here (sudo -v; it asks on the terminal, not on standard input).
sudo=""
if [ $((${#missing[@]} + ${#missing32[@]})) -gt 0 ] || [ "$qemu_current" -eq 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        no_sudo=""
        if ! command -v sudo >/dev/null; then
            no_sudo="not root, and sudo is not installed"
        elif sudo -n true 2>/dev/null; then
            :
        elif ! { : </dev/tty; } 2>/dev/null; then
            no_sudo="not root, and sudo asks for a password with no terminal to ask on"
        elif ! sudo -v; then
            no_sudo="not root, and sudo refused"
        fi
        if [ -n "$no_sudo" ] && [ ${#missing[@]} -gt 0 ]; then
            echo "cannot install ${missing[*]}: $no_sudo; run it as root (su -c 'bash tools/install-deps.sh'); nothing can be built"
            exit 1
        elif [ -n "$no_sudo" ]; then
            # Only the 32-bit emulation is wanted: the rest stands, and emul32.py says below
            # what is missing.
            wanted=("${missing32[@]}")
            [ "$qemu_current" -eq 1 ] || wanted+=("qemu-user-static 10")
            echo "32-bit emulation: cannot install ${wanted[*]}: $no_sudo; run it as root; $cases_lost"
            missing32=()
            qemu_current=1
        else
            sudo="sudo"
        fi
    fi
fi
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
    if ! apt_install "${missing[@]}"; then
        echo "could not install ${missing[*]} ($(apt_reason)); nothing can be built"
        exit 1
    fi
fi

# Everything below only serves the end-to-end cases: where it cannot be done the rest of the
# install stands, and those cases fail with the line emul32.py prints.
if [ "$qemu_current" -eq 0 ]; then
    echo "Installing: qemu-user-static from bookworm-backports (was: ${qemu_version:-none})"
    if ! apt_install -t bookworm-backports qemu-user-static; then
        echo "32-bit emulation: could not install qemu-user-static from bookworm-backports ($(apt_reason)); $cases_lost"
    fi
fi
if [ ${#missing32[@]} -gt 0 ]; then
    echo "Installing: ${missing32[*]}"
    # Never trades a package already installed for the 32-bit ones; pins the shared libraries
    # whose i386 and amd64 lists disagree, and says so; takes none back to an older version
    # unless allowed (CI=true or FWT_ALLOW_DOWNGRADES=1, passed through sudo).
    $sudo env "CI=${CI:-}" "FWT_ALLOW_DOWNGRADES=${FWT_ALLOW_DOWNGRADES:-}" "FWT_APT_LOCK_WAIT=$lock_wait" \
        /usr/bin/python3 "$here/install32.py" "${missing32[@]}" ||
        echo "32-bit emulation: tools/install32.py stopped (exit $?); $cases_lost"
fi
# Mounting binfmt_misc and registering the handler need root; without it, say what is missing.
if [ "$(id -u)" -eq 0 ]; then
    /usr/bin/python3 "$here/fwtwine/emul32.py" set-up || true
elif sudo -n true 2>/dev/null; then
    sudo -n /usr/bin/python3 "$here/fwtwine/emul32.py" set-up || true
else
    /usr/bin/python3 "$here/fwtwine/emul32.py" check || true
fi
