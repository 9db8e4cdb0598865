"""The benchmark's figures, drawn with matplotlib from its records, its kept traces and the
checker's own detail (`tallycheck --runs` and `--breaks`): this module reads the lines of a
trace only to draw them, and leaves every judgement of a line to the checker.

Each figure's title states what it shows in numbers from the same data, and a caption line
names the machine, the runs and the placements. The colours are the Okabe-Ito set, which
readers with any common colour blindness can tell apart; marks differ in shape as well."""

import itertools
import math
import os
import statistics
import tempfile
import textwrap

import matplotlib.pyplot as plt
from matplotlib.colors import ListedColormap
from matplotlib.ticker import MaxNLocator

from detail import break_rows, run_bins, summary_count, trace_lines
from tables import count, number

# Text stays text in the SVG (small, searchable), and the same data give the same bytes.
plt.rcParams.update({"svg.fonttype": "none", "svg.hashsalt": "glassbox", "font.size": 9,
                     "axes.titlesize": 9, "figure.titlesize": 10})
LABELS = {"Inc": "#E69F00", "Dec": "#0072B2"}  # orange, blue
BREAK = "#000000"
PLACEMENT_STYLE = {"one core": ("#0072B2", "o"), "all cores": ("#D55E00", "s"),
                   "split": ("#009E73", "^")}
STRIP_LINES, STRIP_WIDTH = 20_000, 1_000  # a strip: 20 rows of 1,000 lines, one cell a line
WIDTH = 7.5  # inches


def quiet_median(runs, figure):
    values = [figure(run) for run in runs if not run["disturbed"]]
    return statistics.median(values) if values else None


class Figures:
    def __init__(self, folder, records, traces, check, caption, png):
        self.folder, self.records, self.traces = folder, records, traces
        self.check, self.caption, self.png = check, caption, png
        self.breaks = {}

    def runs_of(self, program):
        return [run for run in self.records if run["program"] == program]

    def trace_breaks(self, key):
        if key not in self.breaks:
            self.breaks[key] = break_rows(self.check(self.traces[key], "--breaks"))
        return self.breaks[key]

    def save(self, figure, name, title, axes):
        """Titles the figure, labels it for readers of the SVG (each title and axis label
        is a group with its own id), adds the caption line and writes it."""
        heading = textwrap.wrap(title, 88)
        caption = textwrap.wrap(self.caption, 150)
        suptitle = figure.suptitle("\n".join(heading), x=0.01, horizontalalignment="left",
                                   fontweight="bold")
        suptitle.set_gid("title")
        # The layout makes room for the title itself; the caption's lines need room below.
        figure.tight_layout(rect=(0, (0.12 * len(caption) + 0.1) / figure.get_figheight(), 1, 1))
        for index, ax in enumerate(axes):
            ax.xaxis.label.set_gid(f"xlabel-{index}")
            ax.yaxis.label.set_gid(f"ylabel-{index}")
        figure.text(0.01, 0.005, "\n".join(caption), fontsize=6.5,
                    color="#444444", verticalalignment="bottom")
        path = os.path.join(self.folder, name)
        figure.savefig(path + ".svg", metadata={"Title": title, "Date": None})
        if self.png:
            figure.savefig(path + ".png", dpi=150)
        plt.close(figure)

    def draw_all(self):
        self.kinds_of_break()
        self.who_held_the_counter()
        self.run_lengths()
        self.race_by_placement()
        self.price_of_the_guard()

    def kinds_of_break(self):
        """Value against line around a late report and around a lost update, from the
        unguarded traces. A late report is a break whose drift is back on the very next line,
        give or take the one change that the line after it may have lost; a lost update, one
        whose change of drift lasts. Of each kind, the one drawn has the largest jump among
        those with no other break in its window: 20 lines on each side of a late report, and
        on each side of a lost update as many lines as it lost and 20 more, so that the turn
        it wiped out shows."""
        late = lost = None
        for key in [key for key in self.traces if key[0] == "loosetally"]:
            rows = self.trace_breaks(key)
            for index, (line, label, value, expected, drift) in enumerate(rows):
                before = rows[index - 1][4] if index else 0
                jump = abs(value - expected)
                earlier = rows[index - 1][0] if index else -math.inf
                follows = rows[index + 1] if index + 1 < len(rows) else None
                after = rows[index + 2][0] if index + 2 < len(rows) else math.inf
                if drift == before:
                    continue
                if follows and follows[0] == line + 1 and abs(follows[4] - before) <= 1:
                    if earlier < line - 20 and after > line + 20 and (not late or jump > late[1]):
                        late = (key, jump, rows[index], 20)
                elif (earlier < line - jump - 20 and (not follows or follows[0] > line + jump + 20)
                      and (not lost or jump > lost[1])):
                    lost = (key, jump, rows[index], jump + 20)
        figure, axes = plt.subplots(1, 2, figsize=(WIDTH, 3.4))
        parts = []
        for ax, found, kind in ((axes[0], late, "late report"), (axes[1], lost, "lost update")):
            ax.set_xlabel("line of the trace")
            ax.set_ylabel("value reported")
            if not found:
                ax.set_title(f"no clear {kind} in these traces")
                parts.append(f"no clear {kind} in these traces")
                continue
            (program, placement), size, (line, label, value, expected, _), reach = found
            first = max(1, line - reach)
            labels, values = trace_lines(self.traces[(program, placement)], first, line + reach)
            numbers = range(first, first + len(values))
            # Each label's lines as one path, broken where the other label holds the counter:
            # a few elements however long the window, which the renderer simplifies.
            for name, colour in LABELS.items():
                ax.plot(numbers, [v if lab == name else math.nan
                                  for lab, v in zip(labels, values)],
                        ".-" if len(values) <= 100 else "-", markersize=3, color=colour,
                        label=f"{name} line")
            ax.plot([line], [value], "o", markersize=9, markerfacecolor="none", color=BREAK,
                    label="break")
            ax.annotate(f"{label}: {value:,}\nexpected {expected:,}", (line, value),
                        textcoords="offset points", xytext=(8, -16), fontsize=7)
            ax.set_title(f"{kind}: {program}, {placement}, line {line:,}")
            ax.ticklabel_format(useOffset=False, style="plain")
            ax.xaxis.set_major_locator(MaxNLocator(4, integer=True))
            ax.xaxis.set_major_formatter("{x:,.0f}")
            ax.yaxis.set_major_formatter("{x:,.0f}")
            ax.legend(fontsize=7, loc="lower left")
            parts.append(f"a late report shows a value {size:,} changes old and the drift "
                         "returns on the next line" if kind == "late report" else
                         f"a lost update wipes out {count(size, 'change')} and the drift stays")
        self.save(figure, "kinds-of-break", "The two kinds of break: " + "; ".join(parts) + ".",
                  axes)

    def who_held_the_counter(self):
        """The middle 20,000 lines of each counter program's kept trace, one cell a line in
        rows of 1,000, coloured by label, with the breaks in black: one worker's turn is a
        stretch of one colour. Each image is one raster, not one element a line."""
        keys = [key for key in self.traces if key[0] != "serialtally"]
        figure, axes = plt.subplots(len(keys), 1, figsize=(WIDTH, 1.15 * len(keys) + 1.2))
        colours = ListedColormap([LABELS["Inc"], LABELS["Dec"], BREAK])
        handovers = {}
        for ax, key in zip(axes, keys):
            path = self.traces[key]
            with open(path, "rb") as trace:
                total = sum(1 for _ in trace)
            first = max(1, (total - STRIP_LINES) // 2 + 1)
            labels, _ = trace_lines(path, first, first + STRIP_LINES - 1)
            # The checker counts the turns within the window from the window alone.
            with open(path, "rb") as trace, tempfile.NamedTemporaryFile("wb") as part:
                part.writelines(itertools.islice(trace, first - 1, first - 1 + len(labels)))
                part.flush()
                runs = summary_count(self.check(part.name), "runs")
            breaks = [row[0] - first for row in self.trace_breaks(key)
                      if first <= row[0] < first + len(labels)]
            cells = [0 if label == "Inc" else 1 for label in labels]
            for offset in breaks:
                cells[offset] = 2
            rows = math.ceil(len(cells) / STRIP_WIDTH)
            cells += [math.nan] * (rows * STRIP_WIDTH - len(cells))
            image = [cells[row * STRIP_WIDTH:(row + 1) * STRIP_WIDTH] for row in range(rows)]
            ax.imshow(image, cmap=colours, vmin=0, vmax=2, aspect="auto", interpolation="none",
                      extent=(0, STRIP_WIDTH, first + rows * STRIP_WIDTH, first))
            handovers[key] = (runs - 1, len(breaks))
            ax.set_title(f"{key[0]}, {key[1]}: {count(runs - 1, 'hand-over')}, "
                         f"{count(len(breaks), 'break')} in {len(labels):,} lines", loc="left")
            ax.yaxis.set_major_formatter("{x:,.0f}")
            ax.set_ylabel("first line\nof the row", fontsize=7)
            ax.tick_params(labelsize=7)
        axes[-1].set_xlabel("line within the row (one cell a line; orange Inc, blue Dec, "
                            "black a break)")
        for ax in axes[:-1]:
            ax.set_xlabel("")
        parts = [f"{program} {placement}: {count(turns, 'hand-over')}, "
                 f"{count(breaks, 'break')}"
                 for (program, placement), (turns, breaks) in handovers.items()
                 if placement != "split"]
        self.save(figure, "who-held-the-counter",
                  f"Who held the counter, in {STRIP_LINES:,} lines from the middle of a trace: "
                  + "; ".join(parts) + ".", axes)

    def run_lengths(self):
        """The share of guardtally's lines by the length of the run they are in, in bins of
        powers of two, by placement, with the mean run marked on the axis."""
        figure, ax = plt.subplots(figsize=(WIDTH, 3.6))
        keys = [key for key in self.traces if key[0] == "guardtally"]
        width = 0.8 / len(keys)
        parts, top = [], 0
        for index, key in enumerate(keys):
            bins, mean = run_bins(self.check(self.traces[key], "--runs"))
            colour = PLACEMENT_STYLE[key[1]][0]
            top = max(top, len(bins))
            ax.bar([k + 0.1 + width * (index + 0.5) for k in range(len(bins))],
                   [share * 100 for *_, share in bins], width, color=colour,
                   label=f"{key[1]} (mean run {mean:,.1f})")
            # The mean run on the axis, where its length falls on the same scale of bins.
            ax.plot([math.log2(mean)], [0], marker="v", markersize=9, color=colour,
                    clip_on=False, zorder=5, markeredgecolor="white")
            low, high, _, _, share = max(bins, key=lambda row: row[4])
            if key[1] != "split":
                parts.append(f"{key[1]}, {share:.0%} of lines lie in runs of {low:,}–{high:,} "
                             f"lines, yet the mean run is {mean:,.1f}")
        ax.set_xticks(range(top + 1), [f"{2 ** k:,}" for k in range(top + 1)], rotation=45,
                      fontsize=7)
        ax.set_xlabel("run length, lines (bins from one power of two to the next; "
                      "▼ the mean run)")
        ax.set_ylabel("share of all lines, %")
        ax.legend(title="placement", fontsize=7)
        self.save(figure, "run-lengths",
                  "Run lengths of guardtally, where the mean misleads: on " + "; on ".join(parts)
                  + ".",
                  [ax])

    def by_placement(self, ax, runs, x, y):
        """One mark a run, by placement; a disturbed run hollow."""
        for placement, (colour, marker) in PLACEMENT_STYLE.items():
            for disturbed in (False, True):
                chosen = [run for run in runs
                          if run["placement"] == placement and run["disturbed"] == disturbed]
                if chosen:
                    ax.scatter([x(run) for run in chosen], [y(run) for run in chosen],
                               marker=marker, s=28, linewidths=1.2,
                               facecolors="none" if disturbed else colour, edgecolors=colour,
                               label=placement + (", disturbed" if disturbed else ""))
        ax.legend(fontsize=7)

    def race_by_placement(self):
        runs = self.runs_of("loosetally")
        figure, ax = plt.subplots(figsize=(WIDTH, 4))
        self.by_placement(ax, runs, lambda run: run["breaks"] * 1e6 / run["lines"],
                          lambda run: abs(run["drift"]))
        ax.set_xscale("symlog", linthresh=1)
        ax.set_yscale("symlog", linthresh=1)
        ax.set_xlabel("breaks per million lines (log scale; linear below 1)")
        ax.set_ylabel("lost changes, net: |drift|\n(log scale; linear below 1)")
        parts = [f"{placement}, a median of "
                 + number(quiet_median([run for run in runs if run["placement"] == placement],
                                       lambda run: run["breaks"] * 1e6 / run["lines"]))
                 for placement in PLACEMENT_STYLE
                 if any(run["placement"] == placement for run in runs)]
        disturbed = sum(run["disturbed"] for run in runs)
        self.save(figure, "race-by-placement",
                  "The race by placement: loosetally breaks per million lines on "
                  + "; on ".join(parts) + f" (quiet runs; {disturbed} of {len(runs)} runs "
                  "disturbed, drawn hollow).", [ax])

    def price_of_the_guard(self):
        runs = self.runs_of("guardtally")
        futex = all(run["futex_calls"] is not None for run in runs)
        field, what = (("futex_calls", "futex calls") if futex else
                       ("voluntary_switches", "voluntary context switches"))
        figure, ax = plt.subplots(figsize=(WIDTH, 4))

        def calls(run):
            return run[field] * 1e3 / run["lines"]

        self.by_placement(ax, runs, calls, lambda run: run["bound"])
        ax.set_xscale("symlog", linthresh=0.1)
        ax.set_xlabel(f"{what} per 1,000 lines (log scale; linear below 0.1)")
        ax.set_ylabel("rate as a share of\nthe serial bound (serialtally)")
        ax.set_ylim(bottom=0)
        parts = []
        for placement in PLACEMENT_STYLE:
            chosen = [run for run in runs if run["placement"] == placement]
            if chosen:
                bound = quiet_median(chosen, lambda run: run["bound"])
                parts.append(f"{placement}, {number(quiet_median(chosen, calls), 1)} {what} "
                             f"per 1,000 lines at {number(bound, 2)} of the serial bound")
        self.save(figure, "price-of-the-guard",
                  "The price of the guard is the hand-off between cores: guardtally "
                  + "; ".join(parts) + " (medians of quiet runs).", [ax])
