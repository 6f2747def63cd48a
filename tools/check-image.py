#!/usr/bin/env python3
"""Checks a firmware image for this device without building anything: prints its format, its
address range, the size and SHA-256 of the bytes that would be embedded, the stack pointer and
the reset handler, and the verdict (exit status 0 when it may be embedded, 1 when not, with the
one line naming the file, the rule and the offending value). CMake runs the same command when
it configures, with --emit to write the bytes BINFILE carries.

    python3 tools/check-image.py FILE [--flash-end 0x08100000] [--ram START-END;...]
                                      [--no-vector-check] [--emit OUT.bin]
    python3 tools/check-image.py --defaults      # FWT_FLASH_END and FWT_RAM_RANGES' defaults
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import fwt_image  # noqa: E402


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file", nargs="?")
    parser.add_argument("--flash-end", default=hex(fwt_image.DEFAULT_FLASH_END))
    parser.add_argument("--ram", default=fwt_image.format_ranges(fwt_image.DEFAULT_RAM))
    parser.add_argument("--no-vector-check", action="store_true")
    parser.add_argument("--unchecked", action="store_true", help="embed without the rules (tests)")
    parser.add_argument("--emit", help="write the bytes to embed here (only when they changed)")
    parser.add_argument("--defaults", action="store_true")
    args = parser.parse_args(argv)
    if args.defaults:
        print(f"{fwt_image.DEFAULT_FLASH_END:#010x}")
        print(fwt_image.format_ranges(fwt_image.DEFAULT_RAM))
        return 0
    if args.file is None:
        parser.error("no image file given")
    try:
        flash_end = int(args.flash_end, 0)
        ram = fwt_image.parse_ranges(args.ram)
    except ValueError as e:
        print(f"FAIL {args.file}: settings: {e}")
        return 1
    try:
        image = fwt_image.load(args.file)
        if not args.unchecked:
            fwt_image.check(image, flash_end, ram, not args.no_vector_check)
    except fwt_image.ImageError as e:
        print(f"FAIL {args.file}: {e}")
        return 1
    except OSError as e:
        print(f"FAIL {args.file}: file: {e.strerror}")
        return 1
    flat = image.flat() if image.runs else b""
    if image.runs:
        for line in fwt_image.describe(image, flat):
            print(line)
    if args.emit:
        fwt_image.write_if_changed(args.emit, flat)
    if args.unchecked:
        print("ok       embedded unchecked: the image's rules are off")
    elif args.no_vector_check:
        print("ok       the image fits the flash; the vector table check is off")
    else:
        print("ok       the image fits this device")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
