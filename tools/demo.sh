#!/usr/bin/env bash
# The main job, end to end on one machine: installs what is missing, builds fwt.exe (win64) and
# the simulated device, starts the device on a pseudo-terminal mapped to COM3, runs the tool
# under Wine and Xvfb, presses "Update Device" through the UI driver, and reports the last trace
# lines, whether the device's flash matches the image, and where the screenshot is.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if [ -z "${FWT_PRIVATE_MOUNTS:-}" ]; then
    bash tools/install-deps.sh || exit 1
    for preset in win64 native; do
        cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" >/dev/null ||
            { echo "build of preset $preset failed"; exit 1; }
    done
fi

# shellcheck source=../tools/wine/standalone.sh
source "$root/tools/wine/standalone.sh" "$root" demo "$0" "$@"

echo "Creating a throw-away Wine prefix in $WINEPREFIX ..."
prefix_create
case_begin demo
trap 'case_cleanup; rm -rf "$WINEPREFIX"' EXIT
image="$root/resources/placeholder-firmware.bin"
start_device device 3
echo "Simulated device on $(device_pty device), mapped to COM3; starting the tool ..."
start_tool "$FWT_WIN64_DIR/fwt.exe"
drive window 30000 items select 0 click await "Programming Completed" 300000 rect
awk -F'\t' '$1 == "status" { printf "  status at %6d ms: %s\n", $2, $3 }' "$CASE_DIR/driver.txt" |
    awk 'NR <= 5 { print; next } { last[NR % 4] = $0; n = NR } END {
        if (n > 5) print "  ..."; for (i = n - 3; i <= n; i++) if (i > 5) print last[i % 4] }'
rect=$(awk '$1 == "rect" { print $4 "x" $5 "+" $2 "+" $3 }' "$CASE_DIR/driver.txt" | tail -n1)
shot="$CASE_DIR/screenshot.png"
[ -n "$rect" ] && import -window root -crop "$rect" +repage "$shot" 2>/dev/null
close_tool_expect 0

echo
echo "Last trace lines (standard output of fwt.exe):"
trace_text | tail -n 12 | sed 's/^/  /'
echo
expect_flash device "$image"
echo
if [ -f "$shot" ]; then
    echo "Screenshot of the main window: $shot"
else
    echo "No screenshot taken."
fi
echo "Full trace: $CASE_DIR/trace.txt"
exit "$case_failed"
