"""The benchmark's runs under Wine, each in a case of its own: start-up, the tool's CPU time while
it calls and while it writes, the timed update, several copies of the tool writing at once, the
port list's rescans, and the probe of the platform's timings."""

import os
import re
import statistics
import subprocess
import time
from pathlib import Path

import figures
import floor
from fwtwine import pe
from fwtwine.driver import DriverLog
from fwtwine.inotify import OpenCounter
from fwtwine.procs import cmdline, cpu_ns, cpu_ticks, log, wait_until


class BenchFailed(Exception):
    pass


def now_us():
    return time.time_ns() // 1000


def driver_report(path):
    text = Path(path).read_bytes().decode(errors="replace")
    report = DriverLog()
    report.add(text)
    return report


def ended(case, what):
    """A step the figures rest on failed: stop the benchmark."""
    if case.failures:
        raise BenchFailed(f"{what}: {case.failures[0]}")


def startup_run(case, warm):
    """From launching the tool to " - Idle - ". Warm: the UI driver is started first and waits
    for the window, so Wine's own services are up and the time is the tool's. Cold: the tool is
    the first program of a fresh wineserver, the driver starts right after it and may itself be
    the later one, so the time is an upper bound. The driver stamps the wall clock when it sees
    the status (it polls every 20 ms)."""
    case.device("device", 3)
    out = case.dir / "startup.txt"
    if warm:
        driver = case.start_driver("stamp", "window", 30000, "status", "stamp", out=out)
        if not wait_until(lambda: "stamp" in out.read_text(errors="replace"), 30):
            raise BenchFailed("the UI driver did not start")
        t0 = now_us()
        case.start_tool()
    else:
        t0 = now_us()
        case.start_tool()
        driver = case.start_driver("window", 30000, "status", "stamp", out=out)
    try:
        driver.wait(40 * case.target.time_scale)
    except subprocess.TimeoutExpired:
        raise BenchFailed("the window did not become ready")
    report = driver_report(out)
    status = [s for _, s in report.statuses()]
    if status[:1] != [" - Idle - "]:
        raise BenchFailed(f"first status {status[:1]}")
    ms = (report.stamps()[-1] - t0) // 1000
    items = 0
    if warm:
        case.drive("items")
        items = len(case.driver.items())
    case.close_tool_expect(0)
    ended(case, "start-up run")
    return ms, items


def cpu_run(case, image, nb, window_s, write_from):
    """The device powers up window_s + 2 s after the first contact request, so the tool calls it
    that long; then it writes the image. No driver polls the window meanwhile (its messages
    would be handled on the tool's thread). Windows of window_s: 1 s after the press, and from
    block write_from on."""
    power_delay_ms = (window_s + 2) * 1000
    case.device("device", 3, "--pace-requests", "--power-delay-ms", power_delay_ms)
    case.start_tool()
    if not case.drive("window", 30000, "select", 0, "click"):
        raise BenchFailed("the press failed")
    tool, server = case.tool_process(), case.server.pid
    if tool is None:
        raise BenchFailed("no process runs the tool")
    log(
        f"{Path(case.target.exe).name} runs as process {tool} ({cmdline(tool).strip()}), "
        f"wineserver as {server} ({cmdline(server).strip()})"
    )
    cpu = cpu_windows(case, (tool, server), window_s, write_from)
    if not wait_until(lambda: case.device_summary("device"), 120):
        raise BenchFailed("the update did not complete")
    case.close_tool_expect(0)
    case.expect_flash("device", image)
    if cpu.pop("powered_early"):
        case.fail("the device powered up inside the waiting window")
    if cpu["n1"] >= nb:
        case.fail("the writing window did not end before the last block")
    ended(case, "CPU run")
    summary = case.device_summary("device").split()
    contacts = case.trace_count(r"^CONTACTING")
    return dict(cpu, contacts=contacts, run_s=summary[-2], power_delay_s=power_delay_ms // 1000)


def cpu_windows(case, pids, window_s, write_from):
    """The CPU shares of the processes `pids` (the tool, wineserver) over a window of window_s
    while the tool calls, 1 s after the press, and one from block write_from on."""
    hz = os.sysconf("SC_CLK_TCK")

    def sample():
        return now_us(), *((cpu_ticks(pid), cpu_ns(pid)) for pid in pids)

    def shares(a, b):
        us = (b[0] - a[0]) / 1e6
        ns = [figures.cpu_percent(a[k][1], b[k][1], a[0], b[0]) for k in (1, 2)]
        ticks = "% / ".join(f"{100 * (b[k][0] - a[k][0]) / hz / us:.1f}" for k in (1, 2))
        return ns, ticks + "%", us

    def device_count(text):
        return sum(1 for line in case.device_log("device") if text in line)

    time.sleep(1)
    w0 = sample()
    time.sleep(window_s)
    w1 = sample()
    powered_early = device_count("power up")
    answered = lambda: figures.answered_blocks(case.device_log("device")) >= write_from
    if not wait_until(answered, 40):
        raise BenchFailed("no blocks written")
    n0 = device_count(" block ")
    b0 = sample()
    time.sleep(window_s)
    b1 = sample()
    n1 = device_count(" block ")
    (wait_tool, wait_server), ticks_wait, wait_s = shares(w0, w1)
    (write_tool, write_server), ticks_write, write_s = shares(b0, b1)
    return dict(
        wait_tool=wait_tool,
        wait_server=wait_server,
        write_tool=write_tool,
        write_server=write_server,
        ticks_wait=ticks_wait,
        ticks_write=ticks_write,
        wait_s=wait_s,
        write_s=write_s,
        n0=n0,
        n1=n1,
        hz=hz,
        window_s=window_s,
        powered_early=powered_early,
    )


def update_run(case, image, nb):
    """The timed run, as the README's main job does it: the driver presses and follows the
    status (polling it every 2 ms) until "Programming Completed"."""
    case.device("device", 3, "--pace-requests")
    case.start_tool()
    if not case.drive(
        "window", 30000, "select", 0, "click", "await", "Programming Completed", 300000
    ):
        raise BenchFailed("the update failed")
    case.close_tool_expect(0)
    case.expect_trace(f"Flash Image Size {hex(nb * floor.BLOCK_DATA)} bytes")
    case.expect_flash("device", image)
    ended(case, "update run")
    device_log = case.device_log("device")
    intervals = figures.block_intervals(device_log)
    with open(case.dir / "blocks.dat", "w") as out:
        for k, ms in intervals:
            out.write(f"{k} {ms:.1f}\n")
    pressed = case.driver.status_time("Contacting Device...")
    completed = case.driver.status_time("Programming Completed")
    return dict(
        wall_ms=completed - pressed,
        blocks=figures.answered_blocks(device_log),
        contact_replies=figures.contact_replies(device_log),
        stats=figures.block_stats(intervals),
        blocks_dat=case.dir / "blocks.dat",
        span_s=case.device_summary("device").split()[-2],
    )


def instances_run(case, image, count):
    """`count` copies of the tool in one wineserver, copy k writing the image to its own paced
    device behind COM(3 + k). Each is started and has its port selected; then the presses go to
    all of them at once (one driver each, in parallel). No driver polls a window while they
    write: the end is the device's restart. Returns, for each copy, the port, the blocks
    answered and the min, median, max and mean block interval, and how long all of them wrote
    at once (from the last press to the first restart)."""
    names = [chr(ord("A") + k) for k in range(count)]
    for k, name in enumerate(names):
        case.device(name, 3 + k, "--pace-requests")
    copies = [case.start_instance(name) for name in names]
    for k, copy in enumerate(copies):
        if not case.drive("window", 30000, "select", k, on=copy):
            raise BenchFailed(f"copy {copy.name} did not select COM{3 + k}")
    presses = [
        case.start_driver("click", out=case.dir / f"press-{copy.name}.txt", on=copy)
        for copy in copies
    ]
    for proc in presses:
        try:
            proc.wait(60 * case.target.time_scale)
        except subprocess.TimeoutExpired:
            raise BenchFailed("a press was not answered")
        if proc.returncode != 0:
            raise BenchFailed("a press failed")
    pressed = time.monotonic()
    first_done = None

    def all_done():
        nonlocal first_done
        done = [case.device_summary(name) for name in names]
        if any(done) and first_done is None:
            first_done = time.monotonic()
        return all(done)

    if not wait_until(all_done, 300 * case.target.time_scale, 0.2):
        raise BenchFailed("the copies' updates did not all complete")
    for copy in copies:
        case.close_tool_expect(0, on=copy)
    out = []
    for k, name in enumerate(names):
        case.expect_flash(name, image)
        device_log = case.device_log(name)
        intervals = figures.block_intervals(device_log)
        out.append(
            dict(
                name=name,
                port=f"COM{3 + k}",
                blocks=figures.answered_blocks(device_log),
                stats=figures.block_stats(intervals),
            )
        )
    ended(case, f"{count} copies at once")
    return {"copies": out, "together_s": first_done - pressed}


def image_check_run(case, probe, exe):
    """The image check's cost as start-up pays it (the first check, which opens CNG) and warm
    (median of 20), from fwt-imagecheckprobe.exe run on the product and a damaged copy of it."""
    damaged = case.dir / "damaged.exe"
    pe.flip_image_byte(exe, damaged)
    out = case.dir / "imagecheck.txt"
    if case.run_windows_program(probe, exe, damaged, out=out) != 0:
        raise BenchFailed("the image check probe failed")
    text = out.read_bytes().decode(errors="replace")
    first = re.search(r"first check of the intact image: intact in ([\d.]+) ms", text)
    warm = re.search(r"repeated checks of the intact image: median ([\d.]+) ms", text)
    if not (first and warm):
        raise BenchFailed("the image check probe printed no times")
    return {"imagecheck_first_ms": float(first[1]), "imagecheck_warm_ms": float(warm[1])}


def rescan_run(case, repeats, notices=5):
    """The port list's rescans, which run on the window's thread: `repeats` drop-downs 250 ms
    apart with 1 port listed, and again with 10 (COM3 to COM12, links to one terminal); then a
    burst of `notices` device notices 20 ms apart: the time their handlers took, the longest
    time the window's thread kept a message waiting in the 1.5 s after (the notices' scan), and
    the opens of the terminal, 10 for each full scan."""
    case.device("device", 3)
    pty = case.device_pty("device")
    case.start_tool()
    if not case.drive("window", 30000):
        raise BenchFailed("the window did not become ready")

    def dropdowns():
        case.driver.lines.clear()
        case.drive(*["dropdown", "sleep", 250] * repeats)
        times = [us / 1000 for us in case.driver.values("dropdown")]
        if len(times) != repeats:
            raise BenchFailed("a drop-down failed")
        return statistics.median(times), max(times)

    one = dropdowns()
    for com in range(4, 13):
        case.map_port(com, pty)
    case.driver.lines.clear()
    case.drive("devchange", "sleep", 1500, "items")
    if len(case.driver.items()) != 10:
        raise BenchFailed(f"10 ports linked, listed: {case.driver.items()}")
    ten = dropdowns()
    with OpenCounter(pty) as opens:
        case.driver.lines.clear()
        case.drive(*["devchange", "sleep", 20] * notices, "busy", 1500)
        opened = opens.take()[pty]
    handlers = sum(case.driver.values("devchange")) / 1000
    busy = [line.split() for line in case.driver.lines if line.startswith("busy ")]
    longest, median = (int(busy[-1][1]) / 1000, int(busy[-1][2]) / 1000) if busy else (0, 0)
    case.close_tool_expect(0)
    ended(case, "rescan run")
    return dict(
        dropdown_repeats=repeats,
        dropdown1_median=one[0],
        dropdown1_max=one[1],
        dropdown10_median=ten[0],
        dropdown10_max=ten[1],
        burst_notices=notices,
        burst_handlers_ms=handlers,
        burst_longest_ms=longest,
        burst_round_trip_ms=median,
        burst_opens=opened,
        burst_scans=opened / 10,
    )


def probe_run(case, probe):
    """The platform's timings under Wine: the re-armed 10 ms timer, Sleep(100), GetTickCount."""
    out = case.dir / "probe.txt"
    if case.run_windows_program(probe, out=out) != 0:
        raise BenchFailed("the tick probe failed")
    values = {}
    for line in out.read_bytes().decode(errors="replace").replace("\r", "").splitlines():
        parts = line.split()
        if len(parts) == 2:
            values[parts[0]] = float(parts[1])
    return values
