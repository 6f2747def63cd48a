"""Unit tests of cutting the embedded image of fwt.exe (bench/pe_image.py), on the win64 build."""

import hashlib
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

import pe_image
from fwtwine import paths

EXE = paths.tools().win64_dir / "fwt.exe"
IMAGE = paths.SHIPPED_IMAGE


def embedded(exe, name="BINFILE"):
    """A raw-data resource as a resource reader sees it (icoutils' wrestool)."""
    return subprocess.run(
        ["wrestool", "-x", "--raw", "--type=10", f"--name={name}", str(exe)],
        capture_output=True,
        check=True,
    ).stdout


@unittest.skipUnless(
    EXE.exists() and shutil.which("wrestool"), "needs build/win64/fwt.exe and wrestool"
)
class CutImageTest(unittest.TestCase):
    def setUp(self):
        self.dir = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.dir)

    def test_the_resource_holds_the_first_blocks_and_the_rest_is_unchanged(self):
        out = self.dir / "fwt.exe"
        cut = IMAGE.read_bytes()[: 12 * 1024]
        self.assertEqual(pe_image.cut_image(EXE, out, 12 * 1024), IMAGE.stat().st_size)
        self.assertEqual(embedded(out), cut)
        # The digest the tool checks at start-up matches the cut image.
        self.assertEqual(embedded(out, "BINFILE_SHA256"), hashlib.sha256(cut).digest())
        before, after = EXE.read_bytes(), out.read_bytes()
        self.assertEqual(len(before), len(after))
        # Only the resource's 4-byte size field and the 32-byte digest changed.
        changed = [k for k, (a, b) in enumerate(zip(before, after)) if a != b]
        self.assertTrue(changed)
        runs = []
        for k in changed:
            if runs and k - runs[-1][1] <= 4:
                runs[-1][1] = k
            else:
                runs.append([k, k])
        self.assertEqual(len(runs), 2)
        self.assertTrue(all(end - start < 32 for start, end in runs))

    def test_refuses_to_grow_or_empty_the_image(self):
        for size in (0, IMAGE.stat().st_size + 1):
            with self.assertRaises(ValueError):
                pe_image.cut_image(EXE, self.dir / "fwt.exe", size)
        self.assertFalse((self.dir / "fwt.exe").exists())

    def test_refuses_a_file_that_is_not_a_pe_program(self):
        bogus = self.dir / "bogus.exe"
        bogus.write_bytes(bytes(4096))
        with self.assertRaises(ValueError):
            pe_image.cut_image(bogus, self.dir / "out.exe", 1024)


if __name__ == "__main__":
    unittest.main()
