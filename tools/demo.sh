#!/usr/bin/env bash
# The main job, end to end on one machine: installs what is missing, builds the product
# (build/win32/fwt.exe, the file that ships), the UI driver (win64) and the simulated device through
# the native build, then tools/fwtwine/demo.py starts the device on a pseudo-terminal mapped to COM3,
# runs the product under Wine and Xvfb, presses "Update Device" through the UI driver, and reports
# the last trace lines, whether the device's flash matches the image, and the screenshot.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
{ cmake --preset native && cmake --build --preset native --target fwt_win32 fwt_win64 fwt-devsim fwt-ptypeer; } \
    >/dev/null || { echo "build failed"; exit 1; }
export PYTHONPATH=tools
exec python3 -m fwtwine.demo
