"""The steps the end-to-end cases share: the images and devices they use, a run to a given
status, a fatal box and its checks, the tool's log folder, the caption's progress."""

import contextlib
import csv
import getpass
import hashlib
import io
import os
import re
import shutil
from pathlib import Path

from fwtwine import paths, pe, procs
from fwtwine.checks import padded_size
from fwtwine.procs import log, wait_until

TITLE = "Device Firmware Update Tool"


def register(cases):
    """A decorator that enters a function case_NAME into `cases` as NAME."""

    def case(function):
        cases[function.__name__.removeprefix("case_")] = function
        return function

    return case


def small_image():
    return Path(os.environ["FWT_SMALL_IMAGE"])


def shipped_image():
    return paths.shipped_image()


def small_device():
    """fwt-devsim options for a device whose image region holds the three-block image."""
    return ["--image-size", hex(padded_size(small_image()))]


def run_until(c, exe, final, limit_ms):
    """A normal run of the tool over the device behind COM3: start, select, press, wait for the
    end. Leaves the tool running."""
    c.start_tool(exe)
    steps = ["status", "items", "select", 0, "click", "await", final, limit_ms]
    return c.drive("window", 30000, *steps)


def expect_update(c, device, image, *statuses):
    """A completed update: the checksums matched, the statuses came in this order and the
    device's flash holds the image."""
    c.expect_trace("CRCs match")
    if statuses:
        c.expect_statuses(*statuses)
    c.expect_flash(device, image)


def unplug(c, device, com):
    """The adapter is unplugged: the device and its terminal go away."""
    c.stop_device(device)
    c.unmap_port(com)


def box_has(c, box, what, pattern, regex=False):
    lines = box.splitlines()
    found = any(re.search(pattern, line) for line in lines) if regex else pattern in box
    c.check(found, f"box has {what}: {pattern}", f"box lacks {what}: {pattern}")


def fatal_box(c, failure, *steps):
    """The driver's STEPS end at a fatal box: the tool exits with 1 once it is answered, and the
    box says `failure`. Returns the box's text."""
    c.drive(*steps)
    c.expect_eq("exit code", 1, c.wait_tool())
    box = c.driver.last_box()
    box_has(c, box, "the failure", failure)
    return box


def log_dir(c):
    """The tool's log folder in the prefix: %LOCALAPPDATA%\\Device Firmware Update Tool\\logs,
    in the profile Wine names after $USER (the case may set another)."""
    user = c.target.env.get("USER", getpass.getuser())
    local = c.prefix.path / "drive_c" / "users" / user / "AppData" / "Local"
    return local / TITLE / "logs"


def fresh_log_dir(c):
    """Empties the log folder (earlier cases share the prefix) so that this start's log is the
    only one."""
    shutil.rmtree(log_dir(c).parent, ignore_errors=True)
    return log_dir(c)


def the_log(c):
    logs = sorted(log_dir(c).glob("fwt-*.log"))
    c.expect_eq("run logs written", 1, len(logs))
    return logs[-1].read_bytes() if logs else b""


def expect_log_ends(c, line):
    """While the tool is still open, the log on disk already ends with `line`: a run's end
    flushes it. The status can show a moment before the flush, so it is given a second."""
    seen = []

    def last_line():
        text = the_log_quietly(c).decode(errors="replace").replace("\r", "")
        seen[:] = text.rstrip("\n").rsplit("\n", 1)[-1:]
        return seen == [line]

    wait_until(last_line, seconds=1)
    c.expect_eq("last line of the log on disk, the tool still open", line, seen[0] if seen else "")


def the_log_quietly(c):
    logs = sorted(log_dir(c).glob("fwt-*.log"))
    return logs[-1].read_bytes() if len(logs) == 1 else b""


def expect_log_is_trace(c):
    trace = (c.dir / "trace.txt").read_bytes()
    run_log = the_log(c)
    c.check(
        run_log == trace,
        f"the run log equals standard output ({len(run_log)} bytes)",
        f"the run log ({len(run_log)} bytes) differs from standard output ({len(trace)} bytes)",
    )


@contextlib.contextmanager
def blocked_log_folder(c):
    """A file where the tool's folder under %LOCALAPPDATA% should be, so no log can be made."""
    blocker = fresh_log_dir(c).parent
    blocker.parent.mkdir(parents=True, exist_ok=True)
    blocker.write_text("in the way\n")
    try:
        yield
    finally:
        blocker.unlink(missing_ok=True)


RUNS_HEADER = "time_utc,port,outcome,seconds,blocks,resends,image_sha256,tool_version,log"


def runs_rows(c, data):
    """runs.csv's bytes as rows of fields, after a check that the header heads it once and that
    every line ends in CR LF (none is cut)."""
    text = data.decode("utf-8", errors="replace")
    c.check(
        text.startswith(RUNS_HEADER + "\r\n") and text.count(RUNS_HEADER) == 1,
        "runs.csv starts with its header, once",
        f"runs.csv does not start with its header alone: {text[:120]!r}",
    )
    c.check(text.endswith("\r\n"), "runs.csv ends with a whole line", f"tail {text[-80:]!r}")
    rows = list(csv.reader(io.StringIO(text, newline="")))
    return rows[1:]


def expect_runs(c, exe, *outcomes):
    """runs.csv in the log folder holds one whole line per run of this start of `exe`, with these
    outcomes in order: each with its start in UTC, the port COM3, the seconds with one decimal,
    the figures, the image's digest and the tool's version as `exe` carries them, and the name
    of the one log in the folder. Returns the rows."""
    path = log_dir(c) / "runs.csv"
    data = path.read_bytes() if path.exists() else b""
    rows = runs_rows(c, data)
    log("runs.csv: " + " | ".join(",".join(row[:6]) for row in rows))
    c.expect_eq("outcomes in runs.csv", list(outcomes), [row[2] if row else "" for row in rows])
    image = pe.read_pe(exe)
    digest = hashlib.sha256(image.find(pe.RT_RCDATA, "BINFILE").data).hexdigest()
    _, strings = pe.parse_version_info(image.find(pe.RT_VERSION, 1).data)
    logs = sorted(p.name for p in log_dir(c).glob("fwt-*.log"))
    for row in rows:
        fields = dict(zip(RUNS_HEADER.split(","), row))
        well_formed = (
            len(row) == 9
            and re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", fields["time_utc"])
            and fields["port"] == "COM3"
            and re.fullmatch(r"\d+\.\d", fields["seconds"])
            and fields["blocks"].isdigit()
            and fields["resends"].isdigit()
            and fields["image_sha256"] == digest
            and fields["tool_version"] == strings.get("FileVersion")
            and [fields["log"]] == logs
        )
        c.check(well_formed, f"runs.csv line: {','.join(row)}", f"runs.csv line: {row}")
    return [dict(zip(RUNS_HEADER.split(","), row)) for row in rows]


def explorer_on(c, folder_text):
    """Command lines of processes of the prefix that run explorer.exe on the folder."""
    lines = (procs.cmdline(pid) for pid in c.prefix_processes())
    return [line for line in lines if "explorer" in line.lower() and folder_text in line]


def check_caption_progress(c):
    """The caption rose through the run with a time left and is the title again at the end;
    logs how the estimates at 25, 50 and 75 % compare with the time the rest really took."""
    seen = c.driver.captions()
    log("captions: " + " | ".join(text.removesuffix(" - " + TITLE) for _, text in seen))
    pattern = r"(\d+)% (?:\((\d+:\d\d) left\) )?- "
    parsed = [(t, int(m[1]), m[2]) for t, text in seen if (m := re.match(pattern, text))]
    percents = [p for _, p, _ in parsed]
    c.check(
        len(set(percents)) >= 3 and percents == sorted(percents),
        f"caption percentages rise: {len(set(percents))} distinct, never falling",
        f"caption percentages: {percents}",
    )
    left = any(left for _, _, left in parsed)
    c.check(left, "the caption shows a time left", "the caption never shows a time left")
    c.expect_eq("caption at the end", TITLE, seen[-1][1] if seen else None)
    end = next((t for t, p, _ in parsed if p == 100), None)
    for quarter in (25, 50, 75):
        at = next(((t, left) for t, p, left in parsed if p >= quarter and left), None)
        if at and end is not None:
            minutes, seconds = at[1].split(":")
            estimate = int(minutes) * 60 + int(seconds)
            log(f"at {quarter}%: estimate {estimate} s, rest took {(end - at[0]) / 1000:.1f} s")


def damaged_copy(c):
    """A copy of the tool in the case's directory with the middle byte of its image flipped."""
    copy = c.dir / "damaged.exe"
    at = pe.flip_image_byte(c.target.exe, copy)
    log(f"{copy}: image byte at file offset {at:#x} flipped")
    return copy
