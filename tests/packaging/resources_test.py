"""Reads the image, its digest and the version information back from built fwt.exe files and
compares them with the image file each build tree was configured with (FWT_FIRMWARE_IMAGE in
its CMakeCache.txt) and with the project's version.

    python3 tests/packaging/resources_test.py build/win32/fwt.exe build/win32-small/fwt.exe ...
"""

import hashlib
import os
import re
import subprocess
import sys
import tempfile
import unittest

from fwtwine import pe as pe_resources

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

EXES = []


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        found = re.search(r"project\(\s*fwt\s+VERSION\s+([0-9.]+)", f.read())
    if not found:
        raise AssertionError("no project version in CMakeLists.txt")
    return found.group(1)


def configured_image(exe):
    cache = os.path.join(os.path.dirname(exe), "CMakeCache.txt")
    with open(cache, encoding="utf-8") as f:
        for line in f:
            if line.startswith("FWT_FIRMWARE_IMAGE:"):
                return line.split("=", 1)[1].strip()
    raise AssertionError(f"{cache} names no FWT_FIRMWARE_IMAGE")


def wrestool(exe, rtype, name):
    """The resource's bytes as icoutils' wrestool extracts them, as a second opinion."""
    return subprocess.run(
        ["wrestool", "-x", "--raw", f"--type={rtype}", f"--name={name}", exe],
        check=True,
        capture_output=True,
    ).stdout


class BuiltExecutables(unittest.TestCase):
    def setUp(self):
        if not EXES:
            self.skipTest("no executables named")

    def load(self, exe):
        if not os.path.isfile(exe):
            self.fail(f"{exe} has not been built")
        with open(configured_image(exe), "rb") as f:
            image = f.read()
        return pe_resources.read_pe(exe), image

    def test_image_and_its_digest(self):
        for exe in EXES:
            with self.subTest(exe=exe):
                pe, image = self.load(exe)
                binfile = pe.find(pe_resources.RT_RCDATA, "BINFILE")
                digest = pe.find(pe_resources.RT_RCDATA, "BINFILE_SHA256")
                self.assertIsNotNone(binfile, "no BINFILE")
                self.assertIsNotNone(digest, "no BINFILE_SHA256")
                self.assertEqual(binfile.data, image, "BINFILE differs from the configured image")
                self.assertEqual(digest.data.hex(), hashlib.sha256(image).hexdigest())
                self.assertEqual(wrestool(exe, 10, "BINFILE_SHA256"), digest.data)

    def test_version_information(self):
        version = project_version()
        numbers = [int(n) for n in version.split(".")] + [0, 0, 0]
        expected = ".".join(str(n) for n in numbers[:4])
        for exe in EXES:
            with self.subTest(exe=exe):
                pe, image = self.load(exe)
                resource = pe.find(pe_resources.RT_VERSION, 1)
                self.assertIsNotNone(resource, "no VERSIONINFO")
                self.assertEqual(wrestool(exe, 16, 1), resource.data)
                fixed, strings = pe_resources.parse_version_info(resource.data)
                self.assertEqual(
                    pe_resources.version_of(fixed["file_ms"], fixed["file_ls"]), expected
                )
                self.assertEqual(
                    pe_resources.version_of(fixed["product_ms"], fixed["product_ls"]), expected
                )
                self.assertEqual(fixed["type"], 1, "file type is not an application")
                self.assertEqual((fixed["date_ms"], fixed["date_ls"]), (0, 0))
                sha256 = hashlib.sha256(image).hexdigest()
                self.assertEqual(strings.get("ProductName"), "Device Firmware Update Tool")
                self.assertEqual(strings.get("FileVersion"), version)
                self.assertEqual(strings.get("ProductVersion"), version)
                self.assertEqual(strings.get("FirmwareImageSize"), str(len(image)))
                self.assertRegex(strings.get("FirmwareImageSHA256", ""), r"^[0-9a-f]{64}$")
                self.assertEqual(strings.get("FirmwareImageSHA256"), sha256)
                # Task Manager shows the description as the process's name: the tool's
                # name only; the image is named by the two values above.
                self.assertEqual(strings.get("FileDescription"), "Device Firmware Update Tool")

    # Nothing in the file depends on when it was linked or its resources compiled.
    def test_no_time_stamps(self):
        for exe in EXES:
            with self.subTest(exe=exe):
                pe, _ = self.load(exe)
                self.assertEqual(pe.timestamp, 0, "link time stamp")
                self.assertEqual(set(pe.resource_timestamps), {0}, "resource time stamps")


class DamagedCopy(unittest.TestCase):
    def test_flip_changes_one_image_byte_only(self):
        exe = next((e for e in EXES if os.path.isfile(e)), None)
        if exe is None:
            self.skipTest("no executable built")
        with tempfile.TemporaryDirectory(prefix="fwt-flip-") as tmp:
            copy = os.path.join(tmp, "damaged.exe")
            at = pe_resources.flip_image_byte(exe, copy)
            with open(exe, "rb") as f:
                original = f.read()
            with open(copy, "rb") as f:
                damaged = f.read()
        self.assertEqual(len(damaged), len(original))
        differing = [i for i in range(len(original)) if original[i] != damaged[i]]
        self.assertEqual(differing, [at])
        binfile = pe_resources.parse_pe(original).find(pe_resources.RT_RCDATA, "BINFILE")
        self.assertTrue(binfile.offset <= at < binfile.offset + len(binfile.data))


if __name__ == "__main__":
    EXES.extend(os.path.abspath(a) for a in sys.argv[1:])
    unittest.main(argv=[sys.argv[0]], verbosity=2)
