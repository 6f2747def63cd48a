"""Unit tests of the Wine driver's own logic that needs no Wine: the UI driver's report, the
stretching of waits, the status sequence, the emulation's environment and process ending."""

import os
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path
from unittest import mock

from fwtwine import cli, driver, emul32, procs
from fwtwine.case import Case, Target
from fwtwine.paths import Tools
from fwtwine.prefix import Prefix
from fwtwine.test_emul32 import pe as pe_head

REPORT = (
    "\r\n".join(
        [
            "status\t12\t - Idle - ",
            "item 0 \\\\.\\com3",
            "item 1 \\\\.\\com10",
            "click-pending",
            "status\t40\tContacting Device...",
            "box-begin",
            "Unable to open serial port.",
            "Error number 2 reported",
            "File not found.",
            "box-end",
            "rect 10 20 300 200",
            "stamp 1700000000123456",
            "driver-error timed out waiting for status Programming Completed",
        ]
    )
    + "\r\n"
)


def bare_case(test, target=None):
    """A Case that is never entered, in a directory removed when the test ends: enough for the
    logic that does not start processes."""
    tmp = tempfile.TemporaryDirectory()
    test.addCleanup(tmp.cleanup)
    tools = Tools(Path("w"), Path("d"), Path("p"))
    return Case("unit", Prefix(tmp.name), tools, target or Target(exe=Path("fwt.exe")), quiet=True)


class DriverLogTest(unittest.TestCase):
    def test_report_lines_without_carriage_returns(self):
        log = driver.DriverLog()
        log.add(REPORT)
        self.assertEqual(log.statuses(), [(12, " - Idle - "), (40, "Contacting Device...")])
        self.assertEqual(log.status_time("Contacting Device..."), 40)
        self.assertIsNone(log.status_time("Programming Completed"))
        self.assertEqual(log.items(), ["\\\\.\\com3", "\\\\.\\com10"])
        self.assertEqual(
            log.boxes(),
            ["Unable to open serial port.\nError number 2 reported\n" "File not found."],
        )
        self.assertEqual(log.rect(), (10, 20, 300, 200))
        self.assertEqual(log.stamps(), [1700000000123456])
        self.assertEqual(len(log.errors()), 1)

    def test_reports_of_several_runs_accumulate(self):
        log = driver.DriverLog()
        log.add("status\t5\tA\n")
        log.add("status\t7\tB\nrect 1 2 3 4\n")
        log.add("rect 5 6 7 8\n")
        self.assertEqual([s for _, s in log.statuses()], ["A", "B"])
        self.assertEqual(log.rect(), (5, 6, 7, 8))


class WaitsTest(unittest.TestCase):
    def test_the_window_wait_is_the_targets_start_up_time_at_least(self):
        case = bare_case(self, Target(exe=Path("fwt.exe"), window_ms=120000, time_scale=2))
        argv, limit = case._driver_argv(
            [
                "window",
                30000,
                "select",
                1,
                "click",
                "await",
                "Programming Completed",
                60000,
                "box",
                20000,
                "sleep",
                500,
            ]
        )
        self.assertEqual(
            argv[2:],
            [
                "window",
                "120000",
                "select",
                "1",
                "click",
                "await",
                "Programming Completed",
                "120000",
                "box",
                "40000",
                "sleep",
                "500",
            ],
        )
        # Every wait counts towards the outer limit, and a margin on top.
        self.assertGreater(limit, 120 + 120 + 40 + 0.5)

    def test_default_target_leaves_the_steps_alone(self):
        argv, _ = bare_case(self)._driver_argv(["window", 45000, "items", "close", 10000])
        self.assertEqual(argv[2:], ["window", "45000", "items", "close", "10000"])

    def test_one_copy_of_several_is_driven_by_its_process_id(self):
        case = bare_case(self, Target(exe=Path("fwt.exe"), time_scale=2))
        argv, _ = case._driver_argv(["windows", 2, 5000, "status"], pid=36)
        self.assertEqual(argv[2:], ["--pid", "36", "windows", "2", "10000", "status"])


class StatusSequenceTest(unittest.TestCase):
    def setUp(self):
        self.case = bare_case(self)
        self.case.driver.add("status\t1\tA\nstatus\t2\tB\nstatus\t3\tC\nstatus\t4\tB\n")

    def test_in_order_with_gaps(self):
        self.assertTrue(self.case.expect_statuses("A", "C", "B"))
        self.assertEqual(self.case.failures, [])

    def test_out_of_order_or_missing(self):
        with mock.patch("fwtwine.checks.log"):
            self.assertFalse(self.case.expect_statuses("C", "A"))
            self.assertFalse(self.case.expect_statuses("A", "D"))
        self.assertEqual(len(self.case.failures), 2)


class FlashTest(unittest.TestCase):
    def test_flash_must_equal_the_image_padded_with_zeros(self):
        case = bare_case(self)
        case.dir.mkdir(parents=True)
        image = case.dir / "image.bin"
        image.write_bytes(b"\x11" * 1500)
        case.flash_path("dev").write_bytes(b"\x11" * 1500 + bytes(548))
        self.assertTrue(case.expect_flash("dev", image))
        case.flash_path("dev").write_bytes(b"\x11" * 1500 + b"\xff" * 548)
        with mock.patch("fwtwine.checks.log"):
            self.assertFalse(case.expect_flash("dev", image))
            case.flash_path("dev").write_bytes(b"\x11" * 1500)  # short: the padding is missing
            self.assertFalse(case.expect_flash("dev", image))


class TargetEnvTest(unittest.TestCase):
    def test_a_pe32_gets_the_emulations_environment_or_the_line_saying_what_is_missing(self):
        with tempfile.TemporaryDirectory() as tmp:
            pe32, pe64 = Path(tmp) / "fwt32.exe", Path(tmp) / "fwt64.exe"
            pe32.write_bytes(pe_head(0x14C))
            pe64.write_bytes(pe_head(0x8664))
            with mock.patch("fwtwine.emul32.missing", return_value=None):
                self.assertEqual(emul32.ENVIRONMENT, cli.target_env(pe32))
                self.assertEqual({}, cli.target_env(pe64))
            line = emul32.PREFIX + "the i386 handler runs QEMU 7.2"
            with mock.patch("fwtwine.emul32.missing", return_value=line):
                with self.assertRaisesRegex(procs.CaseAbort, "QEMU 7.2"):
                    cli.target_env(pe32)
                self.assertEqual({}, cli.target_env(pe64))


class ProcessTest(unittest.TestCase):
    def test_end_reaches_what_the_process_forked(self):
        # A shell that starts a sleeping child and ignores SIGTERM itself: both must go.
        script = "trap '' TERM; sleep 60 & echo $!; wait"
        proc = procs.start(["sh", "-c", script], stdout=subprocess.PIPE)
        child = int(proc.stdout.readline())
        started = time.monotonic()
        procs.end(proc, grace=0.5)
        self.assertIsNotNone(proc.returncode)
        self.assertTrue(
            procs.wait_until(
                lambda: not os.path.exists(f"/proc/{child}")
                or "Z" in Path(f"/proc/{child}/stat").read_text().rsplit(")", 1)[1].split()[:1],
                5,
            )
        )
        self.assertLess(time.monotonic() - started, 10)
        proc.stdout.close()

    def test_end_of_a_process_already_gone(self):
        proc = procs.start([sys.executable, "-c", "pass"])
        proc.wait(10)
        procs.end(proc)
        self.assertEqual(proc.returncode, 0)


if __name__ == "__main__":
    unittest.main()
