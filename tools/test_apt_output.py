"""The line the set-up scripts print when apt stops, over apt's own output in each case seen."""

import unittest

import apt_output

LOCK = "It is held by process 14521 (python3)"
RELEASE = "E: Release file for http://deb.debian.org/debian/dists/bookworm-updates/InRelease"
SYNC = "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/"
UNREACHABLE = "W: Failed to fetch http://127.0.0.1:9/debian/dists/bookworm/InRelease  Could not"

# apt's output -> the line printed.
ROWS = [
    (  # apt-get update while another program holds the lists' lock
        f"Reading package lists...\nE: Could not get lock /var/lib/apt/lists/lock. {LOCK}\n"
        "E: Unable to lock directory /var/lib/apt/lists/\n",
        f"another program holds apt's lock: E: Could not get lock /var/lib/apt/lists/lock. {LOCK}",
    ),
    (  # apt-get install whose wait for dpkg's lock timed out: the holder is on the wait line
        "Waiting for cache lock: Could not get lock /var/lib/dpkg/lock-frontend. It is held by "
        "process 16186 (python3)...\nE: Unable to acquire the dpkg frontend lock "
        "(/var/lib/dpkg/lock-frontend), is another process using it?\n",
        "another program holds apt's lock: E: Unable to acquire the dpkg frontend lock "
        "(/var/lib/dpkg/lock-frontend), is another process using it? (It is held by process "
        "16186 (python3))",
    ),
    (  # the machine's clock behind the archive's
        f"Hit:1 http://deb.debian.org/debian bookworm InRelease\n{RELEASE} is not valid yet "
        "(invalid for another 2d 3h 4min 5s). Updates for this repository will not be applied.\n",
        f"this machine's clock is behind the archive's: {RELEASE} is not valid yet (invalid for "
        "another 2d 3h 4min 5s). Updates for this repository will not be applied.",
    ),
    (  # a signing key missing: named on the warning line only
        "W: GPG error: file:/tmp/fwt-setup/repo-key ./ InRelease: The following signatures "
        "couldn't be verified because the public key is not available: NO_PUBKEY 7DFC275870021ACC"
        "\nE: The repository 'file:/tmp/fwt-setup/repo-key ./ InRelease' is not signed.\n",
        "apt lacks the archive's signing key (NO_PUBKEY 7DFC275870021ACC): E: The repository "
        "'file:/tmp/fwt-setup/repo-key ./ InRelease' is not signed.",
    ),
    (  # apt-get update, not root
        "E: Could not open lock file /var/lib/apt/lists/lock - open (13: Permission denied)\n"
        "E: Unable to lock directory /var/lib/apt/lists/\n",
        "not root: E: Could not open lock file /var/lib/apt/lists/lock - open (13: Permission "
        "denied)",
    ),
    (  # a mirror part way through a sync
        f"{SYNC}binary-i386/by-hash/SHA256/5d1c  File has unexpected size (1 != 2). Mirror sync "
        f"in progress? [IP: 151.101.2.132 80]\n{SYNC}binary-amd64/by-hash/SHA256/9e7f  File has "
        "unexpected size (3 != 4). Mirror sync in progress? [IP: 151.101.2.132 80]\n"
        "E: Some index files failed to download. They have been ignored, or old ones used instead.",
        f"{SYNC}binary-i386/by-hash/SHA256/5d1c  File has unexpected size (1 != 2). Mirror sync "
        "in progress? [IP: 151.101.2.132 80] (and 1 more)",
    ),
    (  # an index that cannot be reached: apt-get update exits 0 with warnings only
        "Err:1 http://127.0.0.1:9/debian bookworm InRelease\n  Could not connect to 127.0.0.1:9 "
        f"(127.0.0.1). - connect (111: Connection refused)\n{UNREACHABLE} connect to 127.0.0.1:9 "
        "(127.0.0.1). - connect (111: Connection refused)\nW: Some index files failed to "
        "download. They have been ignored, or old ones used instead.\n",
        f"{UNREACHABLE} connect to 127.0.0.1:9 (127.0.0.1). - connect (111: Connection refused)",
    ),
    (  # no error line at all: sudo refused
        "fwttest is not in the sudoers file.\n",
        "fwttest is not in the sudoers file.",
    ),
    ("", "apt printed nothing"),
]


class Reason(unittest.TestCase):
    def test_each_case(self):
        for output, expected in ROWS:
            with self.subTest(expected=expected[:40]):
                self.assertEqual(expected, apt_output.reason(output))

    def test_lock_wait_said_once(self):
        waiting = (
            f"Waiting for cache lock: Could not get lock /var/lib/dpkg/lock-frontend. {LOCK}..."
        )
        notice = apt_output.LockNotice(300)
        shown = [notice.line(line) for line in ["Reading package lists...", waiting, waiting, "ok"]]
        self.assertEqual(
            [
                "Reading package lists...",
                f"Waiting up to 300 s for apt's lock (Could not get lock "
                f"/var/lib/dpkg/lock-frontend. {LOCK})",
                None,
                "ok",
            ],
            shown,
        )


if __name__ == "__main__":
    unittest.main()
