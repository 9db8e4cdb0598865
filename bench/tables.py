"""The tables: the benchmark's records and timings as Markdown, each cell the median and
range of the runs it summarises. A counter table takes the quiet runs only."""

import shlex
import statistics

import schedules
from records import PROGRAMS

# Each counter table's columns: heading, the figure from one record, and its digits. The
# kernel's work is per 1,000 lines; the mean run of serialtally, which alternates its labels
# by construction, says nothing and is left out.
COLUMNS = {
    "guard": (("M lines/s", lambda run: run["rate"] * 1e-6, 2),
              ("× serial bound", lambda run: run["bound"], 2),
              ("mean run", lambda run: run["mean_run"], 1),
              ("voluntary switches", lambda run: run["voluntary_switches"] * 1e3 / run["lines"], 1),
              ("involuntary switches",
               lambda run: run["involuntary_switches"] * 1e3 / run["lines"], 1),
              ("system µs", lambda run: run["system_seconds"] * 1e9 / run["lines"], 0),
              ("futex calls", lambda run: run["futex_calls"] * 1e3 / run["lines"], 1)),
    "race": (("M lines/s", lambda run: run["rate"] * 1e-6, 2),
             ("× serial bound", lambda run: run["bound"], 2),
             ("breaks per M lines", lambda run: run["breaks"] * 1e6 / run["lines"], 0),
             ("breaks at a block's start, %",
              lambda run: run["block_breaks"] * 100 / run["breaks"] if run["breaks"] else None, 0),
             ("drift", lambda run: run["drift"], 0),
             ("mean run", lambda run: run["mean_run"], 1))}
HEADINGS = {"guard": "The price of the guard, by placement",
            "race": "The rate of the race, by placement"}


def count(number, noun):
    """A count with its noun, in the singular where it is one: "1 run", "5 runs"."""
    return f"{number:,} {noun}" + ("" if number == 1 else "s")


def number(value, digits=0):
    """A figure with its digits, or "–" where there is none."""
    return "–" if value is None else f"{value:,.{digits}f}"


def amount(value):
    """A figure for a title or a label: below 10, two significant digits, so that 0.033 is
    not called 0.0 and 0 stays 0; from 10 on, whole, with thousands separators."""
    if value is None:
        return "–"
    if value == 0:
        return "0"
    if abs(value) >= 10:
        return f"{value:,.0f}"
    return f"{value:#.2g}".rstrip(".")


def duration(ms):
    """A time in milliseconds as an amount of ms, or of s from a second on."""
    return f"{amount(ms / 1000)} s" if ms >= 1000 else f"{amount(ms)} ms"


def cell(values, digits=1):
    """The median and range of values, as one table cell, leaving out the runs where the
    figure does not apply; "–" where it applies to none."""
    values = sorted(value for value in values if value is not None)
    if not values:
        return "–"
    median = statistics.median(values)
    return f"{median:,.{digits}f} ({values[0]:,.{digits}f}–{values[-1]:,.{digits}f})"


def counter_table(records, experiment, placements, perf):
    """The experiment's table under its heading: one row a program and placement."""
    columns = [column for column in COLUMNS[experiment]
               if column[0] != "futex calls" or perf]
    headings = ["program", "placement", *(heading for heading, *_ in columns),
                "disturbed runs"]
    print(f"\n### {HEADINGS[experiment]}\n")
    print("| " + " | ".join(headings) + " |\n|" + "---|" * len(headings))
    for placement in placements:
        for program in PROGRAMS[experiment]:
            runs = [run for run in records
                    if (run["program"], run["placement"]) == (program, placement)]
            quiet = [run for run in runs if not run["disturbed"]]
            if quiet:
                cells = [cell([figure(run) for run in quiet], digits)
                         for _, figure, digits in columns]
                disturbed = f"{len(runs) - len(quiet)} of {len(runs)}"
            else:
                cells = ["–"] * len(columns)
                disturbed = f"all {len(runs)}: no median"
            print("| " + " | ".join([f"`{program}`", placement, *cells, disturbed]) + " |")


def counter_note(disturbed_percent, perf):
    print(f"\nEach cell: the median (and range) of the quiet runs. A run is disturbed when "
          f"other work used more than {disturbed_percent:g}% of all CPUs while it ran (from "
          "/proc/stat, less the run's own processes). A block's start: the line in which "
          "one 4,096-byte block of the stream begins, and the two after it, under 1% of the "
          "lines. The kernel's work is per 1,000 lines, from the producer's resource usage"
          + (" and perf's count of futex calls." if perf else
             "; perf cannot count futex calls here."))


def checker_table(rows, lines):
    """The checker against `wc -l` and `cat`, from the seconds of each run of each."""
    print("\n### The checker against the cost of reading the bytes\n")
    print("| trace | mean run | `tallycheck` M lines/s | `wc -l` M lines/s | "
          "`cat` M lines/s | `tallycheck` / `wc -l` | `cat` / `wc -l` |\n|" + "---|" * 7)
    for name, program, placement, mean_run, (check, count_lines, read) in rows:
        cells = [cell([lines / seconds * 1e-6 for seconds in each], 1)
                 for each in (check, count_lines, read)]
        cells += [cell([ours / floor for ours, floor in zip(each, count_lines)], 2)
                  for each in (check, read)]
        print(f"| {name} ({program}, {placement}) | {mean_run:,.1f} | "
              + " | ".join(cells) + " |")
    print("\nEach trace is made afresh and read from the page cache; each cell is the "
          "median (and range) of the runs, the machine's load not checked.")


def startup_table(markdown):
    print("\n### Start to exit, timed by hyperfine\n")
    if markdown is None:
        print("hyperfine is not installed (Debian: apt-get install hyperfine): "
              "no start-up figures.")
        return
    print(markdown)
    print("\n`spawnlist` is timed until its parent exits; the listing runs on after it.")


def schedule_tables(speed, found, disturbed_percent):
    """interleave's speed against the program's bare start and gdb's, and the outcomes of
    every schedule of each program, from the experiment's Speed and records."""
    shown = {key: f"`{shlex.join(command)}`" for key, command in
             schedules.commands("hold.gdb").items()}
    shown["step"] = f"(`I{schedules.LONG_STEPS}` − `I`) / {schedules.LONG_STEPS - 1}"

    def judged(key):
        return [schedules.aim_words(key), "yes" if speed.met(key) else "no"]

    print("\n### Holding the program: its start, a step and the race\n")
    print("| what | command | runs | ms | × bare start | aim | met |\n|" + "---|" * 7)
    for key in ("bare", "held", "gdb", "long", "step", "race"):
        what = schedules.TIMED[key][0] if key in schedules.TIMED else "one step"
        if key == "gdb" and key not in speed.seconds:
            print(f"| {what} | gdb is not installed (Debian: apt-get install gdb): not timed"
                  + " | –" * 5 + " |")
            continue
        rows = [what, shown[key], str(len(speed.times(key))), cell(speed.times(key), 2)]
        rows.append(number(speed.against_bare(speed.median(key)), 1)
                    if key in ("held", "gdb") else "–")
        rows += judged(key) if key in schedules.AIMS else ["–", "–"]
        print("| " + " | ".join(rows) + " |")
    print("\n### Every schedule of loosetally: its wall time, and the time a schedule\n")
    print("| command | schedules | processors | runs | wall, ms | ms a schedule | "
          "× bare start | aim | met |\n|" + "---|" * 9)
    for key in (f"every {passes}" for passes in schedules.PASSES):
        rows = [shown[key], f"{speed.schedules[key]:,}", str(speed.processors),
                str(len(speed.times(key))), cell(speed.times(key), 2),
                cell(speed.per_schedule(key), 2),
                number(speed.against_bare(statistics.median(speed.per_schedule(key))), 1),
                *judged(key)]
        print("| " + " | ".join(rows) + " |")
    disturbed = speed.load > disturbed_percent / 100
    print("\nEach time: the median (and range) of its runs, the commands taking turns round "
          "after round. The bare start is timed to the end of `loosetally | head -n 1`, the "
          "bench reading the line itself. gdb stops each worker at its routine's first "
          f"instruction in turn, from hold.gdb: {'; '.join(schedules.GDB_HOLD)}. One step: each "
          "round's difference between the two schedules. A schedule's time: the wall time "
          "times the processors that the run could use, over its schedules; the aim for "
          f"two passes is for 2 cores. Other work used {speed.load:.0%} of all CPUs while "
          "they ran" + (f": disturbed, above {disturbed_percent:g}%." if disturbed else "."))
    print("\n### Every schedule by its outcome\n")
    print("| program | passes | schedules | " + " | ".join(schedules.CLASSES) + " |\n|"
          + "---|" * (3 + len(schedules.CLASSES)))
    for (program, passes), records in found.items():
        counts = schedules.outcome_counts(records).values()
        print(f"| `{program}` | {passes} | {schedules.schedule_count(records):,} | "
              + " | ".join(f"{counted:,}" for counted in counts) + " |")
    print("\nFrom `interleave --all --records`, one row a run, which stands for the schedules "
          "of its orders column: a deadlock; else a lost "
          "change; else late reports only, a trace that breaks with nothing lost; else "
          "consistent. `fetchaddtally` (in `bench/`, not installed) is loosetally with each "
          "change one `fetch_add` or `fetch_sub`.")


def order_table(orders):
    """Each program's every schedule under each memory order: its schedules, runs, verdict
    and wall time, from {(program, order): (schedules, runs, verdict, seconds)}."""
    print("\n### Every schedule under each memory order\n")
    print("| program | memory | schedules | runs | verdict | wall, s |\n|" + "---|" * 6)
    for (program, order), (counted, runs, verdict, seconds) in orders.items():
        print(f"| `{program}` | {order} | {counted:,} | {runs:,} | {verdict} | "
              f"{number(seconds, 2)} |")
    print(f"\nEach: `interleave --all --memory=ORDER "
          f"--preemptions={schedules.ORDER_PREEMPTIONS} PROGRAM`, once, one pass of each "
          "worker. `sc` takes each store to memory at once, in one order with every load; "
          "`tso` keeps each worker's stores in its store buffer until they reach memory, each "
          "arrival a step of its own, as an x86 processor does. A run stands for the orders of "
          "the workers' steps that it holds under `sc`, for itself under `tso`. "
          "`petersontally` (in `bench/`, not installed) is loosetally with Peterson's lock "
          "around each change and its report; `petersonfencetally` the same with a full fence "
          "after the lock's stores.")
