"""The choices tools/install32.py makes for a library whose i386 and amd64 lists disagree."""

import unittest

import install32

MADISON = """\
   libssl3 | 3.0.22-1~deb12u2 | http://deb.debian.org/debian-security bookworm-security/main amd64 Packages
   libssl3 | 3.0.20-1~deb12u2 | http://deb.debian.org/debian bookworm/main amd64 Packages
libssl3:i386 | 3.0.20-1~deb12u2 | http://deb.debian.org/debian bookworm/main i386 Packages
libssl3:i386 | 3.0.17-1~deb12u2 | http://deb.debian.org/debian bookworm-updates/main i386 Packages
  libheif1 | 1.19.7-1~bpo12+1 | http://deb.debian.org/debian bookworm-backports/main amd64 Packages
"""


class Pins(unittest.TestCase):
    def test_version_both_halves_take(self):
        ssl_amd64 = ["3.0.22-1~deb12u2", "3.0.20-1~deb12u2", "3.0.17-1~deb12u2"]
        ssl_i386 = ["3.0.20-1~deb12u2", "3.0.17-1~deb12u2"]
        rows = [
            # installed amd64, amd64 offers, i386 offers -> pin
            (
                "1:1.2.13.dfsg-1",
                ["1:1.2.13.dfsg-1+deb12u1"],
                ["1:1.2.13.dfsg-1"],
                "1:1.2.13.dfsg-1",
            ),
            ("3.0.19-1~deb12u2", ssl_amd64, ssl_i386, "3.0.20-1~deb12u2"),
            ("1.22.0-3+deb12u7", ["1.22.0-3+deb12u6"], ["1.22.0-3+deb12u6"], "1.22.0-3+deb12u6"),
            ("2.0-1", ["2.0-1", "3.0-1"], ["1.0-1"], None),
        ]
        for installed, amd64, i386, expected in rows:
            with self.subTest(installed=installed):
                self.assertEqual(expected, install32.pin_for(installed, amd64, i386))

    def test_lists_read(self):
        offered = install32.parse_madison(MADISON)
        self.assertEqual(["3.0.22-1~deb12u2", "3.0.20-1~deb12u2"], offered["libssl3"])
        self.assertEqual(["3.0.20-1~deb12u2", "3.0.17-1~deb12u2"], offered["libssl3:i386"])
        self.assertNotIn("libheif1", offered, "backports are never pinned to")
        installed = install32.parse_installed(
            "libssl3\tamd64\t3.0.19-1~deb12u2\tsame\topenssl\tii \n"
            "libfoo\tamd64\t1.0\tsame\tfoo\trc \n"
        )
        self.assertEqual({("libssl3", "amd64"): ("3.0.19-1~deb12u2", "same", "openssl")}, installed)

    def test_siblings_once(self):
        was, to = "2.38.1-5+deb12u4", "2.38.1-5+deb12u3"
        installed = {
            (name, arch): (was, "same" if name.startswith("lib") else "foreign", "util-linux")
            for name, arch in [("libblkid1", "amd64"), ("libmount1", "amd64"), ("mount", "amd64")]
        }
        installed[("libmount1", "i386")] = (was, "same", "util-linux")
        installed[("zlib1g", "amd64")] = ("1:1.2.13.dfsg-1+deb12u1", "same", "zlib")
        moved = [("util-linux", was, to), ("util-linux", was, to)]
        self.assertEqual(
            [("mount", "amd64", to)],
            install32.siblings(moved, installed, {"libblkid1", "libmount1"}),
        )


class Consent(unittest.TestCase):
    def test_downgrades_only_when_allowed(self):
        rows = [
            ({}, False),
            ({"CI": "true"}, True),
            ({"CI": "false", "FWT_ALLOW_DOWNGRADES": "0"}, False),
            ({"CI": "", "FWT_ALLOW_DOWNGRADES": "1"}, True),
            ({"FWT_ALLOW_DOWNGRADES": "yes"}, False),
        ]
        for env, allowed in rows:
            with self.subTest(env=env):
                self.assertEqual(allowed, install32.may_downgrade(env))

    def test_what_would_go_down(self):
        chosen = [
            ("libssl3:amd64", "3.0.20-1~deb12u2", "3.0.22-1~deb12u2"),  # down
            ("libssl3:i386", "3.0.20-1~deb12u2", None),  # the new i386 half
            ("zlib1g:amd64", "1:1.2.13.dfsg-1", "1:1.2.13.dfsg-1"),  # held
            ("libfoo:amd64", "2.0-1", "1.0-1"),  # up
        ]
        down = install32.downgrades(chosen)
        self.assertEqual([("libssl3:amd64", "3.0.22-1~deb12u2", "3.0.20-1~deb12u2")], down)
        argv = install32.APT_INSTALL + ["--allow-downgrades", "wine32:i386"]
        argv += [f"{n}={v}" for n, v, _ in chosen]
        said = install32.refusal(["wine32:i386"], down, argv)
        self.assertNotIn("\n", said, "one paragraph")
        for part in [
            "libssl3:amd64 3.0.22-1~deb12u2 -> 3.0.20-1~deb12u2",
            "--allow-downgrades wine32:i386 'libssl3:amd64=3.0.20-1~deb12u2' 'libssl3:i386=",
            "ctest -L wine",
            "FWT_ALLOW_DOWNGRADES=1",
        ]:
            self.assertIn(part, said)


if __name__ == "__main__":
    unittest.main()
