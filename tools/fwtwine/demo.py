"""The main job, end to end on one machine (run by tools/demo.sh once the builds are done): starts
the simulated device on a pseudo-terminal mapped to COM3, runs the product, build/win32/fwt.exe
(PE32: 32-bit Wine under QEMU's i386 emulation), under Wine and Xvfb, presses "Update Device"
through the UI driver, and reports the last trace lines, whether the device's flash matches the
image, and where the screenshot is."""

import sys

from fwtwine import paths
from fwtwine.case import Case, Target
from fwtwine.cli import target_env
from fwtwine.prefix import hide_machine_serial_ports, throwaway_prefix
from fwtwine.procs import CaseAbort, log, terminate_on_sigterm


def show_statuses(statuses):
    """The first five status texts, then the last four."""
    lines = [f"  status at {t:6d} ms: {text}" for t, text in statuses]
    if len(lines) > 9:
        lines = lines[:5] + ["  ..."] + lines[-4:]
    for line in lines:
        log(line)


def update(case):
    case.device("device", 3)
    exe = case.target.exe.relative_to(paths.ROOT)
    log(f"Simulated device on {case.device_pty('device')}, mapped to COM3; starting {exe} ...")
    case.start_tool()
    steps = ["items", "select", 0, "click", "await", "Programming Completed", 300000]
    case.drive("window", 30000, *steps, "rect")
    show_statuses(case.driver.statuses())
    shot = case.screenshot()
    case.close_tool_expect(0)
    return shot


def main():
    tools, exe, work = paths.tools(), paths.PRODUCT, paths.BUILD / "demo"
    target = Target(exe=exe, env=target_env(exe))
    terminate_on_sigterm()
    hide_machine_serial_ports(work, tools.ptypeer)
    with throwaway_prefix(work) as prefix:
        with Case("demo", prefix, tools, target, quiet=True) as case:
            shot = update(case)
    log()
    log("Last trace lines (standard output of fwt.exe):")
    for line in case.trace()[-12:]:
        log(f"  {line}")
    log()
    case.quiet = False
    case.expect_flash("device", paths.SHIPPED_IMAGE)
    log()
    log(f"Screenshot of the main window: {shot}" if shot else "No screenshot taken.")
    log(f"Full trace: {case.dir / 'trace.txt'}")
    return 1 if case.failures else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except CaseAbort as e:
        log(f"FAIL: {e}")
        sys.exit(1)
