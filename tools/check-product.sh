#!/usr/bin/env bash
# Checks the shipped build: a stripped 32-bit PE GUI program that imports only Windows system
# DLLs and carries the placeholder image (which its script rebuilds byte for byte) as BINFILE,
# with the image's SHA-256 as BINFILE_SHA256.
# Usage: check-product.sh [build/win32/fwt.exe]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
exe=${1:-"$root/build/win32/fwt.exe"}
image="$root/resources/placeholder-firmware.bin"
failed=0
check() {
    if [ "$2" == "$3" ]; then
        echo "ok   $1: $3"
    else
        echo "FAIL $1: expected '$2', got '$3'"
        failed=1
    fi
}

[ -f "$exe" ] || { echo "FAIL no product at $exe"; exit 1; }
headers=$(i686-w64-mingw32-objdump -p "$exe")
check "file format" "pei-i386" "$(awk '/file format/ { print $NF; exit }' <<<"$headers")"
check "subsystem" "00000002 (Windows GUI)" \
    "$(awk '$1 == "Subsystem" { $1 = ""; sub(/^[ \t]+/, ""); print; exit }' <<<"$headers")"
dlls=$(awk '/DLL Name:/ { print $3 }' <<<"$headers" | sort -f | tr '\n' ' ')
echo "     size: $(stat -c %s "$exe") bytes; imports: $dlls"
for dll in $dlls; do
    case "${dll,,}" in
    # bcrypt.dll: CNG, which computes the image's SHA-256 at start-up; ntdll.dll: its NTSTATUS
    # translated into a Windows error code for the fatal report; ole32.dll: the taskbar
    # button's progress (ITaskbarList3). All three are in every Windows since 7.
    kernel32.dll | user32.dll | msvcrt.dll | bcrypt.dll | ntdll.dll | ole32.dll) ;;
    *)
        echo "FAIL imports a DLL that is not a Windows system DLL: $dll"
        failed=1
        ;;
    esac
done
check "symbol table (stripped)" "0" \
    "$(i686-w64-mingw32-objdump -t "$exe" 2>/dev/null | grep -c '^\[' || true)"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
wrestool -x --raw --type=10 --name=BINFILE "$exe" >"$tmp/binfile"
check "BINFILE size" 120128 "$(stat -c %s "$tmp/binfile")"
cmp -s "$tmp/binfile" "$image" && echo "ok   BINFILE is resources/placeholder-firmware.bin" ||
    { echo "FAIL BINFILE differs from resources/placeholder-firmware.bin"; failed=1; }
wrestool -x --raw --type=10 --name=BINFILE_SHA256 "$exe" >"$tmp/digest"
check "BINFILE_SHA256" "$(sha256sum "$image" | cut -c1-64)" "$(od -An -v -tx1 "$tmp/digest" | tr -d ' \n')"
bash "$root/resources/make-placeholder-image.sh" 120128 "$tmp/remade.bin"
cmp -s "$tmp/remade.bin" "$image" && echo "ok   the script remakes the placeholder byte for byte" ||
    { echo "FAIL the script's output differs from the committed placeholder"; failed=1; }
exit "$failed"
