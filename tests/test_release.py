"""The release build as users get it: hardened binaries that need only the C library,
manual pages that render cleanly, an install tree and a Debian package that Debian's own
checker accepts."""

import glob
import gzip
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from harness import BIN, ENV, libraries_needed, main, still_folder

BUILD = os.environ["GLASSBOX_BUILD"]
# The commands users get: the programs, tallycheck and interleave.
COMMANDS = os.environ["GLASSBOX_PROGRAMS"].split(",")
# What each needs beyond the C library: interleave decodes instructions with Capstone, and
# its containers are the C++ library's.
LIBRARIES = {"interleave": ["libcapstone.so.4", "libdw.so.1", "libstdc++.so.6"]}
# The pages as the build fills them in.
PAGES = sorted(page for page in glob.glob(os.path.join(BUILD, "*", "*.1")) if os.path.isfile(page))
with open(os.path.join(BUILD, "CMakeCache.txt")) as cache:
    VERSION = re.search(r"^CMAKE_PROJECT_VERSION:\w+=(.*)$", cache.read(), re.M).group(1)


def install_sources():
    """Where an install copies each file from, by the file's path under the prefix, as the
    build's install scripts say."""
    copies = re.compile(r'^ *file\(INSTALL DESTINATION "\$\{CMAKE_INSTALL_PREFIX\}/([^"]*)"'
                        r'[^\n]*?(?: RENAME "([^"]*)")? FILES\s([^)]*)\)', re.M)
    sources = {}
    for script in glob.glob(os.path.join(BUILD, "**", "cmake_install.cmake"), recursive=True):
        with open(script) as text:
            for folder, renamed, files in copies.findall(text.read()):
                sources |= {os.path.join(folder, renamed or os.path.basename(source)): source
                            for source in re.findall(r'"([^"]*)"', files)}
    return sources


def checked_first():
    """The files that an install checks are built before it copies anything."""
    with open(os.path.join(BUILD, "cmake_install.cmake")) as script:
        return re.search(r'^ *set\(files "([^"]*)"\)$', script.read(), re.M)[1].split(";")


def recorded(prefix):
    """The files that the last install into prefix copied, as its record in the build lists
    them."""
    for path in glob.glob(os.path.join(BUILD, "installs", "*")):
        with open(path) as record:
            lines = record.read().splitlines()
        if lines[0] == f"place {prefix}":
            return [line[len("file "):] for line in lines if line.startswith("file ")]
    raise AssertionError(f"no record of the install into {prefix}")


def tree(top):
    """Every folder under top, with the names in it."""
    return sorted((folder, sorted(folders), sorted(files)) for folder, folders, files in os.walk(top))


def output(*command):
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


class Binaries(unittest.TestCase):
    def test_every_program_is_hardened_and_needs_only_the_c_library(self):
        for program in COMMANDS:
            with self.subTest(program=program):
                elf = output("readelf", "-W", "-h", "-l", "-d", "-n", os.path.join(BIN, program))
                self.assertRegex(elf, r"Type:\s+DYN")
                self.assertRegex(elf, r"FLAGS_1.*\bPIE\b")
                self.assertRegex(elf, r"FLAGS_1.*\bNOW\b|\bBIND_NOW\b")
                self.assertIn("GNU_RELRO", elf)
                self.assertRegex(elf, r"GNU_STACK(\s+0x[0-9a-f]+){5}\s+RW\s")
                self.assertEqual(sorted(libraries_needed(elf)),
                                 sorted(["libc.so.6", *LIBRARIES.get(program, [])]))


class ManualPages(unittest.TestCase):
    def test_one_page_per_program_rendering_without_warnings(self):
        self.assertEqual(sorted(os.path.basename(page)[:-2] for page in PAGES), sorted(COMMANDS))
        for page in PAGES:
            with self.subTest(page=os.path.basename(page)):
                with open(page) as text:
                    self.assertRegex(text.readline(), rf'^\.TH \S+ 1 \S+ "glassbox {VERSION}" ')
                done = subprocess.run(["man", "--warnings", "-l", page], capture_output=True,
                                      text=True, check=False, env=dict(os.environ, MANWIDTH="80"))
                self.assertEqual((done.returncode, done.stderr), (0, ""))
                for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "EXAMPLES",
                                "SEE ALSO"):
                    self.assertRegex(done.stdout, rf"(?m)^{section}$")

    def test_man_finds_the_pages_in_the_build_through_path(self):
        # As the lab reads them: the build's bin folder on PATH, and no MANPATH.
        env = {key: value for key, value in os.environ.items() if key != "MANPATH"}
        env["PATH"] = BIN + os.pathsep + env["PATH"]
        for program in COMMANDS:
            with self.subTest(program=program):
                found = subprocess.run(["man", "-w", program], env=env, capture_output=True,
                                       text=True, check=False)
                self.assertEqual(found.stdout, os.path.join(BUILD, "share", "man", "man1",
                                                            program + ".1.gz\n"), found.stderr)


class Packaging(unittest.TestCase):
    def test_an_install_where_man_finds_the_pages_and_the_uninstall_that_undoes_it(self):
        # Into a prefix with spaces that holds a folder and a file of its own, twice over;
        # then the package is made, whose staging install must not replace the install's
        # record; then the uninstall leaves the tree as it was, and has nothing more to do.
        with tempfile.TemporaryDirectory() as top:
            prefix = os.path.join(top, "a prefix", "with spaces")
            os.makedirs(os.path.join(prefix, "share"))
            with open(os.path.join(prefix, "a file of its own"), "w"):
                pass
            before = tree(top)
            records = os.path.join(BUILD, "installs")
            kept = sorted(os.listdir(records)) if os.path.isdir(records) else []
            install = ["cmake", "--install", BUILD, "--prefix", prefix]
            output(*install)
            output(*install)
            env = {key: value for key, value in os.environ.items() if key != "MANPATH"}
            env["PATH"] = os.path.join(prefix, "bin") + os.pathsep + env["PATH"]
            for program in COMMANDS:
                with self.subTest(program=program):
                    self.assertTrue(os.access(os.path.join(prefix, "bin", program), os.X_OK))
                    found = subprocess.run(["man", "-w", program], env=env, capture_output=True,
                                           text=True, check=True).stdout
                    self.assertEqual(found, os.path.join(prefix, "share", "man", "man1",
                                                         program + ".1.gz\n"))
            output("cpack", "-G", "DEB", "-B", os.path.join(top, "package"), "--config",
                   os.path.join(BUILD, "CPackConfig.cmake"))
            shutil.rmtree(os.path.join(top, "package"))
            output(*install, "--component", "uninstall")
            self.assertEqual(tree(top), before)
            self.assertEqual(sorted(os.listdir(records)), kept, "a record left behind")
            again = subprocess.run(install + ["--component", "uninstall"], capture_output=True,
                                   text=True, check=False)
            self.assertNotEqual(again.returncode, 0)
            self.assertIn("Nothing to uninstall", again.stderr)

    def test_the_install_checks_first_every_file_it_copies_and_its_tools_answer(self):
        # Each file that the install copied, traced to where it came from: every one from the
        # build is one that the install checks is built before it copies anything, so that a
        # partial build installs nothing. The tools, those whose page has --version, answer
        # it as installed.
        top = tempfile.TemporaryDirectory()
        self.addCleanup(top.cleanup)
        install = ["cmake", "--install", BUILD, "--prefix", top.name]
        output(*install)
        self.addCleanup(output, *install, "--component", "uninstall")
        copied = [os.path.relpath(path, top.name) for path in recorded(top.name)]
        sources = install_sources()
        self.assertEqual(sorted(copied), sorted(sources))
        from_build = {sources[name] for name in copied if sources[name].startswith(BUILD + "/")}
        self.assertTrue(from_build)
        self.assertEqual(from_build - set(checked_first()), set())
        tools = []
        for program in COMMANDS:
            with gzip.open(os.path.join(top.name, "share", "man", "man1", program + ".1.gz"),
                           "rt") as page:
                if "\n.B \\-\\-version\n" in page.read():
                    tools.append(program)
        self.assertTrue(tools)
        for program in tools:
            with self.subTest(program=program):
                done = subprocess.run([os.path.join(top.name, "bin", program), "--version"],
                                      capture_output=True, text=True, check=False, timeout=60)
                self.assertEqual((done.returncode, done.stdout, done.stderr),
                                 (0, f"{program} (glassbox) {VERSION}\n", ""))

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        output("cpack", "-G", "DEB", "-B", cls.folder.name, "--config",
               os.path.join(BUILD, "CPackConfig.cmake"))
        cls.package, = glob.glob(os.path.join(cls.folder.name, "*.deb"))

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def test_debian_package_holds_stripped_programs_pages_and_licence(self):
        architecture = output("dpkg", "--print-architecture").strip()
        self.assertEqual(os.path.basename(self.package), f"glassbox_{VERSION}_{architecture}.deb")
        fields = output("dpkg-deb", "--field", self.package, "Package", "Version", "Depends",
                        "Recommends")
        self.assertRegex(fields, rf"^Package: glassbox\nVersion: {re.escape(VERSION)}\nDepends: ")
        # What the programs link, as dpkg-shlibdeps finds it, and nothing else: no
        # interpreter, no debugger.
        depends = re.search(r"^Depends: (.*)$", fields, re.M)[1]
        self.assertEqual(sorted(re.sub(r" \(.*?\)", "", depends).split(", ")),
                         ["libc6", "libcapstone4", "libdw1", "libstdc++6"])
        self.assertNotIn("Recommends:", fields)
        tree = os.path.join(self.folder.name, "tree")
        output("dpkg-deb", "--extract", self.package, tree)
        for program in COMMANDS:
            with self.subTest(program=program):
                binary = os.path.join(tree, "usr", "bin", program)
                self.assertTrue(os.access(binary, os.X_OK))
                self.assertNotIn(".symtab", output("readelf", "-S", "-W", binary))
                page = os.path.join(tree, "usr", "share", "man", "man1", program + ".1.gz")
                self.assertIn("gzip compressed data, max compression", output("file", page))
        documents = os.path.join(tree, "usr", "share", "doc", "glassbox")
        self.assertEqual(sorted(os.listdir(documents)), ["changelog.gz", "copyright"])
        with open(os.path.join(documents, "copyright")) as copyright_file:
            self.assertRegex(copyright_file.read(), r"(?m)^Files: \*\n.*\nLicense: ISC\n")

    def test_packaged_interleave_holds_the_packaged_stripped_programs(self):
        tree = tempfile.mkdtemp(dir=self.folder.name)
        output("dpkg-deb", "--extract", self.package, tree)
        interleave = [os.path.join(tree, "usr", "bin", "interleave"), "-c", "-s"]
        built = subprocess.run([os.path.join(BIN, "interleave"), "-c", "-s", "IDDDII",
                                "loosetally"], capture_output=True, text=True, check=False,
                               env=ENV)
        self.assertEqual((built.returncode, built.stderr), (1, ""))
        # With no symbols, the workers are A and B in the order they start, and the counter
        # is shown by its address: the workers' steps, the lines, the counter and the
        # verdict are the same.
        done = subprocess.run(interleave + ["ABBBAA", os.path.join(tree, "usr", "bin",
                                                                   "loosetally")],
                              capture_output=True, text=True, check=False)
        self.assertEqual((done.returncode, done.stderr), (1, ""))
        address = re.search(r" from (0x[0-9a-f]+) ", done.stdout)[1]
        expected = built.stdout.replace("count ", address + " ").replace("joins I", "joins A")
        self.assertEqual(workers_steps(done.stdout), workers_steps(expected, {"I": "A", "D": "B"}))
        self.assertEqual(done.stdout.split("\nlines printed:\n")[1],
                         expected.split("\nlines printed:\n")[1])
        folder, _ = still_folder(self)
        done = subprocess.run(interleave + ["PPPCC", os.path.join(tree, "usr", "bin",
                                                                  "spawnlist")],
                              capture_output=True, text=True, check=False, cwd=folder)
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertIn("\nprompt and listing: the prompt first, then the listing\n", done.stdout)

    @unittest.skipUnless(shutil.which("lintian"), "Debian's checker lintian is not installed")
    def test_debian_checker_finds_no_error_or_warning(self):
        done = subprocess.run(["lintian", "--fail-on", "error,warning", self.package],
                              capture_output=True, text=True, check=False)
        self.assertEqual(done.returncode, 0, done.stdout)
        self.assertNotRegex(done.stdout, r"(?m)^[EW]: ")


def workers_steps(output, letters=None):
    """The rows of a schedule's steps taken by a thread other than main's, each thread's
    letter given another by `letters`, as its words."""
    rows = []
    for line in output.splitlines():
        row = re.match(r"^( {0,3}\d+  )([A-LN-Z])( .*)$", line)
        if row:
            rows.append((row[1] + (letters or {}).get(row[2], row[2]) + row[3]).split())
    return rows


if __name__ == "__main__":
    main()
