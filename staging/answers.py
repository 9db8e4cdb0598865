"""interleave's answers: a line for each step as the real program takes it, then the lines
printed, the counter against the changes made and the changes lost, and tallycheck's
verdict on exactly those lines. Asked for step by step, on a terminal, when no schedule was
given."""

import os
import shutil
import subprocess

import schedule

HEADERS = {"counter": "step  who     does                                counter  printed",
           "spawnlist": "step  who     does                  processes after it                  "
                        "  printed"}


def ask(kind, taken, readable):
    """The next steps, typed at the terminal; None when the user ends. The line is read as
    the terminal gives it, in a wait that a signal, an interrupt typed included, ends."""
    choices = " or ".join(f"{key} ({who})" for key, who in schedule.WHO[kind].items())
    while True:
        print(f"step {len(taken) + 1}: who goes next, {choices}? (Enter ends) ", end="",
              flush=True)
        while not readable(0, None):
            pass
        typed = os.read(0, 4096).decode(errors="replace")
        if not typed:
            print()
            return None
        if not typed.strip():
            return None
        try:
            return schedule.parse(schedule.written(taken) + typed, kind)[len(taken):]
        except ValueError as error:
            print(f"  {error}")


def shown(printed):
    lines = printed.splitlines()
    if len(lines) > 1:
        return f"({len(lines)} lines)"
    return lines[0] if lines else ""


def account(tally, who, reply):
    if reply["kind"] in ("load", "change"):
        tally.load(who)
    if reply["kind"] in ("store", "change"):
        tally.store(who)


def run(session, kind, program, letters, readable):
    interactive = letters is None
    print(f"{kind}, " + ("each step as it is asked for" if interactive else
                         f"schedule {schedule.written(letters)}"))
    print(HEADERS["spawnlist" if kind == "spawnlist" else "counter"])
    tally, output, taken, moments = schedule.Tally(), "", [], {"count": 0}
    waiting = [] if interactive else list(letters)
    while True:
        if not waiting:
            waiting = ask(kind, taken, readable) if interactive else None
            if not waiting:
                break
        letter = waiting.pop(0)
        taken.append(letter)
        reply, printed = session.step(letter)
        output += printed
        who = schedule.WHO[kind][letter]
        account(tally, who, reply)
        moments["count"] = reply.get("count", 0)
        line = printed.splitlines()[0] if printed.splitlines() else None
        does = schedule.describe(reply, line)
        after = schedule.state(kind, reply)
        if kind == "spawnlist":
            row = f"{len(taken):>4}  {who:<6}  {does:<20}  {after:<36}  {shown(printed)}"
        else:
            row = f"{len(taken):>4}  {who:<6}  {does:<34}  {after:>7}  {shown(printed)}"
        print(row.rstrip())
        if reply["kind"] == "exit" or reply["kind"] == "list" and not reply["ended"]:
            moments[reply["kind"]] = len(taken)
        moments["failed"] = moments.get("failed") or reply.get("failed")
        if reply["kind"] == "exit":
            print("      the parent has ended: here a shell prints its prompt")
    if interactive:
        print(f"schedule taken: {schedule.written(taken) or 'none'}")
    summary(kind, program, output, tally, moments)
    return 0


def summary(kind, program, output, tally, moments):
    lines = output.splitlines()
    print("lines printed:" + ("" if lines else " none"))
    for line in lines:
        print(f"  {line}")
    if kind == "spawnlist":
        if moments.get("failed"):
            print("prompt and listing: no listing, the exec failed")
        elif "exit" not in moments or "list" not in moments:
            print("prompt and listing: " + ("the parent has not ended yet" if "exit" not in
                                            moments else "the child has not listed yet"))
        elif moments["exit"] < moments["list"]:
            print("prompt and listing: the prompt first, then the listing")
        else:
            print("prompt and listing: the listing first, then the prompt")
        return
    counter = moments["count"]
    print(f"counter: {counter} after {schedule.counted(tally.made, 'change')}; "
          f"{schedule.counted(tally.lost(), 'change')} lost")
    print(f"tallycheck: {verdict(program, output)}")


def verdict(program, output):
    """tallycheck's verdict, breaks and drift on exactly the lines printed."""
    beside = os.path.join(os.path.dirname(program), "tallycheck")
    checker = beside if os.access(beside, os.X_OK) else shutil.which("tallycheck")
    if not checker:
        return "not found beside the program or on PATH"
    if not output:
        return "no line to check"
    done = subprocess.run([checker], input=output, capture_output=True, text=True, check=False)
    fields = dict(line.split(": ", 1) for line in done.stdout.splitlines() if ": " in line)
    if "verdict" not in fields:
        return f"could not check the lines (status {done.returncode})"
    breaks = fields["breaks"].split(",")[0]
    drift = fields["drift"].split(" ")[0]
    return f"{fields['verdict']}, breaks {breaks}, drift {drift}"
