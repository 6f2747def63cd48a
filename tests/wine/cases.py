"""End-to-end cases of fwt.exe under Wine and Xvfb against simulated devices on pseudo-terminals,
one function a case, as listed in the README: the update runs here, the window's own cases in
window_cases.py, the steps they share in steps.py. Run by CTest, one case a test:
    PYTHONPATH=tools:bench python3 tests/wine/cases.py CASE [--exe PATH] [--loader CMD] ...
"prefix-create" and "prefix-remove" make and drop the shared Wine prefix."""

import csv
import hashlib
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
from fwtwine.prefix import WINE64
from fwtwine.procs import CaseAbort, end, log, wait_until
from steps import (
    RUNS_HEADER,
    TITLE,
    check_caption_progress,
    expect_log_ends,
    expect_log_is_trace,
    expect_runs,
    expect_update,
    fresh_log_dir,
    log_dir,
    blocked_log_folder,
    box_has,
    register,
    run_until,
    runs_rows,
    shipped_image,
    small_device,
    small_image,
)
from window_cases import IDM_ABOUT, await_ports

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
    record = (expect_runs(c, c.target.exe, "completed") + [{}])[0]
    c.expect_eq("blocks in runs.csv", str(blocks), record.get("blocks"))
    c.expect_eq(
        "resends in runs.csv, as the trace shows them",
        str(resends_in_trace(c)),
        record.get("resends"),
    )
    if t0 is not None and t1 is not None and record:
        shown = (t1 - t0) / 1000
        c.check(
            abs(float(record["seconds"]) - shown) < 3,
            f"seconds in runs.csv {record['seconds']}, press to the end seen {shown:.1f}",
            f"seconds in runs.csv {record['seconds']}, press to the end seen {shown:.1f}",
        )
    for name in PLANTED:
        mark = downloads / f"{name}.ran"
        ran = mark.read_text(errors="replace").strip() if mark.exists() else ""
        c.check(not mark.exists(), f"the planted {name} never ran", f"planted {name} ran in {ran}")


def resends_in_trace(c):
    """Requests sent again, as the trace shows them: contact requests, checksum requests and
    restarts after the first, and each block sent after a time-out."""
    again = c.trace_count(r"TIMEOUT$")
    for first in (r"^CONTACTING\.\.\.$", r"^Verifying address ", r"^Resetting target$"):
        again += max(0, c.trace_count(first) - 1)
    return again


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
    line. While the port is held, a port linked meanwhile is listed and the pick stays; a press
    on a port another copy holds says so and changes nothing; a failed run's adapter pulled (a
    removal notice) and plugged back returns to the list, and a press on it runs."""
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
    # The failed run holds its port: it stays listed, a port linked meanwhile appears, and the
    # pick (entry 0) stays selected.
    c.map_port(20, bad_pty)
    listed = len(c.driver.items())
    c.drive("dropdown", "devchange", "items", "selected")
    both = [r"\\.\com3", r"\\.\com20"]
    c.expect_eq("port list refreshed after FAILED", both, c.driver.items()[listed:])
    c.expect_eq("selected after COM20 appeared", [0], c.driver.values("selected")[-1:])
    # Another copy holds COM20: a press on it opens nothing and leaves the held port alone.
    c.drive("lock", 20, "select", 1, "click", "status", "select", 0)
    busy = "Port in use by another program"
    c.expect_eq("status of a press on COM20", busy, c.driver.statuses()[-1][1])
    c.expect_no_trace(r"Opening serial port \\.\com20")
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
    records = expect_runs(c, c.target.small_exe, *["failed"] * 3, "completed", "completed")
    c.expect_eq("blocks in runs.csv", ["3", "2", "3", "3", "3"], [r["blocks"] for r in records])


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
    refused(c, "nochecksum", ["--refuse", "checksum:all", "--refusal-without-code"], stop=False)
    # Checked before a later device can be given the same terminal's number.
    c.expect_eq("processes still holding the refused run's port", [], c.holders_of(refusing_pty))
    c.expect_eq("device's last line", "refused, no code", c.device_log("nochecksum")[-1][-16:])
    expect_log_ends(c, "ERROR DEVICE REFUSED CHECKSUM")
    # The failed run's adapter pulled and plugged back: the removal notice gives the held port
    # up, and the device notice lists it again (the unlinked COM20 goes). Asked while the
    # terminal is still there: once its device ends, the tool's descriptor no longer reads as its
    # path.
    nochecksum_pty = c.device_pty("nochecksum")
    device_pid = c.devices["nochecksum"].pid

    def tool_holders():
        return [pid for pid in c.holders_of(nochecksum_pty) if pid != device_pid]

    c.check(bool(tool_holders()), "FAILED keeps the port", "FAILED gave the port up")
    c.drive("devremove", 3)
    c.expect_eq(
        "processes holding the failed run's port after its removal notice", [], tool_holders()
    )
    c.stop_device("nochecksum")
    refused(
        c,
        "norestart",
        ["--refuse", "restart:1", "--refusal-code", 1],
        "Programming Completed",
        plugged_back=True,
    )
    c.expect_eq("device's last line", "refused, exception 01", c.device_log("norestart")[-1][-21:])
    expect_log_ends(c, "RESTART ANSWERED WITH EXCEPTION 01")
    c.check(not c.flash_path("norestart").exists(), "no restart", "the device restarted")
    c.device("good", 3, *small_device())
    # The last run ended "Programming Completed" too: the new run is awaited first.
    c.drive(
        "click", "await", "Establishing Link...", 60000, "await", "Programming Completed", 60000
    )
    c.close_tool_expect(0)


def refused(c, device, options, end="FAILED", stop=True, plugged_back=False):
    """A device with these refusals on COM3, a press, the run's END status; then a second of
    silence: the device's log gains nothing. The device is stopped afterwards, unless `stop` is
    false. `plugged_back`: COM3 was taken out of the list by a removal notice, and a device
    notice lists it again before the press."""
    c.device(device, 3, *small_device(), *options)
    if plugged_back:
        c.drive("devchange")
        await_ports(c, [r"\\.\com3"], 0, ", the failed run's port plugged back")
    c.drive("click", "await", end, 60000)
    heard = len(c.device_log(device))
    c.drive("sleep", 1000)
    c.expect_eq(f"requests heard by {device} after {end}", heard, len(c.device_log(device)))
    if stop:
        c.stop_device(device)


@case
def case_restart_mid_run(c):
    """A second press while blocks are written starts the run again and it completes; the first
    run is recorded as abandoned. The device takes 1.5 s over each block, so that the first run
    is still writing when the second press comes."""
    c.device("dev", 3, *small_device(), "--flash-ms", 1500)
    fresh_log_dir(c)
    run_until(c, c.target.small_exe, "programming 0x8004400", 60000)
    c.drive("click", "await", "Programming Completed", 60000)
    c.close_tool_expect(0)
    blocks = [r["blocks"] for r in expect_runs(c, c.target.small_exe, "abandoned", "completed")]
    c.check(
        blocks[:1] in (["1"], ["2"]) and blocks[1:] == ["3"], f"blocks {blocks}", f"blocks {blocks}"
    )
    c.expect_eq("ports opened", 2, c.trace_count(r"Opening serial port"))
    c.expect_eq("first block sent (once per run)", 2, c.trace_count(r"^PROG ADDR 0x8004000,"))
    statuses = ["Contacting Device...", "Establishing Link...", "programming 0x8004000"]
    expect_update(
        c, "dev", small_image(), "programming 0x8004400", *statuses, "Programming Completed"
    )


@case
def case_two_ports(c):
    """The second entry updates the device behind COM10; a press during that run on COM3, which
    another copy holds, says so and the run goes on untouched."""
    c.device("three", 3, *small_device())
    c.device("ten", 10, *small_device(), "--flash-ms", 500)
    c.start_tool(c.target.small_exe)
    run = ["items", "select", 1, "click", "await", "programming 0x8004000", 60000]
    busy = ["lock", 3, "select", 0, "click", "await", "Port in use by another program", 5000]
    c.drive("window", 30000, *run, *busy, "await", "Programming Completed", 60000)
    c.expect_eq("port list", [r"\\.\com3", r"\\.\com10"], c.driver.items())
    c.close_tool_expect(0)
    c.expect_eq("ports opened", 1, c.trace_count(r"Opening serial port"))
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
    record = (expect_runs(c, c.target.small_exe, "disconnected") + [{}])[0]
    c.expect_eq("blocks of the lost run in runs.csv", "1", record.get("blocks"))
    c.device("back", 3, *small_device())
    # The first start's log is cleared away so that the new start's log is the only one.
    fresh_log_dir(c)
    run_until(c, c.target.small_exe, "Programming Completed", 60000)
    expect_log_ends(c, "frame length    5 bytes received & OK")
    c.close_tool_expect(0)
    c.expect_statuses("Contacting Device...", "Programming Completed")
    c.expect_flash("back", small_image())
    expect_runs(c, c.target.small_exe, "completed")


# Copies of the append probe started at once, the lines each appends, and a size limit small
# enough that runs.csv is renamed several times while they write.
APPEND_COPIES = 4
APPEND_LINES = 400
APPEND_LIMIT = 200_000


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


@case
def case_appends(c):
    """Several processes append run records to one runs.csv at once, through the tool's own
    code: every line arrives whole, none is lost or doubled, the header heads each file once, and
    the files renamed past the limit lose nothing. Then DeleteFileW from another process on a
    file held open as the tool holds its log: refused."""
    folder = c.dir / "records"
    folder.mkdir()
    go = c.dir / "go"
    probe = c.tools.win64_dir / "fwt-appendprobe.exe"
    outs = [c.dir / f"append-{k}.txt" for k in range(1, APPEND_COPIES + 1)]
    copies = []
    for k, out in enumerate(outs, 1):
        args = ["append", windows_path(folder), k, APPEND_LINES, APPEND_LIMIT, windows_path(go)]
        argv = [WINE64, probe, *map(str, args)]
        copies.append(c.spawn(f"append probe {k}", argv, stdout=out, stderr=subprocess.STDOUT))
    ready = wait_until(lambda: all(o.exists() and b"ok ready" in o.read_bytes() for o in outs), 60)
    c.check(ready, f"{APPEND_COPIES} copies waiting", "not every copy started")
    go.write_text("go\n")
    codes = [proc.wait(120 * c.target.time_scale) for proc in copies]
    for out in outs:
        log(out.read_bytes().decode(errors="replace").replace("\r", "").strip().splitlines()[-1])
    c.expect_eq("append probes' exit codes", [0] * APPEND_COPIES, codes)
    files = sorted(folder.glob("runs*.csv"))
    log(f"files: {', '.join(f'{p.name} {p.stat().st_size} bytes' for p in files)}")
    c.check(len(files) >= 3, f"renamed past the limit: {len(files)} files", f"files: {files}")
    c.expect_eq(
        "files left besides the records", [], [p.name for p in folder.iterdir() if p not in files]
    )
    seen, bad = [], []
    for path in files:
        for row in runs_rows(c, path.read_bytes()):
            key = appended_line(row)
            (seen if key else bad).append(key or row)
    c.expect_eq("lines cut, mixed or altered (the first three)", [], bad[:3])
    wanted = [(k, i) for k in range(1, APPEND_COPIES + 1) for i in range(APPEND_LINES)]
    missing = sorted(set(wanted) - set(seen))
    c.check(
        sorted(seen) == wanted,
        f"all {len(wanted)} lines there, each once",
        f"{len(seen)} lines of {len(wanted)}; missing (the first five) {missing[:5]}",
    )
    held_by_other(c, probe)
    full_and_held(c, probe, folder, go)
    held_for_reading(c, probe, folder, go)


def appended_line(row):
    """(copy, line) when the row is exactly what the probe's copy wrote as that line, else None."""
    m = re.fullmatch(r"copy (\d+) line (\d+) x{300}", row[-1]) if len(row) == 9 else None
    if not m:
        return None
    k, i = int(m[1]), int(m[2])
    want = [
        f"2026-12-11T10:00:{i % 60:02d}Z",
        f"COM{k}",
        ("completed", "failed", "disconnected", "abandoned")[i % 4],
        f"{i // 10}.{i % 10}",
        str(i),
        str(k),
        "00112233445566778899aabbccddeeff" * 2,
        'probe, "quoted"',
        row[-1],
    ]
    return (k, i) if row == want else None


def append_while_held(c, probe, folder, go, mode, copy, limit):
    """One line of `copy` appended to runs.csv in `folder` while another process holds runs.csv
    open (`mode`: the probe's hold or holdread); the probe's exit code."""
    out = c.dir / f"{mode}-records.txt"
    argv = [WINE64, probe, mode, windows_path(folder / "runs.csv"), "20000"]
    holder = c.spawn(f"{mode} probe", argv, stdout=out, stderr=subprocess.STDOUT)
    try:
        wait_until(lambda: out.exists() and b"held" in out.read_bytes(), 30)
        args = ["append", windows_path(folder), copy, 1, limit, windows_path(go)]
        return c.run_windows_program(probe, *map(str, args), out=c.dir / f"append-{mode}.txt")
    finally:
        end(holder)


def full_and_held(c, probe, folder, go):
    """runs.csv past the limit while another program holds it without FILE_SHARE_DELETE, so it
    cannot be renamed: the line goes into it all the same."""
    records = folder / "runs.csv"
    before = records.stat().st_size
    rc = append_while_held(c, probe, folder, go, "hold", 9, 1)
    c.expect_eq("append to a full runs.csv held open: exit code", 0, rc)
    tail = runs_rows(c, records.read_bytes())[-1:]
    c.check(
        records.stat().st_size > before and [appended_line(row) for row in tail] == [(9, 0)],
        "the line went into the full runs.csv that could not be renamed",
        f"runs.csv {before} -> {records.stat().st_size} bytes, last row {tail}",
    )


def held_for_reading(c, probe, folder, go):
    """runs.csv held open as a spreadsheet holds it (read access, writes not shared): the line
    goes to runs-while-held.csv beside it, under the header, and runs.csv is left as it was."""
    records, aside = folder / "runs.csv", folder / "runs-while-held.csv"
    before = records.read_bytes()
    rc = append_while_held(c, probe, folder, go, "holdread", 10, 0)
    c.expect_eq("append while a reader holds runs.csv: exit code", 0, rc)
    c.check(records.read_bytes() == before, "runs.csv untouched", "runs.csv changed")
    aside_bytes = aside.read_bytes() if aside.exists() else b""
    rows = [appended_line(row) for row in runs_rows(c, aside_bytes)]
    c.expect_eq("lines of runs-while-held.csv", [(10, 0)], rows)


def held_by_other(c, probe):
    """A file made and held open by one process as the run log is (no FILE_SHARE_DELETE):
    DeleteFileW from another fails with a sharing violation, and the file stays."""
    held = c.dir / "held.log"
    out = c.dir / "hold.txt"
    argv = [WINE64, probe, "hold", windows_path(held), "20000"]
    holder = c.spawn("hold probe", argv, stdout=out, stderr=subprocess.STDOUT)
    wait_until(lambda: out.exists() and b"held" in out.read_bytes(), 30)
    result = c.dir / "delete.txt"
    rc = c.run_windows_program(probe, "delete", windows_path(held), out=result)
    log(result.read_bytes().decode(errors="replace").strip())
    c.expect_eq("delete probe exit code", 0, rc)
    c.check(held.exists(), "the held file stays", "the held file was removed")
    end(holder)


BUSY = "Port in use by another program"


@case
def case_bench_instances(c):
    """Three copies of the tool side by side on one bench, each with its own device: A on COM3
    (a device that powers up late, so that A holds its port a while), B on COM4, C on COM5 (a
    device that reports a wrong checksum). B's press on A's port says the port is busy and ends
    nothing; then B and C write while A does. C's failed port is pulled and plugged back: it
    returns to C's list, and a press on it completes. Each log holds its own runs, and runs.csv
    one whole line for each run."""
    c.device("a", 3, *small_device(), "--power-delay-ms", 6000)
    c.device("b", 4, *small_device())
    c.device("bad", 5, *small_device(), "--wrong-crc")
    bad_pty = c.device_pty("bad")
    fresh_log_dir(c)
    a, b, cc = (c.start_instance(name, c.target.small_exe) for name in "ABC")
    for inst in (a, b, cc):
        c.drive("window", 30000, "items", on=inst)
    ports = [r"\\.\com3", r"\\.\com4", r"\\.\com5"]
    c.expect_eq("port list of copy A", ports, a.driver.items())
    pick(c, a, 3)
    c.drive("click", "await", "Contacting Device...", 10000, on=a)
    pick(c, b, 3)
    c.drive("click", "status", "sleep", 500, "status", on=b)
    busy = [BUSY, BUSY]
    c.expect_eq("B's status at its press on A's port, and half a second on", busy, statuses_of(b))
    c.check("click-pending" not in b.driver.lines, "no box at B's press", "B's press opened a box")
    running = [inst.name for inst in (a, b, cc) if inst.proc.poll() is None]
    c.expect_eq("copies running after B's busy press", ["A", "B", "C"], running)
    pick(c, b, 4)
    c.drive("click", on=b)
    pick(c, cc, 5)
    c.drive("click", on=cc)
    c.drive("await", "Programming Completed", 60000, on=a)
    c.drive("await", "Programming Completed", 60000, on=b)
    c.drive("await", "FAILED", 60000, on=cc)
    c.expect_statuses("Contacting Device...", "Programming Completed", on=a)
    c.check(
        BUSY not in statuses_of(a), "A's run went on untouched", f"A's statuses: {statuses_of(a)}"
    )
    # The adapter behind C's failed run is pulled: its link goes, then the removal notice, which
    # must release the port; plugged back, a device notice lists it again.
    unplug_held(c, cc, "bad", 5, bad_pty)
    c.device("c", 5, *small_device())
    c.drive("devchange", on=cc)
    listed = []

    def back():
        cc.driver.lines.clear()
        c.drive("items", on=cc)
        listed[:] = cc.driver.items()
        return r"\\.\com5" in listed

    wait_until(back, seconds=20, step=0.2)
    c.expect_eq("C's port list after COM5 came back", ports, listed)
    if pick(c, cc, 5):
        c.drive("click", "await", "Programming Completed", 60000, on=cc)
    for inst in (a, b, cc):
        c.close_tool_expect(0, on=inst)
    for device in ("a", "b", "c"):
        c.expect_flash(device, small_image())
    logs = instance_logs(c, {"A": [3], "B": [4], "C": [5, 5]})
    expect_runs_csv(
        c,
        logs,
        [("COM3", "completed"), ("COM4", "completed"), ("COM5", "failed"), ("COM5", "completed")],
    )


def statuses_of(inst):
    return [text for _, text in inst.driver.statuses()]


def pick(c, inst, com):
    """Selects \\\\.\\comN in that copy's port list, found by its name; the copy's report
    keeps only what comes after. Returns whether it was selected."""
    inst.driver.lines.clear()
    c.drive("items", on=inst)
    items = inst.driver.items()
    inst.driver.lines.clear()
    path = rf"\\.\com{com}"
    if path not in items:
        c.fail(f"copy {inst.name}: {path} not listed in {items}")
        return False
    return c.drive("select", items.index(path), on=inst)


def unplug_held(c, inst, device, com, pty):
    """The adapter of the port that `inst` holds after a failed run is pulled: the device and
    its link go, then the removal notice naming the port, which releases it and takes it out of
    the list. The device holds its own terminal open: it is left out while it runs."""
    own = c.devices[device].pid
    held = [pid for pid in c.holders_of(pty) if pid != own]
    c.check(bool(held), f"copy {inst.name} holds COM{com} after FAILED", f"COM{com} not held")
    c.stop_device(device)
    c.unmap_port(com)
    inst.driver.lines.clear()
    c.drive("devremove", com, "items", on=inst)
    c.check(
        rf"\\.\com{com}" not in inst.driver.items(),
        f"COM{com} gone from copy {inst.name}'s list at its removal notice",
        f"COM{com} still listed after its removal notice: {inst.driver.items()}",
    )
    c.expect_eq(f"processes holding COM{com} after its removal notice", [], c.holders_of(pty))


def instance_logs(c, opens):
    """Each copy's log (the one whose name holds its Windows process id) holds its own runs
    only: its "Opening serial port" lines, one a run, name its own port, as many times as
    `opens` says (copy: [port, ...]); a busy press traces nothing. Returns the copies' log names
    by copy."""
    names = {}
    for name, wanted in opens.items():
        inst = c.instances[name]
        pattern = rf"fwt-\d{{8}}-\d{{6}}-{inst.pid}(-\d+)?\.log"
        found = [p for p in log_dir(c).glob("fwt-*.log") if re.fullmatch(pattern, p.name)]
        if not c.expect_eq(f"logs of copy {name} (Windows process {inst.pid})", 1, len(found)):
            continue
        names[name] = found[0].name
        text = found[0].read_bytes().decode(errors="replace")
        opened = re.findall(r"^ \. Opening serial port \\\\\.\\com(\d+) at", text, re.M)
        c.expect_eq(f"ports opened in copy {name}'s log", wanted, [int(n) for n in opened])
    return names


def expect_runs_csv(c, logs, wanted):
    """runs.csv in the log folder: the header once, then one whole line per run, each naming
    its port, outcome and the log of the copy that made it."""
    path = log_dir(c) / "runs.csv"
    if not c.check(path.is_file(), f"{path.name} written", f"no {path.name} in the log folder"):
        return
    raw = path.read_bytes()
    for line in raw.decode(errors="replace").splitlines()[:6]:
        log(f"  runs.csv: {line}")
    c.check(raw.endswith(b"\n"), "runs.csv ends with a whole line", "runs.csv ends inside a line")
    rows = list(csv.reader(raw.decode("utf-8").splitlines()))
    c.expect_eq("runs.csv header", RUNS_HEADER.split(","), rows[0] if rows else None)
    body = rows[1:]
    c.expect_eq("runs.csv fields a line", [9] * len(wanted), [len(r) for r in body])
    got = sorted((r[1], r[2]) for r in body if len(r) == 9)
    c.expect_eq("runs.csv lines (port, outcome)", sorted(wanted), got)
    digest = hashlib.sha256(small_image().read_bytes()).hexdigest()
    by_port = {"COM3": "A", "COM4": "B", "COM5": "C"}
    for r in body:
        if len(r) != 9:
            continue
        c.check(
            re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d+)?Z", r[0]) is not None
            and re.fullmatch(r"\d+\.\d", r[3]) is not None
            and r[6] == digest
            and r[8] == logs.get(by_port.get(r[1]))
            and (r[2] != "completed" or r[4] == "3"),
            f"runs.csv line for {r[1]} {r[2]}: time, seconds, digest, log {r[8]}",
            f"runs.csv line {r}: expected its copy's log {logs.get(by_port.get(r[1]))}, the digest {digest}",
        )


if __name__ == "__main__":
    sys.exit(cli.main({**CASES, **window_cases.CASES}))
