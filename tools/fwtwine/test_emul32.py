"""Unit tests of emul32.py against a stand-in binfmt_misc directory and made-up executables."""

import os
import struct
import tempfile
import unittest
from pathlib import Path

from fwtwine import emul32, pe as pe_file

HANDLER_ENABLED = """enabled
interpreter /usr/bin/qemu-i386-static
flags: F
offset 0
magic 7f454c4601010100000000000000000002000300
mask fffffffffffefe00fffffffffffffffffeffffff
"""


def pe(machine, lfanew=0x80):
    head = bytearray(lfanew + 24)
    head[:2] = b"MZ"
    head[0x3C:0x40] = struct.pack("<I", lfanew)
    head[lfanew : lfanew + 6] = b"PE\0\0" + struct.pack("<H", machine)
    return bytes(head)


class Machine(unittest.TestCase):
    """A stand-in machine: binfmt_misc directory, QEMU and the 32-bit Wine loader as files."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        root = Path(self.tmp.name)
        self.binfmt = root / "binfmt_misc"
        self.binfmt.mkdir()
        self.qemu = root / "qemu-i386-static"
        self.wine32 = root / "wine"
        for f in (self.binfmt / "register", self.qemu, self.wine32):
            f.write_text("")
        self.handler = self.binfmt / emul32.HANDLER
        self.handler.write_text(
            HANDLER_ENABLED.replace("/usr/bin/qemu-i386-static", str(self.qemu))
        )
        # The QEMU the handler runs (asked through the loader) and the one on disk.
        self.running, self.on_disk = (10, 0), (10, 0)

    def tearDown(self):
        self.tmp.cleanup()

    def version_of(self, argv, env):
        return self.running if env and env.get("QEMU_VERSION") else self.on_disk

    def missing(self):
        return emul32.missing(self.binfmt, str(self.qemu), str(self.wine32), self.version_of)

    def set_up(self):
        return emul32.set_up(self.binfmt, str(self.qemu), str(self.wine32), self.version_of)


class MissingTest(Machine):
    def test_all_there(self):
        self.assertIsNone(self.missing())

    def test_each_gap_is_one_line_that_names_it(self):
        cases = [
            (lambda: self.qemu.unlink(), "qemu-user-static"),
            (lambda: self.wine32.unlink(), "wine32:i386"),
            (lambda: (self.binfmt / "register").unlink(), "binfmt_misc is not mounted"),
            (lambda: self.handler.unlink(), "no i386 handler"),
            (
                lambda: self.handler.write_text(
                    self.handler.read_text().replace("enabled", "disabled", 1)
                ),
                "is disabled",
            ),
            (lambda: self.handler.write_text(HANDLER_ENABLED), "/usr/bin/qemu-i386-static"),
            (lambda: setattr(self, "running", (7, 2)), "QEMU 7.2, which takes 80 to 100 s"),
        ]
        for breakage, named in cases:
            with self.subTest(named=named):
                self.tearDown()
                self.setUp()
                breakage()
                line = self.missing()
                self.assertIsNotNone(line)
                self.assertIn(named, line)
                self.assertTrue(line.startswith(emul32.PREFIX))
                self.assertNotIn("\n", line)

    def test_old_qemu_says_how_to_get_a_current_one(self):
        self.running = self.on_disk = (7, 2)
        self.assertIn("qemu-user-static from bookworm-backports", self.missing())
        # Upgraded on disk, but the handler still runs the file it opened when registered.
        self.on_disk = (10, 0)
        self.assertIn("is 10.0 now: register the handler again", self.missing())
        # A version that cannot be read is not held against the machine.
        self.running = None
        self.assertIsNone(self.missing())

    def test_qemu_version_from_its_banner(self):
        banner = "qemu-i386 version 10.0.2 (Debian 1:10.0.2+ds-2+deb13u1~bpo12+1)"
        self.assertEqual((10, 0), emul32.qemu_version(["echo", banner]))
        self.assertEqual((7, 2), emul32.qemu_version(["echo", "qemu-i386 version 7.2.0"]))
        self.assertIsNone(emul32.qemu_version(["echo", "no banner"]))
        self.assertIsNone(emul32.qemu_version(["/nonexistent/qemu", "--version"]))

    def test_handler_state(self):
        state = emul32.handler_state(self.binfmt)
        self.assertTrue(state["enabled"])
        self.assertEqual(str(self.qemu), state["interpreter"])
        self.assertEqual("F", state["flags"])
        self.handler.unlink()
        self.assertIsNone(emul32.handler_state(self.binfmt))


class SetUpTest(Machine):
    def test_registers_the_handler_when_absent(self):
        self.handler.unlink()
        line = self.set_up()
        # The stand-in kernel does not create the handler, so it is still reported missing.
        self.assertIn("no i386 handler", line)
        self.assertEqual(emul32.REGISTRATION, (self.binfmt / "register").read_text())

    def test_leaves_a_registered_handler_alone(self):
        before = self.handler.read_text()
        self.assertIsNone(self.set_up())
        self.assertEqual("", (self.binfmt / "register").read_text())
        self.assertEqual(before, self.handler.read_text())

    def test_switches_a_disabled_handler_back_on(self):
        self.handler.write_text(self.handler.read_text().replace("enabled", "disabled", 1))
        self.set_up()
        # What the kernel is told; the stand-in file takes it as it is.
        self.assertEqual("1", self.handler.read_text())

    def test_registers_again_a_handler_that_runs_a_replaced_qemu(self):
        self.running = (7, 2)
        self.set_up()
        self.assertEqual("-1", self.handler.read_text())
        self.assertEqual(emul32.REGISTRATION, (self.binfmt / "register").read_text())

    def test_leaves_an_old_qemu_alone_when_nothing_newer_is_installed(self):
        self.running = self.on_disk = (7, 2)
        before = self.handler.read_text()
        self.assertIn("bookworm-backports", self.set_up())
        self.assertEqual(before, self.handler.read_text())

    def test_leaves_another_programs_handler_alone(self):
        self.handler.write_text(HANDLER_ENABLED.replace("enabled", "disabled", 1))
        before = self.handler.read_text()
        self.set_up()
        self.assertEqual(before, self.handler.read_text())

    def test_registration_matches_i386_elf_programs_only(self):
        _, name, kind, offset, magic, mask, interpreter, flags = emul32.REGISTRATION.split(":")
        self.assertEqual(
            (emul32.HANDLER, "M", "", emul32.QEMU, "F"), (name, kind, offset, interpreter, flags)
        )

        def decode(text):
            # As the kernel reads it: \xHH escapes, other characters as they are.
            return text.encode().decode("unicode_escape").encode("latin-1")

        magic, mask = decode(magic), decode(mask)
        self.assertEqual(20, len(magic))
        self.assertEqual(len(magic), len(mask))
        # The kernel takes a file when (header XOR magic) AND mask is zero in every byte.
        matches = lambda header: not any((h ^ g) & m for h, g, m in zip(header, magic, mask))
        # ELF, 32-bit, little-endian; e_type executable (2) or shared object (3: the mask drops
        # the low bit), e_machine 3 (i386).
        i386_exec = b"\x7fELF\x01\x01\x01\x00" + bytes(8) + struct.pack("<HH", 2, 3)
        i386_dyn = b"\x7fELF\x01\x01\x01\x00" + bytes(8) + struct.pack("<HH", 3, 3)
        amd64 = b"\x7fELF\x02\x01\x01\x00" + bytes(8) + struct.pack("<HH", 2, 62)
        arm = b"\x7fELF\x01\x01\x01\x00" + bytes(8) + struct.pack("<HH", 2, 40)
        self.assertTrue(matches(i386_exec))
        self.assertTrue(matches(i386_dyn))
        self.assertFalse(matches(amd64))
        self.assertFalse(matches(arm))


class PeTest(unittest.TestCase):
    def check(self, data, want):
        with tempfile.NamedTemporaryFile(delete=False) as f:
            f.write(data)
        try:
            self.assertEqual(want, pe_file.is_i386(f.name))
        finally:
            os.unlink(f.name)

    def test_machine_types(self):
        self.check(pe(0x14C), True)
        self.check(pe(0x8664), False)
        self.check(pe(0x14C, lfanew=0x40), True)

    def test_not_a_pe(self):
        self.check(b"", False)
        self.check(b"\x7fELF" + bytes(60), False)
        self.check(pe(0x14C)[:0x85], False)  # cut off before the machine field
        self.assertFalse(pe_file.is_i386("/nonexistent/fwt.exe"))


if __name__ == "__main__":
    unittest.main()
