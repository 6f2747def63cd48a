#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds and tests with, when any is missing.
set -euo pipefail

packages=(
    cmake make g++ libgtest-dev libgmock-dev
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
    wine64 fonts-wine xvfb xauth icoutils imagemagick util-linux procps gnuplot-nox
    clang-14 libclang-rt-14-dev python3
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
