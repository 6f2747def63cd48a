#!/usr/bin/env bash
# The main job, end to end on one machine: installs what is missing, builds fwt.exe (win64), the
# UI driver and the simulated device through the native build, then tools/wine/demo.py starts the device on a pseudo-terminal mapped to
# COM3, runs the tool under Wine and Xvfb, presses "Update Device" through the UI driver, and
# reports the last trace lines, whether the device's flash matches the image, and the screenshot.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
{ cmake --preset native && cmake --build --preset native --target fwt_win64 fwt-devsim fwt-ptypeer; } \
    >/dev/null || { echo "build failed"; exit 1; }
exec python3 tools/wine/demo.py
