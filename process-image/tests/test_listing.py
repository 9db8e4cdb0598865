"""spawnlist and swaplist with the real /bin/ls: what is listed, what is printed around it,
and what happens when fork, exec or the output fails."""

import re
import subprocess
import tempfile
import unittest

from harness import main, on_terminal, require, sh, still_folder, strace

# As a shell does it: 127 when the file does not exist, 126 when it exists but the exec
# fails for any other reason, a lack of permission or a file that is no program.
CANNOT_RUN = (("ENOENT", 127, "No such file or directory"), ("EACCES", 126, "Permission denied"),
              ("ENOEXEC", 126, "Exec format error"))


class ListingCase(unittest.TestCase):
    """Runs in a directory whose listing cannot change under the test."""

    def setUp(self):
        self.folder, self.listing = still_folder(self, files=(".hidden", "file"),
                                                 folders=("subfolder",))

    def run_here(self, script, stdout=subprocess.PIPE):
        return sh(script, stdout=stdout, cwd=self.folder)

    def outputs(self, program):
        """The program's output through a pipe and into a file."""
        piped = self.run_here(program)
        with tempfile.TemporaryFile("w+") as file:
            into_file = self.run_here(program, stdout=file)
            file.seek(0)
            into_file.stdout = file.read()
        return {"pipe": piped, "file": into_file}


class SpawnList(ListingCase):
    def test_parent_line_once_and_the_listing_of_the_start_folder(self):
        for arguments in ("", " -x /"):
            for way, done in self.outputs("spawnlist" + arguments).items():
                with self.subTest(arguments=arguments, way=way):
                    self.assertEqual((done.returncode, done.stderr), (0, ""))
                    self.assertEqual(sorted(done.stdout.splitlines(keepends=True)),
                                     sorted(self.listing.splitlines(keepends=True) +
                                            ["Parent: \n"]))

    def test_parent_line_is_written_after_the_fork(self):
        # Into a pipe a line printed before the fork would still go out after it, from the
        # parent's buffer at exit; on a terminal each line goes out as it is printed, so the
        # order of the calls shows where the program prints it.
        require("strace", "strace")
        with tempfile.NamedTemporaryFile("r") as trace:
            _, _, status = on_terminal(["strace", "-f", "-o", trace.name, "-e",
                                        "trace=clone,clone3,fork,vfork,write", "spawnlist"],
                                       cwd=self.folder)
            calls = trace.read()
        self.assertEqual(status, 0)
        fork = re.search(r"^\d+ +(clone|clone3|fork|vfork)\(", calls, re.M)
        parent_line = re.search(r'^\d+ +write\(1, "Parent: \\n", 9\)', calls, re.M)
        self.assertTrue(fork and parent_line, calls)
        self.assertLess(fork.start(), parent_line.start(), calls)

    def test_child_that_cannot_run_the_listing(self):
        for error, status, reason in CANNOT_RUN:
            with self.subTest(error=error), tempfile.NamedTemporaryFile("r") as trace:
                done = self.run_here(f"strace -f -o {trace.name} -e trace=execve "
                                     f"-e inject=execve:error={error}:when=1 spawnlist")
                self.assertEqual((done.returncode, done.stdout), (0, "Parent: \n"))
                self.assertEqual(done.stderr, f"spawnlist: cannot run /bin/ls: {reason}\n")
                exits = re.findall(r"\+\+\+ exited with (\d+)", trace.read())
                self.assertEqual(sorted(exits), sorted(["0", str(status)]))

    def test_failed_fork(self):
        done = self.run_here(strace("clone:error=EAGAIN", "clone3:error=EAGAIN") + " spawnlist")
        self.assertEqual((done.returncode, done.stdout, done.stderr),
                         (1, "", "spawnlist: cannot fork: Resource temporarily unavailable\n"))


class SwapList(ListingCase):
    def test_line_before_the_listing_on_every_kind_of_output(self):
        for way, done in self.outputs("swaplist -l ..").items():
            with self.subTest(way=way):
                self.assertEqual((done.returncode, done.stderr), (0, ""))
                self.assertEqual(done.stdout, "Before exec\n" + self.listing)
        out, _, status = on_terminal(["swaplist"], cwd=self.folder)
        self.assertEqual(status, 0)
        self.assertEqual(out.decode(), ("Before exec\n" + self.listing).replace("\n", "\r\n"))

    def test_the_listing_runs_in_the_same_process(self):
        with tempfile.NamedTemporaryFile("r") as trace:
            self.run_here(f"strace -f -o {trace.name} -e trace=execve,clone,clone3,fork,vfork "
                          "swaplist >/dev/null")
            calls = [line.split(None, 1) for line in trace.read().splitlines()]
        self.assertEqual([call.split("(")[0] for _, call in calls if "(" in call],
                         ["execve", "execve"])
        self.assertEqual(len({pid for pid, _ in calls}), 1)

    def test_listing_status_comes_through(self):
        done = self.run_here(strace("getdents64:error=EIO") + " swaplist")
        self.assertEqual(done.returncode, 2)
        self.assertTrue(done.stdout.startswith("Before exec\n"))
        self.assertIn("reading directory '.': Input/output error", done.stderr)

    def test_listing_that_cannot_run(self):
        for error, status, reason in CANNOT_RUN:
            command = strace(f"execve:error={error}:when=1") + " swaplist"
            expected = (status, "Before exec\nAfter exec\n",
                        f"swaplist: cannot run /bin/ls: {reason}\n")
            for way, done in self.outputs(command).items():
                with self.subTest(error=error, way=way):
                    self.assertEqual((done.returncode, done.stdout, done.stderr), expected)
            out, _, status = on_terminal(["bash", "-c", command], cwd=self.folder)
            self.assertEqual((status, out.decode()),
                             (expected[0], (expected[1] + expected[2]).replace("\n", "\r\n")))


class OutputFailures(unittest.TestCase):
    def test_write_error_on_a_terminal(self):
        # A terminal's stream is line-buffered: the failed write happens inside puts, and
        # only the stream's error flag still tells the final flush about it.
        for program in ("spawnlist", "swaplist"):
            with self.subTest(program=program):
                command = strace("write:error=EIO:when=1") + " " + program
                out, _, status = on_terminal(["bash", "-c", command])
                self.assertEqual(status, 1, out)
                self.assertIn(f"{program}: write error: Input/output error\r\n", out.decode())
                self.assertNotIn("Before exec", out.decode())

    def test_output_that_fails(self):
        for program in ("spawnlist", "swaplist"):
            for redirect, reason in ((">/dev/full", "No space left on device"),
                                     (">&-", "Bad file descriptor")):
                with self.subTest(program=program, redirect=redirect):
                    done = sh(f"{program} {redirect}")
                    self.assertEqual(done.returncode, 1)
                    message = f"{program}: write error: {reason}\n"
                    if program == "swaplist":  # the image is not replaced, so ls says nothing
                        self.assertEqual(done.stderr, message)
                    else:  # the child's ls meets the same output and says so itself
                        self.assertIn(message, done.stderr)


if __name__ == "__main__":
    main()
