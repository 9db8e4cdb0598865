"""The schedules that interleave runs, and what it says about them: reading one, drawing one
from a seed, the questions to predict, each step's line and the changes that the counter
kept or lost."""

import random
import re

WORKERS = {"I": "Inc", "D": "Dec"}
WHO = {"loosetally": WORKERS, "guardtally": WORKERS, "spawnlist": {"P": "parent", "C": "child"}}
# spawnlist's parent forks, prints its line and exits; its child runs the listing program
# and lists.
SPAWN_STEPS = {"P": 3, "C": 2}
MOST_STEPS = 1000


def parse(text, kind):
    """The steps of a schedule: one letter a step, in either case, and a letter followed by
    a count is that many steps (I3 is III). Spaces and commas are ignored."""
    letters = []
    for token in re.finditer(r"[\s,]*(?:([A-Za-z])(\d*)|(.))", text):
        letter, count, other = token.groups()
        if other or letter.upper() not in WHO[kind]:
            raise ValueError(f"{(other or letter)!r} is not a step of {kind}: its steps are "
                             + " and ".join(f"{key} ({who})" for key, who in WHO[kind].items()))
        repeats = int(count) if count else 1
        if len(letters) + repeats > MOST_STEPS:
            raise ValueError(f"a schedule has at most {MOST_STEPS} steps")
        letters += [letter.upper()] * repeats
    if kind == "spawnlist":
        check_spawn(letters)
    return letters


def check_spawn(letters):
    for letter, most in SPAWN_STEPS.items():
        if letters.count(letter) > most:
            raise ValueError(f"spawnlist's {WHO['spawnlist'][letter]} has only {most} steps")
    if "C" in letters and letters.index("C") < (letters + ["P"]).index("P"):
        raise ValueError("the child exists only after the parent's fork: a P comes first")


def seeded(kind, seed, steps):
    """A random valid schedule drawn from `seed`: the same for the same seed, everywhere."""
    draw = random.Random(seed)
    if kind == "spawnlist":
        rest = ["P", "P", "C", "C"]
        draw.shuffle(rest)
        return ["P"] + rest
    return [draw.choice("ID") for _ in range(steps)]


def written(letters):
    return "".join(letters)


def questions(kind, letters):
    who = WHO[kind]
    lines = [f"{kind}, schedule {written(letters)}: {len(letters)} steps"]
    row = [f"{number:>4} {who[letter]}" for number, letter in enumerate(letters, 1)]
    lines += ["".join(f"{cell:<12}" for cell in row[start:start + 6]).rstrip()
              for start in range(0, len(row), 6)]
    lines.append("Predict:")
    if kind == "spawnlist":
        lines += ["  What does each step print, and which process is each one's parent?",
                  "  Does a shell's prompt come before the listing or after it?"]
    else:
        if kind == "guardtally":
            lines.append("  Which waits block, and when does a blocked worker go on?")
        lines += ["  Which lines are printed, in order?",
                  "  What is the counter at the end, after how many changes?",
                  "  How many changes are lost, and what does tallycheck say?"]
    return lines


class Tally:
    """The changes made to the counter, and those that its value still holds. A store writes
    what its worker loaded, changed by one: the changes that the other worker stored since
    that load are wiped out."""

    def __init__(self):
        self.made = []   # every change, in order: "Inc" or "Dec"
        self.kept = []   # the numbers of the changes that the counter's value is made of
        self.loaded = {}

    def load(self, who):
        self.loaded[who] = list(self.kept)

    def store(self, who):
        self.made.append(who)
        self.kept = self.loaded.pop(who, self.kept) + [len(self.made) - 1]

    def lost(self):
        return [who for number, who in enumerate(self.made) if number not in self.kept]


def counted(whos, what):
    """How many changes, and whose: "2 changes (1 Inc, 1 Dec)"."""
    if not whos:
        return f"no {what}"
    parts = [f"{whos.count(who)} {who}" for who in ("Inc", "Dec") if who in whos]
    return f"{len(whos)} {what}{'' if len(whos) == 1 else 's'} ({', '.join(parts)})"


def describe(reply, printed):
    """What a step did, as its line says it; `printed` is the first line it printed."""
    kind_of_step = reply["kind"]
    quoted = f'prints "{printed}"' if printed is not None else "prints nothing"
    if kind_of_step in ("load", "store"):
        return f"{kind_of_step}s {reply['value']}"
    if kind_of_step == "report":
        return quoted
    if kind_of_step == "wait":
        if reply["blocked"]:
            return f"waits: blocked, semaphore {reply['before']}"
        return f"waits: takes the semaphore, {reply['before']} to {reply['semaphore']}"
    if kind_of_step == "change":
        return f"changes the counter to {reply['count']}"
    if kind_of_step == "post":
        return f"posts: semaphore {reply['before']} to {reply['semaphore']}"
    if kind_of_step == "line":
        return quoted
    if kind_of_step == "exec":
        return f"exec fails: {reply['status']}" if reply["failed"] else "execs /bin/ls"
    if kind_of_step == "list":
        return "has ended" if reply["ended"] else f"lists, exits {reply['status']}"
    if kind_of_step == "exit":
        return f"exits {reply['status']}"
    return "forks"


def state(kind, reply):
    """The step line's fourth column: the counter, or each live process and its parent."""
    if kind != "spawnlist":
        return str(reply["count"])
    return ", ".join(f"{role} under {parent}" for role, parent in reply["processes"]) or "none"
