#!/usr/bin/env bash
# The main job, end to end on one machine: installs what is missing, builds fwt.exe (win64) and
# the simulated device, then tools/wine/demo.py starts the device on a pseudo-terminal mapped to
# COM3, runs the tool under Wine and Xvfb, presses "Update Device" through the UI driver, and
# reports the last trace lines, whether the device's flash matches the image, and the screenshot.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
for preset in win64 native; do
    { cmake --preset "$preset" && cmake --build --preset "$preset"; } >/dev/null ||
        { echo "build of preset $preset failed"; exit 1; }
done
exec python3 tools/wine/demo.py
