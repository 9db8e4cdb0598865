"""interleave's page of one schedule, as a learner sees it: opened from a file in a real
browser (Chromium, headless, driven over its DevTools pipe), stepped through with the keys,
and read back from what the page shows."""

import fcntl
import json
import os
import select
import shutil
import subprocess
import tempfile
import time
import unittest

from harness import ENV, end_session, main, require, sh

# The page as the build joins it from page.html, page.css and page.js: the one that interleave
# holds.
TEMPLATE = os.path.join(os.environ["GLASSBOX_BUILD"], "staging", "show", "page.html")
# The one text of the template that interleave replaces with the schedule's JSON.
SLOT = "/*SCHEDULE*/null"
# Each reply or event of the browser must come within this many seconds.
REPLY_SECONDS = 30
KEY_CODES = {"ArrowRight": 39, "ArrowLeft": 37, "Home": 36, "End": 35}


def page_from(schedule, folder):
    """The page that interleave makes of `schedule`, made here from the template by the same
    substitution: the JSON, with every "<" written as \\u003c, in place of the slot."""
    with open(TEMPLATE, encoding="utf-8") as template:
        text = template.read()
    assert text.count(SLOT) == 1, "the template holds its slot once"
    path = os.path.join(folder, "page.html")
    with open(path, "w", encoding="utf-8") as page:
        page.write(text.replace(SLOT, json.dumps(schedule).replace("<", "\\u003c")))
    return path


class Browser:
    """Headless Chromium with one page, driven over the DevTools protocol on a pair of pipes:
    it reads commands from its fd 3 and writes replies and events to its fd 4, each a JSON
    message ended by a NUL byte. Every process of the browser is killed on leaving."""

    def __init__(self):
        require("chromium", "chromium")
        self.profile = tempfile.mkdtemp()
        # What the browser says, for a failure to show why it ended.
        self.log = open(os.path.join(self.profile, "stderr"), "w+", encoding="utf-8")
        commands, self.to_browser = os.pipe()
        self.from_browser, replies = os.pipe()
        # Above 4, so that neither of the shell's redirections below overwrites the other.
        ends = [fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10) for fd in (commands, replies)]
        for fd in (commands, replies):
            os.close(fd)
        try:
            self.process = subprocess.Popen(
                ["bash", "-c", f'exec "$@" 3<&{ends[0]} 4>&{ends[1]} {ends[0]}<&- {ends[1]}>&-',
                 "bash", "chromium", "--headless", "--no-sandbox", "--remote-debugging-pipe",
                 f"--user-data-dir={self.profile}", "--no-first-run", "--disable-gpu",
                 "--window-size=1024,768", "about:blank"],
                # Its caches, settings and sockets in the profile's folder too, not the
                # user's own nor a shared one: killed, the browser removes none of them.
                env=dict(ENV, HOME=self.profile, XDG_CONFIG_HOME=self.profile,
                         XDG_CACHE_HOME=self.profile, TMPDIR=self.profile),
                pass_fds=ends, stdout=subprocess.DEVNULL, stderr=self.log,
                start_new_session=True)
        finally:
            for fd in ends:
                os.close(fd)
        self.received, self.events, self.last_id, self.session = b"", [], 0, None

    def __enter__(self):
        try:
            target = self.send("Target.createTarget", url="about:blank")["targetId"]
            self.session = self.send("Target.attachToTarget", targetId=target,
                                     flatten=True)["sessionId"]
            self.send("Page.enable")
            self.send("Runtime.enable")  # so that an error in the page's script is reported
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *_):
        end_session(self.process.pid)
        self.process.wait()
        os.close(self.to_browser)
        os.close(self.from_browser)
        self.log.close()
        shutil.rmtree(self.profile, ignore_errors=True)

    def message(self, deadline):
        """The browser's next message, failing once the deadline has passed."""
        while b"\0" not in self.received:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.from_browser], [], [], left)[0]:
                raise AssertionError("the browser did not answer in time")
            chunk = os.read(self.from_browser, 1 << 16)
            if not chunk:
                self.log.seek(0)
                raise AssertionError("the browser ended:\n" + self.log.read()[-2000:])
            self.received += chunk
        text, self.received = self.received.split(b"\0", 1)
        return json.loads(text)

    def send(self, method, **params):
        """Sends a command (to the page once attached) and returns its result."""
        self.last_id += 1
        command = {"id": self.last_id, "method": method, "params": params}
        if self.session:
            command["sessionId"] = self.session
        os.write(self.to_browser, json.dumps(command).encode() + b"\0")
        deadline = time.monotonic() + REPLY_SECONDS
        while (reply := self.message(deadline)).get("id") != self.last_id:
            self.events.append(reply)
        if "error" in reply:
            raise AssertionError(f"{method}: {reply['error']}")
        return reply["result"]

    def open(self, path):
        self.events.clear()
        self.send("Page.navigate", url="file://" + path)
        deadline = time.monotonic() + REPLY_SECONDS
        while not any(event.get("method") == "Page.loadEventFired" for event in self.events):
            self.events.append(self.message(deadline))

    def read(self, expression):
        """The value of a JavaScript expression in the page."""
        result = self.send("Runtime.evaluate", expression=expression, returnByValue=True)
        if "exceptionDetails" in result:
            raise AssertionError(f"{expression}: {result['exceptionDetails']}")
        for event in self.events:
            if event.get("method") == "Runtime.exceptionThrown":
                raise AssertionError(f"the page's script failed: {event['params']}")
        return result["result"].get("value")

    def press(self, key):
        """A key pressed and released, as from the keyboard, with nothing clicked first."""
        for kind in ("keyDown", "keyUp"):
            self.send("Input.dispatchKeyEvent", type=kind, key=key, code=key,
                      windowsVirtualKeyCode=KEY_CODES[key])


# What the page shows now: the current step, the counter, the lost changes joined, the end.
SHOWN = """({
    current: document.getElementById("current").textContent,
    count: document.querySelector('#values [data-place="count"]').textContent,
    links: [...document.querySelectorAll("#links path")].map(
        link => link.dataset.load + "-" + link.dataset.store),
    marked: [...document.querySelectorAll("#steps td.stale, #steps td.wiping, #steps td.wiped")]
        .map(cell => cell.className.split(" ").pop() + " " + cell.dataset.step),
    lost: [...document.querySelectorAll("#lost li")].filter(item => !item.hidden)
        .map(item => item.textContent),
    printed: document.getElementById("printed").innerText,
    end: document.getElementById("end").hidden ? null : document.getElementById("end").innerText,
    said: document.getElementById("status").textContent,
})"""
# A name that a browser would take for markup, and for the end of the page's script.
MARKUP = '</script><b id="injected">!</b>'
# Each step's thread, by the lane its text is in.
LANES = """[...document.querySelectorAll("#steps td.move")].map(
    cell => [cell.dataset.step, cell.dataset.thread, cell.querySelector(".does").textContent]
        .join(" "))"""


class InFolder(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.folder)


class PageOfASchedule(InFolder):
    """interleave's page of a real run, stepped through with the keys: each step in its
    thread's lane, the counter as of the current step, the lost change joined once its
    wiping store is reached and no longer when the learner steps back before it."""

    def test_a_lost_decrement_step_by_step(self):
        page = os.path.join(self.folder, "IDDDII.html")
        made = sh(f"interleave -c --page={page} -s IDDDII loosetally", timeout=200)
        self.assertEqual((made.returncode, made.stderr), (1, ""))
        self.step_through_the_lost_decrement(page)

    def step_through_the_lost_decrement(self, page):
        with Browser() as browser:
            browser.open(page)
            self.assertEqual(browser.read("document.getElementById('title').textContent"),
                             "loosetally, schedule IDDDII")
            self.assertEqual(browser.read(LANES), [
                "1 M pthread_create: starts I (incThread)", "2 I loads 0 from count",
                "3 M pthread_create: starts D (decThread)", "4 D loads 0 from count",
                "5 D stores -1 to count", "6 D loads -1 from count", "7 I stores 1 to count",
                "8 I loads 1 from count"])
            counts = []
            for step in range(1, 9):
                browser.press("ArrowRight")
                shown = browser.read(SHOWN)
                self.assertEqual(shown["current"], str(step))
                counts.append(shown["count"])
                joined = step >= 7
                self.assertEqual(shown["links"], ["2-7"] if joined else [])
                self.assertEqual(shown["marked"],
                                 ["stale 2", "wiped 5", "wiping 7"] if joined else [])
                self.assertEqual(len(shown["lost"]), joined)
                self.assertEqual(shown["end"] is not None, step == 8)
            # Until a step touches the counter its value may not be known: a dash.
            self.assertIn(counts[0], ("0", "\u2013"))
            self.assertEqual(counts[1:], ["0", "0", "0", "-1", "-1", "1", "1"])
            self.assertIn("I stores 1 to count from the 0 it loaded at step 2, wiping out D's change "
                          "stored at step 5", shown["lost"][0])
            self.assertEqual(shown["printed"].split("\n")[:2], ["Dec: -1", "Inc: 1"])
            self.assertEqual(shown["end"].split("\n")[1:], [
                "M joins I", "stopped: the schedule ends here",
                "counter: 1 after 2 changes; 1 lost", "tallycheck: inconsistent, breaks 1"])
            browser.press("ArrowRight")  # past the end: it stays there
            self.assertEqual(browser.read(SHOWN)["current"], "8")
            browser.press("ArrowLeft")
            browser.read("document.getElementById('back').click()")  # and with the mouse
            shown = browser.read(SHOWN)
            self.assertEqual((shown["current"], shown["count"], shown["links"], shown["lost"],
                              shown["marked"], shown["end"]), ("6", "-1", [], [], [], None))
            self.assertIn("D (decThread) loads -1 from count", shown["said"])
            browser.press("Home")
            self.assertEqual(browser.read(SHOWN)["printed"], "nothing yet")


class PageFromOutside(InFolder):
    """What the page shows comes from the program, never as markup, and fits the window."""

    def test_six_threads_deadlocked_with_names_that_look_like_markup(self):
        """Names and printed lines come from outside: the page shows them as text. Six lanes
        fit a 1024-pixel window; a deadlock's cycle is drawn at the end."""
        threads = [{"letter": "M", "name": "main"}] + [
            {"letter": letter, "name": f"worker{MARKUP}"} for letter in "ABCDE"]
        cycle = ["A holds first and waits for second, held by B",
                 "B holds second and waits for first, held by A"]
        moves = [(letter, f"pthread_create: starts {letter} (worker{MARKUP})", "", "free",
                  "free") for letter in "ABCDE"] + [
            ("A", "sem_wait(first): takes it, value now 0", "", "held by A", "free"),
            ("a", "flag[0] = 1 leaves A's buffer", "<i>not markup</i>\n", "held by A", "free"),
            ("B", "sem_wait(second): takes it, value now 0", "", "held by A", "held by B"),
            ("A", "sem_wait(second): waits", "", "held by A", "held by B"),
            ("B", "sem_wait(first): waits", "", "held by A", "held by B")]
        schedule = {
            "title": f"{MARKUP}, schedule ABAB", "order": "x86's store buffers (total store order)",
            "threads": threads, "places": ["flag[0]"], "locks": ["first", "second"],
            "steps": [{"n": n, "who": who, "thread": "MABCDE".index(who.upper()), "does": does,
                       "printed": printed, "instruction": "", "values": {"flag[0]": "1"},
                       "lockStates": {"first": first, "second": second},
                       "buffers": "A holds flag[1] = 1" if n > 5 else ""}
                      for n, (who, does, printed, first, second) in enumerate(moves, 1)],
            "lost": [], "waits": ["M joins A"], "deadlock": cycle,
            "outcome": ["deadlock: no thread can go"]}
        with Browser() as browser:
            browser.send("Network.enable")
            page = page_from(schedule, self.folder)
            browser.open(page)
            browser.press("End")
            # One file, opened from disk, that asks for nothing else: no font, no script.
            self.assertEqual([event["params"]["request"]["url"] for event in browser.events
                              if event.get("method") == "Network.requestWillBeSent"],
                             ["file://" + page])
            self.assertEqual(browser.read("""[
                document.getElementById("current").textContent,
                document.querySelector("#injected, #printed i") === null,
                document.getElementById("title").textContent,
                document.querySelector('#lanes [data-thread="E"] .name').textContent,
                document.getElementById("printed").textContent,
                document.documentElement.scrollWidth <= document.documentElement.clientWidth,
                [...document.querySelectorAll("#lanes th.lane")].length,
                document.getElementById("locks").innerText,
                document.getElementById("buffers").textContent,
                [...document.querySelectorAll("#deadlock li")].map(item => item.textContent),
                document.getElementById("deadlock").hidden]"""), [
                    "10", True, f"{MARKUP}, schedule ABAB", f"worker{MARKUP}",
                    "<i>not markup</i>\n", True, 6, "first\nheld by A\nsecond\nheld by B",
                    "A holds flag[1] = 1", [cycle[0], "\u2193", cycle[1],
                                            "\u21ba round to A again"], False])


if __name__ == "__main__":
    main()
