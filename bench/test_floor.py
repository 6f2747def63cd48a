"""Unit tests of the benchmark's floor model and figures (python3 -m unittest, from bench/)."""

import unittest

import figures
from floor import blocks_of, floor


class FloorTest(unittest.TestCase):
    def test_shipped_image_matches_the_published_figures(self):
        # The 118-block image as docs/benchmark.md spelled it out before the model moved here.
        f = floor(118)
        self.assertAlmostEqual(f.byte_ms, 0.0955, places=4)
        self.assertAlmostEqual(f.request_ms, 98.83, places=2)
        self.assertAlmostEqual(f.ack_ms, 1.05, places=2)
        self.assertAlmostEqual(f.line_ms, 119.88, places=2)
        self.assertAlmostEqual(f.block_ms, 279.88, places=2)
        self.assertEqual(f.contact_ms, 340)
        self.assertEqual((f.verify_ms, f.restart_ms), (10, 10))
        self.assertEqual(round(f.blocks * f.block_ms), 33026)
        self.assertEqual(round(f.wine_ms), 33386)
        self.assertEqual(round(f.windows_ms), 39386)
        self.assertEqual(round(f.sleeps_ms), 23900)
        self.assertEqual(round(f.wire_ms), 11797)
        self.assertEqual(round(f.ticks_ms), 1230)
        self.assertEqual(round(f.plain_ms), 45187)
        self.assertEqual(round(f.plain_windows_ms), 51187)

    def test_the_whole_is_the_sum_of_its_phases(self):
        for n in (1, 3, 12, 118):
            f = floor(n)
            self.assertAlmostEqual(
                f.wine_ms, f.contact_ms + n * f.block_ms + f.verify_ms + f.restart_ms
            )
            self.assertAlmostEqual(f.windows_ms - f.wine_ms, n * 50 + 100)
            self.assertAlmostEqual(f.block_windows_ms, f.block_ms + 50)

    def test_the_sleep_sets_the_pace_when_the_line_is_faster(self):
        # At 1 Mbaud a block crosses in about 11 ms: the 100 ms sleep is then the longer branch.
        f = floor(10, baud=1_000_000)
        self.assertLess(f.line_ms, 100)
        self.assertAlmostEqual(f.block_ms, 100 + 100 + 50 + 10)
        # Short frames never beat the tick that reads them.
        self.assertEqual(f.verify_ms, 10)

    def test_a_slower_flash_lengthens_every_block(self):
        self.assertAlmostEqual(floor(5, flash_ms=35).block_ms - floor(5).block_ms, 15)

    def test_blocks_of_rounds_up_to_whole_blocks(self):
        self.assertEqual(
            [blocks_of(s) for s in (1, 1023, 1024, 1025, 2600, 120128)], [1, 1, 1, 2, 3, 118]
        )


class FiguresTest(unittest.TestCase):
    def test_block_intervals_from_the_device_log(self):
        log = [
            "     0.100 checksum addr 0x08004000 len 4: answered",
            "     1.000 block    addr 0x08004000 len 1024: answered",
            "     1.280 block    addr 0x08004400 len 1024: answered",
            "     1.570 block    addr 0x08004800 len 1024: answered",
            "     1.900 restart  addr 0x00000000 len 0: answered",
        ]
        self.assertEqual(
            [(k, round(ms, 1)) for k, ms in figures.block_intervals(log)], [(1, 280.0), (2, 290.0)]
        )

    def test_block_stats_of_unordered_intervals(self):
        stats = figures.block_stats([(1, 300.0), (2, 280.0), (3, 290.0), (4, 310.0), (5, 320.0)])
        self.assertEqual(stats, (280.0, 300.0, 320.0, 300.0))

    def test_cpu_percent_of_one_core(self):
        # 50 ms of CPU over 10 s of wall time (microseconds) is 0.5% of one core.
        self.assertAlmostEqual(figures.cpu_percent(0, 50_000_000, 0, 10_000_000), 0.5)
        self.assertAlmostEqual(figures.cpu_percent(7, 7, 0, 1), 0.0)


if __name__ == "__main__":
    unittest.main()
