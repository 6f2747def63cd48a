"""Checks that the product builds reproducibly: copies the sources to a temporary directory at
another path, builds fwt.exe there with the win32 preset and the same image, and compares it
byte for byte with the reference build (build/win32/fwt.exe by default). The second build runs
later and in other directories, so a time stamp or a build path in the file shows up as a
difference.

    python3 tools/check-reproducible.py [--reference build/win32/fwt.exe] [--keep]
    python3 tools/check-reproducible.py --reference released/fwt.exe --image firmware.bin

A released fwt.exe is checked against its source by running this from a checkout of its commit
with the image it was built with (same Debian 12 MinGW-w64 toolchain).
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

from fwtwine import pe
from fwtwine.paths import PRODUCT, ROOT, repo_files


def sha256_of(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def configured_image(build_dir):
    with open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8") as f:
        for line in f:
            if line.startswith("FWT_FIRMWARE_IMAGE:"):
                return line.split("=", 1)[1].strip()
    return None


def copy_sources(root, dest):
    for rel in repo_files(root):
        target = os.path.join(dest, rel)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(os.path.join(root, rel), target)


def describe_difference(a_path, b_path):
    with open(a_path, "rb") as f:
        a = f.read()
    with open(b_path, "rb") as f:
        b = f.read()
    if len(a) != len(b):
        print(f"sizes differ: {len(a)} and {len(b)} bytes")
    differing = [i for i in range(min(len(a), len(b))) if a[i] != b[i]]
    image = pe.parse_pe(a)
    print(f"{len(differing)} differing bytes in the common length")
    for i in differing[:12]:
        print(f"  offset {i:#08x} ({image.section_of(i)}): {a[i]:02x} / {b[i]:02x}")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reference", default=str(PRODUCT))
    parser.add_argument(
        "--image",
        help="the firmware image (default: the one the reference's "
        "build tree was configured with)",
    )
    parser.add_argument("--keep", action="store_true", help="keep the second tree")
    args = parser.parse_args(argv)

    reference = os.path.abspath(args.reference)
    if not os.path.isfile(reference):
        print(
            f"FAIL no reference build at {reference} (cmake --preset win32 && "
            "cmake --build --preset win32)"
        )
        return 1
    image = os.path.abspath(args.image) if args.image else None
    if image is None and os.path.isfile(os.path.join(os.path.dirname(reference), "CMakeCache.txt")):
        image = configured_image(os.path.dirname(reference))
    if image is None:
        print(
            f"FAIL no image: {os.path.dirname(reference)} has no CMakeCache.txt naming it; "
            "give --image"
        )
        return 1

    tmp = tempfile.mkdtemp(prefix="fwt-reproducible-")
    try:
        return compare(reference, second_build(tmp, image))
    finally:
        if args.keep:
            print(f"second tree kept in {tmp}")
        else:
            shutil.rmtree(tmp, ignore_errors=True)


def second_build(tmp, image):
    """Builds fwt.exe from a copy of the sources under tmp; returns its path, or None when the
    build failed (its log's end printed)."""
    # Another source path of another length, so that a path in the file moves bytes.
    source = os.path.join(tmp, "second", "source-tree")
    copy_sources(ROOT, source)
    log = os.path.join(tmp, "build.log")
    configure = ["cmake", "--preset", "win32", f"-DFWT_FIRMWARE_IMAGE={image}"]
    with open(log, "w") as out:
        for command in (configure, ["cmake", "--build", "--preset", "win32", "--target", "fwt"]):
            quiet = dict(stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
            if subprocess.run(command, cwd=source, **quiet).returncode != 0:
                with open(log) as f:
                    sys.stdout.write(f.read()[-3000:])
                print(f"FAIL the second build failed: {' '.join(command)}")
                return None
    return os.path.join(source, "build", "win32", "fwt.exe")


def compare(reference, second):
    """Prints both builds' digests and where they differ; returns the exit code."""
    if second is None:
        return 1
    first_sum, second_sum = sha256_of(reference), sha256_of(second)
    print(f"reference  {first_sum}  {reference}")
    print(f"second     {second_sum}  {second}")
    if first_sum != second_sum:
        describe_difference(reference, second)
        print("FAIL the two builds differ")
        return 1
    size = os.path.getsize(reference)
    print(f"ok   reproducible: both builds are {size} bytes with SHA-256 {first_sum}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
