# Sourced by the scripts run by hand (the demo, the benchmark) once their builds are done:
#   source tools/wine/standalone.sh ROOT WORK_NAME "$0" "$@"
# Points the Wine helpers at the tools built under ROOT with the work area build/WORK_NAME, and,
# as root, re-runs the calling script in a private mount namespace where the machine's own serial
# ports are hidden from Wine, so the port scan finds only the simulated devices.
# shellcheck shell=bash

standalone_root=$1
export FWT_WINE_ROOT="$standalone_root/build/$2"
export FWT_WIN64_DIR="$standalone_root/build/win64"
export FWT_DEVSIM="${FWT_DEVSIM:-$standalone_root/build/native/tools/devsim/fwt-devsim}"
export FWT_PTYPEER="$standalone_root/build/native/tools/wine/fwt-ptypeer"
# shellcheck source=lib.sh
source "$standalone_root/tools/wine/lib.sh"
shift 2

if [ "$(id -u)" -eq 0 ]; then
    if [ -z "${FWT_PRIVATE_MOUNTS:-}" ]; then
        exec env FWT_PRIVATE_MOUNTS=1 unshare -m --propagation private bash "$@"
    fi
    hide_machine_serial_ports
fi
