"""End-to-end cases of fwt.exe under Wine and Xvfb against simulated devices on pseudo-terminals,
one function a case, as listed in the README: the update runs here, the window's own cases in
window_cases.py, the steps they share in steps.py. Run by CTest, one case a test:
    PYTHONPATH=tools:bench python3 tests/wine/cases.py CASE [--exe PATH] [--loader CMD] ...
"prefix-create" and "prefix-remove" make and drop the shared Wine prefix."""

import re
import shutil
import statistics
import subprocess
import sys
import time

import figures
import floor
import window_cases
from fwtwine import cli, paths, pe
from fwtwine.procs import CaseAbort, log, wait_until
from steps import (
    TITLE,
    check_caption_progress,
    expect_log_ends,
    expect_log_is_trace,
    expect_update,
    fresh_log_dir,
    log_dir,
    blocked_log_folder,
    box_has,
    register,
    run_until,
    shipped_image,
    small_device,
    small_image,
)
from window_cases import IDM_ABOUT

CASES = {}
case = register(CASES)


@case
def case_serial_layer(c):
    peer_file = c.dir / "peer-pty"
    out = c.dir / "peer.log"
    c.spawn("pty peer", [c.tools.ptypeer, peer_file], stdout=out, stderr=subprocess.STDOUT)
    wait_until(lambda: peer_file.exists() and peer_file.stat().st_size > 0)
    c.map_port(3, peer_file.read_text().strip())
    out = c.dir / "probe.txt"
    rc = c.run_windows_program(c.tools.win64_dir / "fwt-serialprobe.exe", r"\\.\com3", out=out)
    lines = out.read_bytes().decode(errors="replace").replace("\r", "").splitlines()
    for line in lines:
        log(line)
    c.expect_eq("serial probe exit code", 0, rc)
    c.expect_eq("checks passed", 6, sum(1 for line in lines if line.startswith("ok ")))


@case
def case_shipped_image(c):
    """The shipped product, run from a folder that also holds DLLs named like system DLLs, such as
    a web page might drop into Downloads, with Wine told to take those from the program's folder
    first, as Windows does for any DLL outside its KnownDLLs: none of them runs inside the tool,
    and the update completes. Block 60's acknowledgement is lost: a stall of 10 s, then the block
    is sent again."""
    downloads, overrides = planted_downloads(c)
    c.device("dev", 3, "--pace-requests", "--drop", "block:60")
    fresh_log_dir(c)
    started = time.time()
    c.start_tool(downloads / c.target.exe.name, env={"WINEDLLOVERRIDES": overrides})
    steps = ["status", "items", "select", 0, "click", "watch", "Programming Completed", 240000]
    c.drive("stamp", "window", 30000, *steps)
    idle = c.driver.status_time(" - Idle - ")
    stamps = c.driver.stamps()
    if idle is not None and stamps:
        log(
            f'start-up, process start to " - Idle - ": {stamps[0] / 1e6 + idle / 1000 - started:.2f} s'
        )
    c.drive("rect")
    shot = c.screenshot()
    if shot:
        log(f"screenshot: {shot}")
    c.close_tool_expect(0)
    check_caption_progress(c)
    check_stall_caption(c)
    expect_log_is_trace(c)
    c.expect_trace("Running on windows version: a00")
    c.expect_trace("Flash Image Size 0x1d800 bytes")
    c.expect_trace("REMOTE DEVICE LINK ESTABLISHED")
    blocks = floor.blocks_of(shipped_image().stat().st_size)
    c.expect_eq("blocks sent (block 60 twice)", blocks + 1, c.trace_count(r"^PROG ADDR "))
    c.expect_eq("time-outs", 1, c.trace_count(r"TIMEOUT$"))
    c.expect_eq("blocks acknowledged (- OK)", blocks, c.trace_count(r"^- OK$"))
    statuses = ["programming 0x8004000", "programming 0x8021400", "Programming Completed"]
    expect_update(
        c,
        "dev",
        shipped_image(),
        " - Idle - ",
        "Contacting Device...",
        "Establishing Link...",
        *statuses,
    )
    t0 = c.driver.status_time("Contacting Device...")
    t1 = c.driver.status_time("Programming Completed")
    if t0 is not None and t1 is not None:
        log(f'press to "Programming Completed": {t1 - t0} ms')
    check_block_pace(c, "dev")
    for name in PLANTED:
        mark = downloads / f"{name}.ran"
        ran = mark.read_text(errors="replace").strip() if mark.exists() else ""
        c.check(not mark.exists(), f"the planted {name} never ran", f"planted {name} ran in {ran}")


# bcrypt.dll: CNG, which the tool loads itself; uxtheme.dll: loaded by the system by its name
# when the window is made, so only the tool's narrowed DLL search keeps the program's folder out.
PLANTED = ("bcrypt.dll", "uxtheme.dll")


def planted_downloads(c):
    """A folder holding a copy of the tool and the planted DLL under each name in PLANTED (its
    DllMain leaves NAME.ran beside it); returns it and the Wine DLL overrides that make Wine look
    for those DLLs in the program's folder first."""
    planted = paths.planted_dll()
    if not planted.is_file() or pe.is_i386(planted) != pe.is_i386(c.target.exe):
        raise CaseAbort(f"no planted DLL for {c.target.exe} at {planted} (win32 builds it)")
    downloads = c.dir / "Downloads"
    downloads.mkdir()
    shutil.copy2(c.target.exe, downloads / c.target.exe.name)
    for name in PLANTED:
        shutil.copy2(planted, downloads / name)
    log(f"{downloads}: {c.target.exe.name}, and the planted DLL as {', '.join(PLANTED)}")
    names = ",".join(name.removesuffix(".dll") for name in PLANTED)
    return downloads, c.env()["WINEDLLOVERRIDES"] + f";{names}=n,b"


def check_stall_caption(c):
    """In the stall, the caption drops the time left it showed before and shows it again once
    blocks are acknowledged again."""
    texts = [text.removesuffix(" - " + TITLE) for _, text in c.driver.captions()]
    stalled = [i for i, text in enumerate(texts) if re.fullmatch(r"(4\d|5\d)%", text)]
    c.check(
        bool(stalled) and "left" in texts[stalled[0] - 1] and "left" in texts[stalled[-1] + 1],
        f"the time left went from the caption in the stall: {[texts[i] for i in stalled]}",
        "no caption without the time left during the stall at block 60",
    )


def check_block_pace(c, device):
    """The median time a block takes stays under ten times the floor: a far bound that a busy
    machine does not reach, and a stalled schedule does. The figure against the floor (1.2 times
    is the target) is the benchmark's; the schedule itself is held in virtual time natively."""
    intervals = [ms for _, ms in figures.block_intervals(c.device_log(device))]
    if not intervals:
        return
    median = statistics.median(intervals)
    block_floor = floor.floor(1).block_ms
    c.check(
        median <= block_floor * 10,
        f"median block interval {median:.1f} ms, floor {block_floor:.1f} ms "
        f"(ratio {median / block_floor:.3f}, bound 10)",
        f"median block interval {median:.1f} ms against a floor of {block_floor:.1f} ms",
    )


@case
def case_late_power_up(c):
    c.device("dev", 3, *small_device(), "--power-delay-ms", 4000)
    # No log can be made: the run is as before, with no box.
    with blocked_log_folder(c):
        run_until(c, c.target.small_exe, "Programming Completed", 60000)
        c.drive("syscommand", IDM_ABOUT, "titled-box", "About " + TITLE, 20000)
        no_log = "(no log is written: the folder cannot be written)"
        box_has(c, c.driver.last_box(), "that no log is written", no_log)
        c.close_tool_expect(0)
        c.expect_eq("files in the way of the log folder", [], list(log_dir(c).parent.glob("*")))
    # About 36 go out at one every 110 ms; eight still shows the resends on a slowed machine.
    contacts = c.trace_count(r"^CONTACTING\.\.\.$")
    c.check(
        contacts >= 8,
        f"{contacts} contact requests before the device answered",
        f"only {contacts} contact requests for a 4 s power-up delay",
    )
    c.expect_trace("REMOTE DEVICE LINK ESTABLISHED")
    statuses = ["Establishing Link...", "programming 0x8004000", "Programming Completed"]
    expect_update(c, "dev", small_image(), "Contacting Device...", *statuses)


@case
def case_wrong_checksum_retry(c):
    """A run that ends in "FAILED" leaves the port open; a second press on the same port must
    close it and start afresh instead of ending the tool. After a wrong checksum, and after a
    block and the checksum request refused by the device; a restart answered with an exception
    completes the run. At each run's end the log on disk already ends with the run's last
    line."""
    c.device("bad", 3, *small_device(), "--wrong-crc")
    bad_pty = c.device_pty("bad")
    fresh_log_dir(c)
    c.start_tool(c.target.small_exe)
    c.drive("window", 30000, "items", "select", 0, "click", "watch", "FAILED", 60000)
    c.expect_trace("CRC FAIL")
    expect_log_ends(c, "CRC FAIL")
    seen = [text for _, text in c.driver.captions()]
    c.check(
        "100% - " + TITLE in seen and seen[-1] == TITLE,
        "caption: 100% while verifying, the title again at FAILED",
        f"captions: {seen}",
    )
    if c.holders_of(bad_pty):
        log(f"ok   after FAILED the tool still holds {bad_pty}")
    # The failed run holds its port: a refresh now would rescan, so a port linked meanwhile
    # must not appear.
    c.map_port(20, bad_pty)
    listed = len(c.driver.items())
    c.drive("dropdown", "devchange", "items")
    c.expect_eq("port list refreshed after FAILED", [r"\\.\com3"], c.driver.items()[listed:])
    c.unmap_port(20)
    c.stop_device("bad")
    refused_block(c, bad_pty)
    c.expect_eq(
        "ports opened", 5, c.trace_count(r"^ \. Opening serial port \\\\\.\\com3 at 115200 baud$")
    )
    statuses = ["Establishing Link...", "FAILED", "programming 0x8004800", "FAILED"]
    # "Program Verified OK" is replaced at once: the trace's "CRCs match" stands for it.
    refusals = ["Verifying...", "FAILED", "Resetting target...", "Programming Completed"]
    c.expect_eq(
        "checksums matched (exception to the restart, last run)", 2, c.trace_count(r"^CRCs match$")
    )
    c.expect_statuses(
        *statuses,
        *refusals,
        "Contacting Device...",
        "Establishing Link...",
        "Programming Completed",
    )
    c.expect_flash("good", small_image())


def refused_block(c, bad_pty):
    """A device that refuses block 3 with an exception reply: "FAILED" at once, nothing sent
    after; so for the checksum request. One that answers the restart with an exception: the
    image is written and verified, so the run completes. Then a good device, and a press
    completes."""
    c.device("refusing", 3, *small_device(), "--refuse", "block:3")
    refusing_pty = c.device_pty("refusing")
    seen = len(c.driver.statuses())
    c.drive("click", "await", "FAILED", 60000)
    c.expect_eq("processes still holding the failed run's port", [], c.holders_of(bad_pty))
    c.stop_device("refusing")
    times = {text: t for t, text in c.driver.statuses()[seen:]}
    late = times["FAILED"] - times["programming 0x8004800"]
    # Far above the few hundred ms it takes, and still below the 10 s reply time-out that an
    # unnoticed refusal would wait for.
    c.check(late <= 5000, f"block 3 shown to FAILED: {late} ms", f"block 3 to FAILED: {late} ms")
    c.expect_eq("device's last line", "refused, exception 04", c.device_log("refusing")[-1][-21:])
    expect_log_ends(c, "ERROR DEVICE REFUSED BLOCK, EXCEPTION 04")
    refused(c, "nochecksum", ["--refuse", "checksum:all", "--refusal-without-code"])
    c.expect_eq("device's last line", "refused, no code", c.device_log("nochecksum")[-1][-16:])
    expect_log_ends(c, "ERROR DEVICE REFUSED CHECKSUM")
    refused(c, "norestart", ["--refuse", "restart:1", "--refusal-code", 1], "Programming Completed")
    c.expect_eq("device's last line", "refused, exception 01", c.device_log("norestart")[-1][-21:])
    expect_log_ends(c, "RESTART ANSWERED WITH EXCEPTION 01")
    c.check(not c.flash_path("norestart").exists(), "no restart", "the device restarted")
    c.device("good", 3, *small_device())
    # The last run ended "Programming Completed" too: the new run is awaited first.
    c.drive(
        "click", "await", "Establishing Link...", 60000, "await", "Programming Completed", 60000
    )
    c.expect_eq("processes still holding the refused run's port", [], c.holders_of(refusing_pty))
    c.close_tool_expect(0)


def refused(c, device, options, end="FAILED"):
    """A device with these refusals on COM3, a press, the run's END status; then a second of
    silence: the device's log gains nothing. The device is stopped afterwards."""
    c.device(device, 3, *small_device(), *options)
    c.drive("click", "await", end, 60000)
    heard = len(c.device_log(device))
    c.drive("sleep", 1000)
    c.expect_eq(f"requests heard by {device} after {end}", heard, len(c.device_log(device)))
    c.stop_device(device)


@case
def case_restart_mid_run(c):
    c.device("dev", 3, *small_device())
    run_until(c, c.target.small_exe, "programming 0x8004400", 60000)
    c.drive("click", "await", "Programming Completed", 60000)
    c.close_tool_expect(0)
    c.expect_eq("ports opened", 2, c.trace_count(r"Opening serial port"))
    c.expect_eq("first block sent (once per run)", 2, c.trace_count(r"^PROG ADDR 0x8004000,"))
    statuses = ["Contacting Device...", "Establishing Link...", "programming 0x8004000"]
    expect_update(
        c, "dev", small_image(), "programming 0x8004400", *statuses, "Programming Completed"
    )


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
        log(f"note: device behind COM3 logged: {' | '.join(three_log[-2:])}")


@case
def case_adapter_pulled(c):
    """The device's terminal closes after the first block: the run ends with "Adapter
    disconnected" for good. The port is given up and leaves the list at once; 15 s on nothing
    more was sent and the status stands; a session end is not refused and a close asks nothing.
    With a device back on COM3, a new start lists it and a press completes."""
    c.device("dev", 3, *small_device(), "--flash-ms", 500)
    pty = c.device_pty("dev")
    fresh_log_dir(c)
    run_until(c, c.target.small_exe, "programming 0x8004400", 60000)
    pulled = time.monotonic()
    c.stop_device("dev")
    c.drive("await", "Adapter disconnected", 5000)
    log(f'pulled to "Adapter disconnected" seen: {time.monotonic() - pulled:.2f} s')
    c.expect_eq("processes still holding the lost port", [], c.holders_of(pty))
    expect_log_ends(c, r" . Serial port \\.\com3 lost: it no longer answers")
    c.driver.lines.clear()
    c.drive("items", "endsession", "sleep", 15000, "status", "click", "status", "ask-close")
    c.expect_eq("port list right after the loss", [], c.driver.items())
    c.expect_eq("WM_QUERYENDSESSION after the loss", [1], c.driver.values("endsession"))
    statuses = [text for _, text in c.driver.statuses()]
    after = ["Adapter disconnected", "No COM port selected"]
    c.expect_eq("status 15 s after the loss, then after a press", after, statuses)
    c.expect_eq("exit code of a close after the loss, nothing asked", 0, c.wait_tool())
    lost = r"^ \. Serial port \\\\\.\\com3 lost: it no longer answers$"
    c.expect_eq("trace: port lost", 1, c.trace_count(lost))
    trace = c.trace()
    at = next((k for k, line in enumerate(trace) if re.search(lost, line)), len(trace))
    c.expect_eq("trace after the loss (nothing resent)", [], trace[at + 1 :])
    c.device("back", 3, *small_device())
    # The first start's log is cleared away so that the new start's log is the only one.
    fresh_log_dir(c)
    run_until(c, c.target.small_exe, "Programming Completed", 60000)
    expect_log_ends(c, "frame length    5 bytes received & OK")
    c.close_tool_expect(0)
    c.expect_statuses("Contacting Device...", "Programming Completed")
    c.expect_flash("back", small_image())


if __name__ == "__main__":
    sys.exit(cli.main({**CASES, **window_cases.CASES}))
