"""The project's Markdown pages as a reader sees them, rendered by a real CommonMark
renderer: every code block closes where its author closed it, every heading survives, and
every file that a page links to or shows is there."""

import glob
import html
import os
import re
import subprocess
import tempfile
import unittest
from urllib.parse import unquote, urlparse

from harness import main, require, sealed, sh

SOURCE = os.environ["GLASSBOX_SOURCE"]
# The pages at the top, and those under docs/ that the README links to.
PAGES = sorted(glob.glob(os.path.join(SOURCE, "*.md")) +
               glob.glob(os.path.join(SOURCE, "docs", "*.md")))
FENCE = re.compile(r"^ {0,3}(`{3,}|~{3,})(.*)$")


def intended(text):
    """The headings and the number of code blocks as the author meant them: every fence line
    opens a block or closes the open one, whatever follows it on the line."""
    headings, blocks, open_fence = [], 0, None
    for line in text.splitlines():
        fence = FENCE.match(line)
        if fence and open_fence is None:
            open_fence, blocks = fence.group(1)[0], blocks + 1
        elif fence and fence.group(1)[0] == open_fence:
            open_fence = None
        elif open_fence is None and re.match(r"^#{1,6} ", line):
            headings.append(line.lstrip("#").strip().replace("`", ""))
    return headings, blocks, open_fence


def rendered(text):
    require("cmark-gfm", "cmark-gfm")
    page = subprocess.run(["cmark-gfm", "--extension", "table"], input=text, text=True,
                          capture_output=True, check=True).stdout
    headings = [html.unescape(re.sub(r"<[^>]+>", "", heading))
                for heading in re.findall(r"<h[1-6][^>]*>(.*?)</h[1-6]>", page)]
    return page, headings


class Pages(unittest.TestCase):
    def test_pages_render_as_written(self):
        self.assertIn(os.path.join(SOURCE, "README.md"), PAGES)
        for path in PAGES:
            with self.subTest(page=os.path.basename(path)), open(path, encoding="utf-8") as page:
                text = page.read()
                headings, blocks, left_open = intended(text)
                self.assertIsNone(left_open, "a code block is never closed")
                closers = [line for line in text.splitlines()
                           if FENCE.match(line) and not FENCE.match(line).group(2).strip()]
                self.assertEqual(len(closers), blocks, "a closing fence has text after it")
                out, shown = rendered(text)
                self.assertEqual(shown, headings)
                self.assertEqual(out.count("<pre>"), blocks)

    def test_linked_files_exist(self):
        for path in PAGES:
            with open(path, encoding="utf-8") as page:
                out, _ = rendered(page.read())
            for target in re.findall(r'(?:href|src)="([^"]+)"', out):
                link = urlparse(html.unescape(target))
                if link.scheme or link.netloc or not link.path:
                    continue
                with self.subTest(page=os.path.basename(path), target=target):
                    self.assertTrue(os.path.exists(os.path.join(os.path.dirname(path),
                                                                unquote(link.path))))


def console_commands(text):
    """The commands of each console block, typed after a "$ " prompt: each names a command
    or sets a variable first. A line that only looks like one, output printed after the
    prompt came back, does neither."""
    blocks = re.findall(r"^```console\n(.*?)^```", text, re.M | re.S)
    commands = [[line[2:] for line in block.splitlines() if line.startswith("$ ")]
                for block in blocks]
    return [[command for command in block if re.match(r"\w+=", command)
             or sh(f"type {command.split()[0]}").returncode == 0] for block in commands]


class Examples(unittest.TestCase):
    def test_examples_run_twice_alike(self):
        # The race makes loosetally's figures differ from run to run, so those are held only
        # to running; every other example must print the same lines the second time. Each
        # runs sealed to a folder of its own, as a reader's commands must not write a fixed
        # name where other users would see it.
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        prefix, unsealed = sealed(folder.name, folder.name)
        blocks = []
        for path in PAGES:
            with open(path, encoding="utf-8") as page:
                blocks += console_commands(page.read())
        self.assertTrue(any("strace" in command for block in blocks for command in block))
        for block in blocks:
            runs = []
            for _ in range(2):
                runs.append([])
                script = ""
                for command in block:
                    script += command + "\n"
                    done = sh(script + 'status=$?; echo; echo "status $status"', prefix=prefix)
                    runs[-1].append(done.stdout.splitlines())
                    with self.subTest(command=command):
                        self.assertEqual(done.stderr, "")
                        self.assertRegex(done.stdout, r"(?m)^status [01]$")
            if not any("loosetally" in command for command in block):
                self.assertEqual([len(lines) for lines in runs[0]],
                                 [len(lines) for lines in runs[1]], block)
        if unsealed:
            self.skipTest(f"every example ran, but not sealed: {unsealed}")


def listed(path):
    """The package names of a list: the first word of each line, less its comment."""
    with open(path, encoding="utf-8") as lines:
        return [words[0] for words in (line.split("#")[0].split() for line in lines) if words]


class InstallLine(unittest.TestCase):
    def test_the_readme_installs_the_suite_s_list(self):
        # The one list of what the suite needs is tests/packages.txt, which CI installs too:
        # the README's install command, its continued lines joined, names exactly those.
        with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as page:
            text = page.read().replace("\\\n", " ")
        installs = re.findall(r"^apt-get install (.*)$", text, re.M)
        self.assertEqual([line.split() for line in installs],
                         [listed(os.path.join(SOURCE, "tests", "packages.txt"))])


if __name__ == "__main__":
    main()
