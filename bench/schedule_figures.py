"""The figures of the schedules experiment: interleave's speed holding loosetally, against
the program's bare start and gdb's, with the aims beside each time; and the outcome of every
schedule of loosetally, guardtally and the fetch-add fix, from interleave's records. Each
title states its figure's numbers from the data it draws."""

import statistics

import matplotlib.pyplot as plt
from matplotlib.lines import Line2D
from matplotlib.patches import Patch

from canvas import OUTCOME_STYLE, REFERENCE, WIDTH, finish, save
from schedules import AIMS, PASSES, RACE, aim_words, outcome_counts, schedule_count
from tables import amount, count, duration

MARK = "#333333"  # the times' marks; how a time was made shows in the mark's shape
# What each row of the speed figure draws, top to bottom: its label, key, whose time (the
# program alone, gdb, or interleave) its mark shows, and whether its note sets it against
# the bare start.
ROWS = (("loosetally alone: start to its first line", "bare", "alone", False),
        ("interleave: start, hold both workers, one step", "held", "interleave", True),
        ("gdb: start, hold both workers", "gdb", "gdb", True),
        ("interleave: one step", "step", "interleave", False),
        (f"interleave: the race of {RACE}", "race", "interleave", False))
# The outcomes other than consistent, in the order that a title names them.
WORDS = {"lost a change": "lost a change", "late reports only": "broke with late reports only",
         "deadlock": "deadlocked"}
SHAPES = {"alone": ("o", "none"), "gdb": ("s", "none"), "interleave": ("o", MARK)}


def passes_text(passes):
    return f"{passes} pass" + ("" if passes == 1 else "es")


def speed_rows(speed):
    """The rows drawn: (label, times in ms, kind, aim key or None, against the bare start),
    those of every schedule with the time of a schedule after each whole run."""
    rows = [(label, speed.times(key), kind, key if key in AIMS else None, against)
            for label, key, kind, against in ROWS if key != "gdb" or key in speed.seconds]
    for passes in PASSES:
        key = f"every {passes}"
        rows.append((f"interleave: every schedule of {passes_text(passes)} "
                     f"({speed.schedules[key]:,})", speed.times(key), "interleave", key, False))
        rows.append((f"a schedule of them, × {count(speed.processors, 'processor')}",
                     speed.per_schedule(key), "interleave", None, True))
    return rows


def holding_speed(speed, machine, rounds):
    """Each time as its median and the range of its runs, on a log scale, with its aim."""
    rows = speed_rows(speed)
    figure, ax = plt.subplots(figsize=(WIDTH, 4.4))
    bare = speed.median("bare")
    ax.axvline(bare, color=REFERENCE, linestyle=":", linewidth=0.9, zorder=1)
    for position, (label, times, kind, aim, against) in enumerate(rows):
        median = statistics.median(times)
        marker, face = SHAPES[kind]
        ax.plot([min(times), max(times)], [position] * 2, color=MARK, linewidth=1.2, zorder=2,
                gid="range")
        ax.plot([median], [position], marker=marker, markersize=6, markerfacecolor=face,
                markeredgecolor=MARK, linestyle="none", zorder=3, gid=kind)
        note = duration(median) + (f", {amount(median / bare)}× bare" if against else "")
        ax.annotate(note, (max(times), position), xytext=(4, 0), textcoords="offset points",
                    fontsize=7, verticalalignment="center")
        if aim:
            ax.plot([speed.aim(aim)] * 2, [position - 0.35, position + 0.35], color=REFERENCE,
                    linestyle="--", linewidth=1, zorder=1, gid="aim")
    ax.set_xscale("log")
    ends = [value for _, times, _, aim, _ in rows
            for value in (*times, *([speed.aim(aim)] if aim else []))]
    ax.set_xlim(min(ends) / 2, max(ends) * 6)
    ax.xaxis.set_major_formatter("{x:,g}")
    ax.set_ylim(len(rows) - 0.5, -0.5)
    ax.set_yticks(range(len(rows)), [label for label, *_ in rows], fontsize=7)
    ax.set_xlabel("milliseconds, log scale: the median and the range of the runs")
    legend = [Line2D([], [], color=MARK, marker=marker, markerfacecolor=face,
                     linestyle="none", label=name)
              for name, (marker, face) in (("the program alone", SHAPES["alone"]),
                                           ("gdb", SHAPES["gdb"]),
                                           ("interleave", SHAPES["interleave"]))]
    legend += [Line2D([], [], color=REFERENCE, linestyle="--", label="aim"),
               Line2D([], [], color=REFERENCE, linestyle=":", label="the bare start")]
    caption = (f"{machine}; the commands took turns, in {count(rounds, 'round')}; other work "
               f"used {speed.load:.0%} of all CPUs meanwhile.")
    return finish(figure, speed_title(speed), [ax], caption, legend)


def speed_title(speed):
    held, bare = speed.median("held"), speed.median("bare")
    gdb = (f"gdb takes {duration(speed.median('gdb'))}" if "gdb" in speed.seconds else
           "gdb is not installed")
    every = [f"every {passes}" for passes in PASSES]
    schedules = " and ".join(f"the {speed.schedules[key]:,} of {passes_text(passes)} take "
                             f"{duration(speed.median(key))} (aim: {aim_words(key)})"
                             for passes, key in zip(PASSES, every))
    each = statistics.median(speed.per_schedule(every[-1]))
    return (f"Holding loosetally: interleave starts it and holds both workers in "
            f"{duration(held)}, {amount(held / bare)}× its bare start of {duration(bare)} "
            f"(aim: {aim_words('held')}); {gdb}. A step takes "
            f"{duration(speed.median('step'))} (aim: {aim_words('step')}), the race of {RACE} "
            f"{duration(speed.median('race'))} (aim: {aim_words('race')}). Every "
            f"schedule: {schedules}, {duration(each)} a schedule on "
            f"{count(speed.processors, 'processor')}, {amount(each / bare)}× the bare start.")


def outcomes_by_schedule(found, machine):
    """Each program's schedules by outcome, as shares of all its schedules, one panel for
    each number of passes; each part is labelled with its count."""
    programs = list(dict.fromkeys(program for program, _ in found))
    figure, axes = plt.subplots(len(PASSES), 1, figsize=(WIDTH, 1.6 + 1.7 * len(PASSES)),
                                sharex=True)
    parts = []
    for ax, passes in zip(axes, PASSES):
        said = []
        for position, program in enumerate(programs):
            records = found[(program, passes)]
            counts = outcome_counts(records)
            left = 0
            for name, counted in counts.items():
                share = counted * 100 / schedule_count(records)
                colour, hatch = OUTCOME_STYLE[name]
                ax.barh(position, share, left=left, height=0.6, color=colour, hatch=hatch,
                        edgecolor=MARK, linewidth=0.6, gid=name)
                if share >= 3:  # room for the count
                    ax.text(left + share / 2, position, f"{counted:,}", fontsize=7,
                            horizontalalignment="center", verticalalignment="center")
                left += share
            said.append(outcome_words(program, counts, schedule_count(records)))
        parts.append(f"{passes_text(passes).capitalize()} of each worker: "
                     + "; ".join(said) + ".")
        ax.set_yticks(range(len(programs)), [f"{program}\n{schedule_count(found[(program, passes)]):,} "
                                             "schedules" for program in programs], fontsize=7)
        ax.set_ylim(len(programs) - 0.5, -0.5)
        ax.set_xlim(0, 100)
        ax.set_title(f"every schedule of {passes_text(passes)} of each worker", loc="left")
    axes[-1].set_xlabel("share of the program's schedules, %; each part labelled with its "
                        "count")
    legend = [Patch(facecolor=colour, hatch=hatch, edgecolor=MARK, linewidth=0.6, label=name)
              for name, (colour, hatch) in OUTCOME_STYLE.items()]
    caption = (f"{machine}; interleave --all --passes=N --records for each program. "
               "fetchaddtally is loosetally with each change one fetch_add or fetch_sub.")
    return finish(figure, "Every schedule by its outcome. " + " ".join(parts), list(axes),
                  caption, legend)


def outcome_words(program, counts, schedules):
    """What befell a program's schedules, in words: "loosetally, of 20: 12 lost a change,
    4 broke with late reports only"; "guardtally, of 8: all consistent"."""
    if counts["consistent"] == schedules:
        return f"{program}, of {schedules:,}: all consistent"
    said = [f"{counts[name]:,} {WORDS[name]}" if counts[name] else
            f"none {WORDS[name]}" for name in WORDS if counts[name] or name == "lost a change"]
    return f"{program}, of {schedules:,}: " + ", ".join(said)


def draw_all(speed, found, machine, rounds, folder, png):
    save(holding_speed(speed, machine, rounds), folder, "holding-speed", png)
    save(outcomes_by_schedule(found, machine), folder, "outcomes-of-every-schedule", png)
