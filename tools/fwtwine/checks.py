"""A case's verdicts: each check logs "ok" or fails the case, which goes on to its end."""

import contextlib
import re
from pathlib import Path

from fwtwine.procs import log, wait_until

BLOCK = 1024  # the image goes in blocks of BLOCK_SIZE bytes (engine/update_job.h)


def padded(data):
    return data + bytes(-len(data) % BLOCK)


def padded_size(image):
    return len(padded(Path(image).read_bytes()))


class Checks:
    """The checks of a Case, on its failures, its trace (trace.txt in its directory), its UI
    driver's report (self.driver) and its devices' flash files."""

    def ok(self, text):
        if not self.quiet:
            log(f"ok   {text}")

    def fail(self, text):
        log(f"FAIL: {text}")
        self.failures.append(text)

    def check(self, passed, ok_text, fail_text):
        if passed:
            self.ok(ok_text)
        else:
            self.fail(fail_text)
        return passed

    def expect_eq(self, what, want, got):
        return self.check(
            want == got, f"{what}: {got!r}", f"{what}: expected {want!r}, got {got!r}"
        )

    def trace(self):
        """The trace, lines without the CR that the C runtime's text mode writes."""
        with contextlib.suppress(FileNotFoundError):
            text = (self.dir / "trace.txt").read_bytes().decode(errors="replace")
            return text.replace("\r", "").splitlines()
        return []

    def trace_count(self, pattern):
        return sum(1 for line in self.trace() if re.search(pattern, line))

    def expect_trace(self, text):
        found = any(text in line for line in self.trace())
        return self.check(found, f"trace has: {text}", f"trace lacks: {text}")

    def expect_no_trace(self, text):
        found = any(text in line for line in self.trace())
        return self.check(not found, f"trace lacks: {text}", f"trace has: {text}")

    def expect_statuses(self, *wanted, on=None):
        """The status texts appear in this order (others may come between); `on`: in what the
        driver saw of that copy of the tool (an Instance)."""
        seen = [text for _, text in (self.driver if on is None else on.driver).statuses()]
        it = iter(seen)
        shown = " ".join(f"[{w}]" for w in wanted)
        return self.check(
            all(w in it for w in wanted),
            f"status sequence: {shown}",
            f"status sequence {shown} not in: {'|'.join(seen)}",
        )

    def expect_flash(self, name, image):
        """The device's flash region equals the image padded with zeros to whole blocks."""
        want = padded(Path(image).read_bytes())
        flash = self.flash_path(name)
        what = f"flash of the simulated device ({name})"
        if not wait_until(flash.exists):
            return self.check(False, "", f"device {name} wrote no flash file")
        return self.check(
            flash.read_bytes()[: len(want)] == want and flash.stat().st_size >= len(want),
            f"{what} equals the padded image ({len(want)} bytes)",
            f"{what} differs from the padded image",
        )

    def summary(self):
        """Prints the trace tail and, when the case failed, the driver's report; returns the
        exit code."""
        log("--- trace tail ---")
        for line in self.trace()[-8:]:
            log(line)
        if self.failures:
            log("--- driver ---")
            for line in self.driver.lines[-40:]:
                log(line)
            log(f"case {self.name} FAILED (logs in {self.dir})")
            return 1
        log(f"case {self.name} passed")
        return 0
