"""The main job, end to end on one machine (run by tools/demo.sh once the builds are done): starts
the simulated device on a pseudo-terminal mapped to COM3, runs the product, build/win32/fwt.exe
(PE32: 32-bit Wine under QEMU's i386 emulation), under Wine and Xvfb,
presses "Update Device" through the UI driver, and reports the last trace lines, whether the
device's flash matches the image, and where the screenshot is."""

import sys
from pathlib import Path

import fwtwine

ROOT = Path(__file__).resolve().parents[2]


def show_statuses(statuses):
    """The first five status texts, then the last four."""
    lines = [f"  status at {t:6d} ms: {text}" for t, text in statuses]
    if len(lines) > 9:
        lines = lines[:5] + ["  ..."] + lines[-4:]
    for line in lines:
        fwtwine.log(line)


def main():
    tools = fwtwine.Tools(win64_dir=ROOT / "build" / "win64",
                          devsim=ROOT / "build/native/tools/devsim/fwt-devsim",
                          ptypeer=ROOT / "build/native/tools/wine/fwt-ptypeer")
    image = ROOT / "resources" / "placeholder-firmware.bin"
    work = ROOT / "build" / "demo"
    exe = ROOT / "build" / "win32" / "fwt.exe"
    target = fwtwine.Target(exe=exe, env=fwtwine.target_env(exe))
    fwtwine._terminate_on_sigterm()
    fwtwine.hide_machine_serial_ports(work, tools.ptypeer)
    with fwtwine.throwaway_prefix(work) as prefix:
        case = fwtwine.Case("demo", prefix, tools, target, quiet=True)
        with case:
            case.device("device", 3)
            fwtwine.log(f"Simulated device on {case.device_pty('device')}, mapped to COM3; "
                        f"starting {exe.relative_to(ROOT)} ...")
            case.start_tool()
            case.drive("window", 30000, "items", "select", 0, "click",
                       "await", "Programming Completed", 300000, "rect")
            show_statuses(case.driver.statuses())
            shot = case.screenshot()
            case.close_tool_expect(0)
    fwtwine.log()
    fwtwine.log("Last trace lines (standard output of fwt.exe):")
    for line in case.trace()[-12:]:
        fwtwine.log(f"  {line}")
    fwtwine.log()
    case.quiet = False
    case.expect_flash("device", image)
    fwtwine.log()
    fwtwine.log(f"Screenshot of the main window: {shot}" if shot else "No screenshot taken.")
    fwtwine.log(f"Full trace: {case.dir / 'trace.txt'}")
    return 1 if case.failures else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except fwtwine.CaseAbort as e:
        fwtwine.log(f"FAIL: {e}")
        sys.exit(1)
