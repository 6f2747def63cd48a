#!/usr/bin/env bash
# Checks the shipped build: a stripped 32-bit PE GUI program that imports only from KnownDLLs and
# carries the placeholder image (which its script rebuilds byte for byte) as BINFILE, with the
# image's SHA-256 as BINFILE_SHA256; and that the x86_64 build of the same sources imports only
# from KnownDLLs too.
# Usage: check-product.sh [build/win32/fwt.exe [build/win64/fwt.exe]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
exe=${1:-"$root/build/win32/fwt.exe"}
exe64=${2:-"$root/build/win64/fwt.exe"}
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

# Windows maps a KnownDLL from the system folder, whatever lies beside the program; any other DLL
# a program imports is looked for in the program's own folder first, where a web page may have
# dropped a file of that name (a Downloads folder). So the imports are limited to KnownDLLs that
# every Windows from 7 to 11 lists (HKLM\SYSTEM\CurrentControlSet\Control\Session
# Manager\KnownDLLs); other DLLs, CNG's bcrypt.dll among them, are loaded at run time from the
# system folder. Delay-loaded imports go through the same search, so there must be none.
known_dlls=" advapi32.dll comdlg32.dll gdi32.dll imm32.dll kernel32.dll msvcrt.dll ole32.dll
    oleaut32.dll rpcrt4.dll setupapi.dll shell32.dll shlwapi.dll user32.dll ws2_32.dll "
check_imports() { # NAME HEADERS
    local dlls dll
    dlls=$(awk '/DLL Name:/ { print $3 }' <<<"$2" | sort -f | tr '\n' ' ')
    echo "     $1 imports: $dlls"
    [ -n "$dlls" ] || { echo "FAIL $1: no import table found"; failed=1; }
    for dll in $dlls; do
        if [[ "${known_dlls//$'\n'/ }" != *" ${dll,,} "* ]]; then
            echo "FAIL $1 imports a DLL that is not among the KnownDLLs: $dll"
            failed=1
        fi
    done
    # objdump's data directory line: "Entry d ADDRESS SIZE Delay Import Directory".
    check "$1 delay-load import directory size" "00000000" \
        "$(awk '/Delay Import Directory/ { print $4; exit }' <<<"$2")"
}

[ -f "$exe" ] || { echo "FAIL no product at $exe"; exit 1; }
headers=$(i686-w64-mingw32-objdump -p "$exe")
check "file format" "pei-i386" "$(awk '/file format/ { print $NF; exit }' <<<"$headers")"
check "subsystem" "00000002 (Windows GUI)" \
    "$(awk '$1 == "Subsystem" { $1 = ""; sub(/^[ \t]+/, ""); print; exit }' <<<"$headers")"
echo "     size: $(stat -c %s "$exe") bytes"
check_imports "${exe#"$root/"}" "$headers"
if [ -f "$exe64" ]; then
    check_imports "${exe64#"$root/"}" "$(x86_64-w64-mingw32-objdump -p "$exe64")"
else
    echo "FAIL no x86_64 build at $exe64"
    failed=1
fi
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
