"""End-to-end cases of fwt.exe under Wine and Xvfb against simulated devices on pseudo-terminals,
one function a case, as listed in the README. Run by CTest, one case a test:
    python3 tests/wine/cases.py CASE [--exe PATH] [--loader CMD] [--window-ms MS] ...
"prefix-create" and "prefix-remove" make and drop the shared Wine prefix."""

import os
import re
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "wine"))
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import floor  # noqa: E402
import fwtwine  # noqa: E402
import pe_resources  # noqa: E402

CASES = {}


def case(function):
    CASES[function.__name__.removeprefix("case_")] = function
    return function


def small_image():
    return Path(os.environ["FWT_SMALL_IMAGE"])


def shipped_image():
    return Path(os.environ["FWT_SHIPPED_IMAGE"])


def small_device():
    """fwt-devsim options for a device whose image region holds the three-block image."""
    return ["--image-size", hex(fwtwine.padded_size(small_image()))]


def run_until(c, exe, final, limit_ms):
    """A normal run of the tool over the device behind COM3: start, select, press, wait for the
    end. Leaves the tool running."""
    c.start_tool(exe)
    return c.drive("window", 30000, "status", "items", "select", 0, "click",
                   "await", final, limit_ms)


def box_has(c, box, what, pattern, regex=False):
    lines = box.splitlines()
    found = any(re.search(pattern, line) for line in lines) if regex else pattern in box
    c.check(found, f"box has {what}: {pattern}", f"box lacks {what}: {pattern}")


def fatal_box(c):
    boxes = c.driver.boxes()
    return boxes[-1] if boxes else ""


@case
def case_serial_layer(c):
    peer_file = c.dir / "peer-pty"
    c.spawn("pty peer", [c.tools.ptypeer, peer_file], stdout=c.dir / "peer.log",
            stderr=subprocess.STDOUT)
    fwtwine.wait_until(lambda: peer_file.exists() and peer_file.stat().st_size > 0)
    c.map_port(3, peer_file.read_text().strip())
    out = c.dir / "probe.txt"
    rc = c.run_windows_program(c.tools.win64_dir / "fwt-serialprobe.exe", r"\\.\com3", out=out)
    lines = out.read_bytes().decode(errors="replace").replace("\r", "").splitlines()
    for line in lines:
        fwtwine.log(line)
    c.expect_eq("serial probe exit code", 0, rc)
    c.expect_eq("checks passed", 6, sum(1 for line in lines if line.startswith("ok ")))


@case
def case_shipped_image(c):
    c.device("dev", 3, "--pace-requests")
    started = time.time()
    c.start_tool()
    c.drive("stamp", "window", 30000, "status", "items", "select", 0, "click",
            "await", "Programming Completed", 240000)
    idle = c.driver.status_time(" - Idle - ")
    stamps = c.driver.stamps()
    if idle is not None and stamps:
        fwtwine.log(f'start-up, process start to " - Idle - ": '
                    f"{stamps[0] / 1e6 + idle / 1000 - started:.2f} s")
    c.drive("rect")
    shot = c.screenshot()
    if shot:
        fwtwine.log(f"screenshot: {shot}")
    c.close_tool_expect(0)
    c.expect_trace("Running on windows version: a00")
    c.expect_trace("Flash Image Size 0x1d800 bytes")
    c.expect_trace("REMOTE DEVICE LINK ESTABLISHED")
    c.expect_eq("blocks sent", 118, c.trace_count(r"^PROG ADDR "))
    c.expect_eq("blocks acknowledged (- OK)", 118, c.trace_count(r"^- OK$"))
    c.expect_trace("CRCs match")
    c.expect_statuses(" - Idle - ", "Contacting Device...", "Establishing Link...",
                      "programming 0x8004000", "programming 0x8021400", "Programming Completed")
    c.expect_flash("dev", shipped_image())
    t0 = c.driver.status_time("Contacting Device...")
    t1 = c.driver.status_time("Programming Completed")
    if t0 is not None and t1 is not None:
        fwtwine.log(f'press to "Programming Completed": {t1 - t0} ms')
    intervals = sorted(block_intervals_ms(c.device_log("dev")))
    if intervals:
        median = intervals[len(intervals) // 2]
        block_floor = floor.floor(1).block_ms
        # The tool mostly sleeps, so a schedule gone wrong (a tick or a sleep of the wrong
        # length) shows here, emulated or not.
        c.check(median <= block_floor * 1.2,
                f"median block interval {median:.1f} ms, floor {block_floor:.1f} ms "
                f"(ratio {median / block_floor:.3f}, at most 1.2)",
                f"median block interval {median:.1f} ms against a floor of {block_floor:.1f} ms")


@case
def case_late_power_up(c):
    c.device("dev", 3, *small_device(), "--power-delay-ms", 4000)
    run_until(c, c.target.small_exe, "Programming Completed", 60000)
    c.close_tool_expect(0)
    contacts = c.trace_count(r"^CONTACTING\.\.\.$")
    c.check(contacts >= 20, f"{contacts} contact requests before the device answered",
            f"only {contacts} contact requests for a 4 s power-up delay")
    c.expect_trace("REMOTE DEVICE LINK ESTABLISHED")
    c.expect_trace("CRCs match")
    c.expect_statuses("Contacting Device...", "Establishing Link...", "programming 0x8004000",
                      "Programming Completed")
    c.expect_flash("dev", small_image())


@case
def case_wrong_checksum_retry(c):
    """A run that ends in "FAILED" leaves the port open; a second press on the same port must
    close it and start afresh instead of ending the tool. Twice: after a wrong checksum, and
    after a block refused by the device."""
    c.device("bad", 3, *small_device(), "--wrong-crc")
    bad_pty = c.device_pty("bad")
    run_until(c, c.target.small_exe, "FAILED", 60000)
    c.expect_trace("CRC FAIL")
    if c.holders_of(bad_pty):
        fwtwine.log(f"ok   after FAILED the tool still holds {bad_pty}")
    c.stop_device("bad")
    # A device that refuses block 3 with an exception reply: "FAILED" at once, nothing sent after.
    c.device("refusing", 3, *small_device(), "--refuse", "block:3")
    refusing_pty = c.device_pty("refusing")
    seen = len(c.driver.statuses())
    c.drive("click", "await", "FAILED", 60000)
    c.expect_eq("processes still holding the failed run's port", [], c.holders_of(bad_pty))
    c.stop_device("refusing")
    times = {text: t for t, text in c.driver.statuses()[seen:]}
    late = times["FAILED"] - times["programming 0x8004800"]
    c.check(late <= 1000, f"block 3 shown to FAILED: {late} ms", f"block 3 to FAILED: {late} ms")
    c.expect_eq("device's last line", "refused, exception 04", c.device_log("refusing")[-1][-21:])
    c.expect_trace("ERROR DEVICE REFUSED BLOCK, EXCEPTION 04")
    c.device("good", 3, *small_device())
    c.drive("click", "await", "Programming Completed", 60000)
    c.expect_eq("processes still holding the refused run's port", [], c.holders_of(refusing_pty))
    c.close_tool_expect(0)
    c.expect_eq("ports opened", 3,
                c.trace_count(r"^ \. Opening serial port \\\\\.\\com3 at 115200 baud$"))
    c.expect_statuses("Establishing Link...", "FAILED", "programming 0x8004800", "FAILED",
                      "Contacting Device...", "Establishing Link...", "Programming Completed")
    c.expect_flash("good", small_image())


@case
def case_restart_mid_run(c):
    c.device("dev", 3, *small_device())
    run_until(c, c.target.small_exe, "programming 0x8004400", 60000)
    c.drive("click", "await", "Programming Completed", 60000)
    c.close_tool_expect(0)
    c.expect_eq("ports opened", 2, c.trace_count(r"Opening serial port"))
    c.expect_eq("first block sent (once per run)", 2, c.trace_count(r"^PROG ADDR 0x8004000,"))
    c.expect_trace("CRCs match")
    c.expect_statuses("programming 0x8004400", "Contacting Device...", "Establishing Link...",
                      "programming 0x8004000", "Programming Completed")
    c.expect_flash("dev", small_image())


@case
def case_two_ports(c):
    c.device("three", 3, *small_device())
    c.device("ten", 10, *small_device())
    c.start_tool(c.target.small_exe)
    c.drive("window", 30000, "items", "select", 1, "click", "await", "Programming Completed", 60000)
    c.expect_eq("port list", [r"\\.\com3", r"\\.\com10"], c.driver.items())
    c.close_tool_expect(0)
    c.expect_trace(r" . Opening serial port \\.\com10 at 115200 baud")
    c.expect_flash("ten", small_image())
    if c.flash_path("three").exists():
        c.fail("the device behind COM3 was restarted")
    three_log = c.device_log("three")
    if any(re.search(r"rx|request", line, re.I) for line in three_log):
        fwtwine.log(f"note: device behind COM3 logged: {' | '.join(three_log[-2:])}")


@case
def case_no_ports(c):
    c.start_tool(c.target.small_exe)
    c.drive("window", 30000, "items", "status", "click", "status")
    c.expect_eq("port list entries", 0, len(c.driver.items()))
    c.expect_statuses(" - Idle - ", "No COM port selected")
    c.close_tool_expect(0)
    c.expect_no_trace("Opening serial port")


@case
def case_port_gone(c):
    """Runs the target's product (--exe), the shipped 32-bit one included: no block is written,
    so the image does not matter."""
    c.device("dev", 3, *small_device())
    c.start_tool()
    c.drive("window", 30000, "items")
    c.expect_eq("port list", [r"\\.\com3"], c.driver.items())
    # The adapter is unplugged: the device and its terminal go away.
    c.stop_device("dev")
    c.unmap_port(3)
    c.drive("click", "box", 20000)
    c.expect_eq("exit code", 1, c.wait_tool())
    box = fatal_box(c)
    fwtwine.log(f"box-begin\n{box}\nbox-end")
    box_has(c, box, "the failure",
            "          Unable to open serial port. In use already, or not present")
    box_has(c, box, "the error number", r"^Error number [1-9][0-9]* reported", regex=True)
    # The system's description of the error follows the number line.
    lines = box.splitlines()
    after = [lines[i + 1] for i, line in enumerate(lines[:-1]) if line.startswith("Error number")]
    c.check(bool(after) and re.search(r"[A-Za-z]", after[-1]) is not None,
            "box: the system's description follows the error number",
            "no system description after the error number")
    box_has(c, box, "the closing text", " The program will now abort")


@case
def case_empty_image(c):
    c.start_tool(c.target.noimage_exe)
    c.drive("box", 30000)
    c.expect_eq("exit code", 1, c.wait_tool())
    box_has(c, fatal_box(c), "the failure", "          Firmware image missing or empty")
    c.expect_no_trace("Flash Image Size")


def damaged_copy(c):
    """A copy of the tool in the case's directory with the middle byte of its image flipped."""
    copy = c.dir / "damaged.exe"
    at = pe_resources.flip_image_byte(c.target.exe, copy)
    fwtwine.log(f"{copy}: image byte at file offset {at:#x} flipped")
    return copy


# One flipped byte in the image: start-up refuses it before the window appears, and the device
# behind the port hears nothing.
@case
def case_damaged_image(c):
    damaged = damaged_copy(c)
    c.device("dev", 3)
    c.start_tool(damaged)
    c.drive("box", 30000)
    c.expect_eq("exit code", 1, c.wait_tool())
    box = fatal_box(c)
    box_has(c, box, "the failure", "          Firmware image damaged")
    box_has(c, box, "the closing text", " The program will now abort")
    c.check("Error number" not in box, "box quotes no system error",
            "box quotes a system error")
    # The version line is traced right after the window is shown.
    c.expect_no_trace("Running on windows version")
    c.expect_no_trace("Flash Image Size")
    # The device logs every byte it hears (the first one powers it up).
    c.expect_eq("lines in the device's log", [], c.device_log("dev"))


# CNG's SHA-256 against known digests, and the image check's cost (budget 20 ms).
@case
def case_image_check_probe(c):
    out = c.dir / "probe.txt"
    rc = c.run_windows_program(c.tools.win64_dir / "fwt-imagecheckprobe.exe", c.target.exe,
                               damaged_copy(c), out=out)
    for line in out.read_text(errors="replace").replace("\r", "").splitlines():
        fwtwine.log(line)
    c.expect_eq("image check probe exit code", 0, rc)


def block_intervals_ms(device_log):
    """From a device's request log: the time between the arrivals of consecutive block requests,
    each holding one whole block cycle."""
    times = [float(line.split()[0]) for line in device_log
             if len(line.split()) > 1 and line.split()[1] == "block"]
    return [(b - a) * 1000 for a, b in zip(times, times[1:])]


if __name__ == "__main__":
    sys.exit(fwtwine.main(CASES))
