"""The release build as users get it: hardened binaries that need only the C library,
manual pages that render cleanly, an install tree and a Debian package."""

import glob
import os
import re
import subprocess
import tempfile
import unittest

from harness import BIN

BUILD, SOURCE = os.environ["GLASSBOX_BUILD"], os.environ["GLASSBOX_SOURCE"]
PROGRAMS = os.environ["GLASSBOX_PROGRAMS"].split(",")
PAGES = sorted(glob.glob(os.path.join(SOURCE, "*", "*.1")))


def output(*command):
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


class Binaries(unittest.TestCase):
    def test_every_program_is_hardened_and_needs_only_the_c_library(self):
        for program in PROGRAMS:
            with self.subTest(program=program):
                elf = output("readelf", "-W", "-h", "-l", "-d", "-n", os.path.join(BIN, program))
                self.assertRegex(elf, r"Type:\s+DYN")
                self.assertRegex(elf, r"FLAGS_1.*\bPIE\b")
                self.assertRegex(elf, r"FLAGS_1.*\bNOW\b|\bBIND_NOW\b")
                self.assertIn("GNU_RELRO", elf)
                self.assertRegex(elf, r"GNU_STACK(\s+0x[0-9a-f]+){5}\s+RW\s")
                self.assertEqual(re.findall(r"\(NEEDED\).*\[(.*)\]", elf), ["libc.so.6"])


class ManualPages(unittest.TestCase):
    def test_one_page_per_program_rendering_without_warnings(self):
        self.assertEqual(sorted(os.path.basename(page)[:-2] for page in PAGES), sorted(PROGRAMS))
        for page in PAGES:
            with self.subTest(page=os.path.basename(page)):
                done = subprocess.run(["man", "--warnings", "-l", page], capture_output=True,
                                      text=True, check=False, env=dict(os.environ, MANWIDTH="80"))
                self.assertEqual((done.returncode, done.stderr), (0, ""))
                for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "EXAMPLES",
                                "SEE ALSO"):
                    self.assertRegex(done.stdout, rf"(?m)^{section}$")


class Packaging(unittest.TestCase):
    def test_install_puts_programs_and_pages_where_man_finds_them(self):
        with tempfile.TemporaryDirectory() as prefix:
            output("cmake", "--install", BUILD, "--prefix", prefix)
            for program in PROGRAMS:
                with self.subTest(program=program):
                    self.assertTrue(os.access(os.path.join(prefix, "bin", program), os.X_OK))
                    page = output("man", "--manpath", os.path.join(prefix, "share", "man"),
                                  "-P", "cat", "1", program)
                    self.assertRegex(page, rf"(?m)^NAME\n\s+{program} \S+ ")

    def test_debian_package_holds_every_program_and_page(self):
        with tempfile.TemporaryDirectory() as folder:
            output("cpack", "-G", "DEB", "-B", folder, "--config",
                   os.path.join(BUILD, "CPackConfig.cmake"))
            package, = glob.glob(os.path.join(folder, "*.deb"))
            self.assertRegex(os.path.basename(package), r"^glassbox_\d+\.\d+\.\d+_amd64\.deb$")
            fields = output("dpkg-deb", "--field", package, "Package", "Version", "Depends")
            self.assertRegex(fields, r"Package: glassbox\nVersion: \d+\.\d+\.\d+\n"
                                     r"Depends: libc6 \(>= [\d.]+\)\n")
            contents = output("dpkg-deb", "--contents", package)
            for program in PROGRAMS:
                self.assertRegex(contents, rf"-rwxr-xr-x .* \./usr/bin/{program}\n")
                self.assertIn(f" ./usr/share/man/man1/{program}.1\n", contents)


if __name__ == "__main__":
    unittest.main()
