"""tools/check-image.py over images this test makes itself (no real firmware): each format, each
rule's failure with its one line, the 0xFF gap fill, an ELF whose initialised data runs from RAM
but is stored in flash, and a configure of the product refused for an image linked for the boot
code's address.

    /usr/bin/python3 tests/packaging/image_check_test.py
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CHECK = os.path.join(ROOT, "tools", "check-image.py")
sys.path.insert(0, os.path.join(ROOT, "tools"))

from fwt_image import FLASH_BASE  # noqa: E402

SP, RESET = 0x20005000, FLASH_BASE + 0x101


def vectors(sp=SP, reset=RESET):
    return sp.to_bytes(4, "little") + reset.to_bytes(4, "little")


def body(size=0x200):
    return vectors() + bytes((i * 7) & 0xFF for i in range(size - 8))


def write_hex(path, runs):
    import intelhex

    image = intelhex.IntelHex()
    for address, data in runs:
        image.frombytes(data, offset=address)
    image.write_hex_file(path)


# A Cortex-M program: vector table and code in flash, .data run from RAM but stored after the
# code in flash, and a .bss that the file holds no bytes for.
PROGRAM = """
    .syntax unified
    .thumb
    .section .vectors, "a"
    .word 0x20005000
    .word reset
    .text
    .thumb_func
reset:
    b reset
    .data
value:
    .word 0x11223344
    .bss
buffer:
    .space 4096
"""
LINKER_SCRIPT = f"""
MEMORY {{
    FLASH (rx) : ORIGIN = {FLASH_BASE:#x}, LENGTH = 64K
    RAM (rwx) : ORIGIN = 0x20000000, LENGTH = 64K
}}
SECTIONS {{
    .text : {{ KEEP(*(.vectors)) *(.text*) . = ALIGN(4); }} > FLASH
    .data : {{ *(.data*) }} > RAM AT > FLASH
    .bss : {{ *(.bss*) }} > RAM
}}
"""


def write_elf(path, tmp):
    source, obj, script = (os.path.join(tmp, n) for n in ("p.s", "p.o", "p.ld"))
    with open(source, "w") as f:
        f.write(PROGRAM)
    with open(script, "w") as f:
        f.write(LINKER_SCRIPT)
    subprocess.run(["arm-none-eabi-as", "-mcpu=cortex-m4", source, "-o", obj], check=True)
    subprocess.run(["arm-none-eabi-ld", "-T", script, obj, "-o", path], check=True)


def run_check(path, *options, emit=None):
    extra = ["--emit", emit] if emit else []
    done = subprocess.run(
        [sys.executable, CHECK, path, *options, *extra], capture_output=True, text=True
    )
    return done.returncode, done.stdout + done.stderr


class ImageTable(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="fwt-images-")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.tmp, name)

    def raw(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def hexfile(self, name, runs):
        write_hex(self.path(name), runs)
        return self.path(name)

    def test_rules(self):
        linked_low = vectors(reset=0x08000101) + bytes(0x400)
        srec = self.path("ok.s37")
        subprocess.run(
            ["srec_cat", self.raw("s.bin", body()), "-binary", "-offset", hex(FLASH_BASE)]
            + ["-o", srec, "-Motorola", "-address-length=4"],
            check=True,
        )
        with open(self.hexfile("bad.hex", [(FLASH_BASE, body())])) as f:
            lines = f.read().splitlines()
        lines[2] = lines[2][:-2] + ("00" if lines[2][-2:] != "00" else "01")
        with open(self.path("bad.hex"), "w") as f:
            f.write("\n".join(lines) + "\n")
        top = 0x08100000
        rows = [
            # name, file, options, exit status, what its output holds
            ("raw binary", self.raw("ok.bin", body()), (), 0, "format   raw binary"),
            ("Intel HEX", self.hexfile("ok.hex", [(FLASH_BASE, body())]), (), 0, "Intel HEX"),
            ("S-record", srec, (), 0, "format   Motorola S-record"),
            ("linked for the boot code, raw", self.raw("low.bin", linked_low), (), 1,
             "vector table: reset handler 0x08000101 lies below the image (0x08004000-"
             "0x08004408): the image looks linked for another address"),
            ("linked for the boot code, HEX", self.hexfile("low.hex", [(0x08000000, linked_low)]),
             (), 1, "range: lowest byte at 0x08000000, below 0x08004000: the image looks "
             "linked for another address"),
            ("stack outside RAM", self.raw("sp.bin", vectors(sp=0x30000000) + bytes(8)), (), 1,
             "vector table: stack pointer 0x30000000 is not in RAM"),
            ("stack at a RAM range's end", self.raw("spend.bin", vectors(sp=0x20100000)
                                                    + bytes(0x200)), (), 0, "fits this device"),
            ("stack not a multiple of 4", self.raw("sp2.bin", vectors(sp=SP + 2) + bytes(0x200)),
             (), 1, "stack pointer 0x20005002 is not a multiple of 4"),
            ("Thumb bit clear", self.raw("even.bin", vectors(reset=RESET - 1) + bytes(0x200)),
             (), 1, "reset handler 0x08004100 is even (Thumb bit clear)"),
            ("reset past the image", self.raw("past.bin", vectors() + bytes(0x10)), (), 1,
             "reset handler 0x08004101 lies past the image (0x08004000-0x08004018)"),
            ("vector check off", self.raw("off.bin", vectors(sp=1) + bytes(8)),
             ("--no-vector-check",), 0, "the vector table check is off"),
            ("record below the base",
             self.hexfile("below.hex", [(FLASH_BASE - 0x10, b"\0" * 4), (FLASH_BASE, body())]),
             (), 1, "range: byte at 0x08003ff0 lies below 0x08004000 in the boot code's 16 KB"),
            ("byte past the flash",
             self.hexfile("past.hex", [(FLASH_BASE, body()), (top - 2, b"\1\2\3\4")]), (), 1,
             "range: byte at 0x08100000 lies past the flash (FWT_FLASH_END 0x08100000)"),
            ("flash end lowered", self.raw("big.bin", body(0x2000)),
             ("--flash-end", hex(FLASH_BASE + 0x1000)), 1, "byte at 0x08005000 lies past"),
            ("not starting at the base",
             self.hexfile("late.hex", [(FLASH_BASE + 0x400, body())]), (), 1,
             "start: lowest address is 0x08004400, not 0x08004000"),
            ("bad checksum", self.path("bad.hex"), (), 1,
             "format: Intel HEX: Record at line 3 has invalid checksum"),
            ("HEX named .bin", self.hexfile("hex.bin", [(FLASH_BASE, body())]), (), 0,
             "format   Intel HEX"),
            ("binary named .hex", self.raw("bin.hex", body()), (), 1,
             "format: the name says Intel HEX but the content is raw binary"),
            ("empty", self.raw("empty.bin", b""), (), 1, "size: the image holds no bytes"),
        ]  # fmt: skip
        for name, path, options, status, expected in rows:
            with self.subTest(name):
                got, out = run_check(path, *options)
                self.assertEqual(got, status, out)
                self.assertIn(expected, out)
                if status:
                    failing = [ln for ln in out.splitlines() if ln.startswith("FAIL ")]
                    self.assertEqual(len(failing), 1, out)
                    self.assertTrue(failing[0].startswith(f"FAIL {path}: "), out)

    def test_hex_gaps_fill_with_erased_flash_and_extended_addresses_count(self):
        runs = [(FLASH_BASE, body(0x100)), (FLASH_BASE + 0x10100, b"\xaa\xbb")]
        path = self.hexfile("gaps.hex", runs)
        with open(path) as f:
            self.assertIn(":020000040801", f.read(), "no extended linear address record")
        emitted = self.path("gaps.out")
        status, out = run_check(path, emit=emitted)
        self.assertEqual(status, 0, out)
        with open(emitted, "rb") as f:
            data = f.read()
        self.assertEqual(len(data), 0x10102)
        self.assertEqual(data[:0x100], body(0x100))
        self.assertEqual(set(data[0x100:0x10100]), {0xFF})
        self.assertEqual(data[0x10100:], b"\xaa\xbb")

    def test_elf_data_at_its_load_address_and_no_bss(self):
        if shutil.which("arm-none-eabi-as") is None:
            self.fail("arm-none-eabi-as missing (Debian: binutils-arm-none-eabi)")
        path = self.path("program.elf")
        write_elf(path, self.tmp)
        emitted = self.path("program.out")
        status, out = run_check(path, emit=emitted)
        self.assertEqual(status, 0, out)
        with open(emitted, "rb") as f:
            data = f.read()
        # Vector table (8), the branch padded to a word (4), then .data's word; no .bss.
        self.assertEqual(len(data), 16, out)
        self.assertEqual(data[:4], SP.to_bytes(4, "little"))
        self.assertEqual(data[12:], bytes.fromhex("44332211"))
        self.assertIn("reset    0x08004009", out)


class RefusedConfigure(unittest.TestCase):
    def test_image_linked_for_the_boot_code(self):
        with tempfile.TemporaryDirectory(prefix="fwt-configure-") as tmp:
            image = os.path.join(tmp, "linked-low.bin")
            with open(image, "wb") as f:
                f.write(vectors(reset=0x08000101) + bytes(0x400))
            done = subprocess.run(
                ["cmake", "--preset", "win32", "-B", os.path.join(tmp, "build")]
                + [f"-DFWT_FIRMWARE_IMAGE={image}"],
                cwd=ROOT,
                capture_output=True,
                text=True,
            )
        out = done.stdout + done.stderr
        self.assertNotEqual(done.returncode, 0, out)
        expected = (
            f"FAIL {image}: vector table: reset handler 0x08000101 lies below the image "
            "(0x08004000-0x08004408): the image looks linked for another address"
        )
        self.assertIn(expected + "\n", out)


if __name__ == "__main__":
    unittest.main(verbosity=2)
