"""The figures drawn from the kept traces, line by line: the two kinds of break, and who
held the counter. Which line breaks, and by how much, is the checker's word (`tallycheck
--breaks`, and its count of runs); these only read the lines to draw them."""

import itertools
import math
import tempfile

import matplotlib.pyplot as plt
from matplotlib.colors import ListedColormap
from matplotlib.lines import Line2D
from matplotlib.patches import Patch
from matplotlib.ticker import MaxNLocator

from canvas import BREAK, LABELS, PLACEMENT_STYLE, WIDTH, finish
from detail import summary_count, trace_lines
from tables import count

# A strip: 5,000 lines in rows of 100, one cell a line, big enough that lines which alternate
# show as stripes of both colours rather than blending into a third.
STRIP_LINES, STRIP_WIDTH = 5_000, 100
CONTEXT = 20  # lines drawn on each side of a break, beyond what it spans


def clear_breaks(rows):
    """The breaks that have no other break near them, by kind: (row, jump, lost, reach) for
    each. A late report's drift comes back on the very next line, give or take the one
    change that the line after it may have lost; it is drawn with CONTEXT lines on each side.
    A lost update's change of drift lasts: the changes it lost are that change, counted once
    the next line, if it breaks too (the held worker's own late report), has had its say; on
    each side it is drawn with as many lines as the value jumped, so that the wiped-out turn
    shows, and CONTEXT more."""
    late, lost = [], []
    for index, (line, _, value, expected, drift) in enumerate(rows):
        before = rows[index - 1][4] if index else 0
        follows = rows[index + 1] if index + 1 < len(rows) else None
        partner = follows if follows and follows[0] == line + 1 else None
        settled = partner[4] if partner else drift
        jump = abs(value - expected)
        reach = CONTEXT if abs(settled - before) <= 1 and partner else jump + CONTEXT
        earlier = rows[index - 1][0] if index else -math.inf
        later = rows[index + (2 if partner else 1)][0] if index + (2 if partner else 1) < len(
            rows) else math.inf
        if drift == before or earlier >= line - reach or later <= line + reach:
            continue
        if partner and abs(settled - before) <= 1:
            late.append((rows[index], jump, 0, reach))
        elif settled != before:
            lost.append((rows[index], jump, abs(settled - before), reach))
    return late, lost


def kinds_of_break(source):
    """Value against line around a late report and around a lost update, from the unguarded
    traces: of each kind, the clear one with the largest jump."""
    found = {"late report": None, "lost update": None}
    for key in [key for key in source.traces if key[0] == "loosetally"]:
        late, lost = clear_breaks(source.trace_breaks(key))
        for kind, candidates in (("late report", late), ("lost update", lost)):
            for candidate in candidates:
                # The largest jump of a late report; the most changes lost by a lost update.
                size = candidate[1] if kind == "late report" else candidate[2]
                if not found[kind] or size > found[kind][2]:
                    found[kind] = (key, candidate, size)
    figure, axes = plt.subplots(1, 2, figsize=(WIDTH, 3.6))
    parts = []
    for ax, (kind, chosen) in zip(axes, found.items()):
        ax.set_xlabel("line of the trace")
        ax.set_ylabel("value reported")
        if not chosen:
            ax.set_title(f"no clear {kind} in these traces")
            parts.append(f"no clear {kind} in these traces")
            continue
        (program, placement), ((line, label, value, expected, _), jump, lost, reach), _ = chosen
        first = max(1, line - reach)
        labels, values = trace_lines(source.traces[(program, placement)], first, line + reach)
        numbers = range(first, first + len(values))
        # Each label's lines as one path, broken where the other label holds the counter:
        # a few elements however long the window, which the renderer simplifies.
        for name, colour in LABELS.items():
            ax.plot(numbers, [v if lab == name else math.nan for lab, v in zip(labels, values)],
                    ".-" if len(values) <= 100 else "-", markersize=3, color=colour)
        ax.plot([line], [value], "o", markersize=9, markerfacecolor="none", color=BREAK)
        # The note sits in the corner of the axes farthest from every point drawn, with an
        # arrow to the break.
        (left, right), (bottom, top) = ax.get_xlim(), ax.get_ylim()
        points = [((number - left) / (right - left), (v - bottom) / (top - bottom))
                  for number, v in zip(numbers, values)]
        corner = max(((x, y) for x in (0.03, 0.97) for y in (0.05, 0.95)),
                     key=lambda spot: min(math.dist(spot, point) for point in points))
        ax.annotate(f"{label}: {value:,}\nexpected {expected:,}", (line, value), xytext=corner,
                    textcoords="axes fraction", fontsize=7,
                    horizontalalignment="left" if corner[0] < 0.5 else "right",
                    verticalalignment="bottom" if corner[1] < 0.5 else "top",
                    arrowprops={"arrowstyle": "->", "color": "#444444", "linewidth": 0.8})
        ax.set_title(f"{kind}: {program}, {placement}, line {line:,}")
        ax.ticklabel_format(useOffset=False, style="plain")
        ax.xaxis.set_major_locator(MaxNLocator(4, integer=True))
        ax.xaxis.set_major_formatter("{x:,.0f}")
        ax.yaxis.set_major_formatter("{x:,.0f}")
        parts.append(f"a late report shows a value {count(jump, 'change')} old, and the drift "
                     "is back on the next line" if kind == "late report" else
                     f"a lost update wipes out {count(lost, 'change')}, and the drift moves "
                     f"by {lost:,} for good")
    legend = [Line2D([], [], color=LABELS["Inc"], marker=".", label="Inc worker's line"),
              Line2D([], [], color=LABELS["Dec"], marker=".", label="Dec worker's line"),
              Line2D([], [], color=BREAK, marker="o", markerfacecolor="none", linestyle="none",
                     label="break: not one step from the line before")]
    return finish(figure, "The two kinds of break: " + "; ".join(parts) + ".", axes,
                  source.caption, legend)


def strip_start(labels):
    """The first line of the strip: STRIP_LINES lines centred on the hand-over nearest the
    middle of the trace, so that a trace of long turns shows where one ends; the middle
    itself where no worker ever handed over."""
    middle = len(labels) // 2
    changes = [index for index in range(1, len(labels)) if labels[index] != labels[index - 1]]
    centre = min(changes, key=lambda index: abs(index - middle)) if changes else middle
    return max(1, min(len(labels) - STRIP_LINES + 1, centre + 1 - STRIP_LINES // 2))


def who_held_the_counter(source):
    """A strip of each counter program's kept trace under each placement, one cell a line in
    rows of STRIP_WIDTH, coloured by label, with the breaks in black: one worker's turn is a
    stretch of one colour. Each strip is one raster, not one element a line."""
    placements = [placement for placement in PLACEMENT_STYLE
                  if ("guardtally", placement) in source.traces]
    figure, axes = plt.subplots(len(placements), 2, figsize=(WIDTH, 2.0 * len(placements) + 1.5),
                                squeeze=False)
    colours = ListedColormap([LABELS["Inc"], LABELS["Dec"], BREAK])
    turns = {}
    for row, placement in enumerate(placements):
        for column, program in enumerate(("guardtally", "loosetally")):
            ax, path = axes[row][column], source.traces[(program, placement)]
            everything, _ = trace_lines(path, 1, None)
            first = strip_start(everything)
            labels = everything[first - 1:first - 1 + STRIP_LINES]
            # The checker counts the turns within the strip from the strip alone.
            with open(path, "rb") as trace, tempfile.NamedTemporaryFile("wb") as part:
                part.writelines(itertools.islice(trace, first - 1, first - 1 + len(labels)))
                part.flush()
                handovers = summary_count(source.check(part.name), "runs") - 1
            breaks = [line - first for line, *_ in source.trace_breaks((program, placement))
                      if first <= line < first + len(labels)]
            cells = [0 if label == "Inc" else 1 for label in labels]
            for offset in breaks:
                cells[offset] = 2
            rows = math.ceil(len(cells) / STRIP_WIDTH)
            cells += [math.nan] * (rows * STRIP_WIDTH - len(cells))
            ax.imshow([cells[index * STRIP_WIDTH:(index + 1) * STRIP_WIDTH]
                       for index in range(rows)], cmap=colours, vmin=0, vmax=2, aspect="auto",
                      interpolation="none", extent=(0, STRIP_WIDTH, rows, 0))
            turns[(program, placement)] = handovers
            ax.set_title(f"{program}, {placement}: {count(handovers, 'hand-over')}, "
                         f"{count(len(breaks), 'break')}", loc="left", fontsize=8)
            # Each tick names the first line of the row it stands beside.
            marked = sorted({0, rows // 2, rows - 1})
            ax.set_yticks([index + 0.5 for index in marked],
                          [f"{first + index * STRIP_WIDTH:,}" for index in marked])
            ax.set_xticks([0, STRIP_WIDTH // 2, STRIP_WIDTH])
            ax.tick_params(labelsize=7)
            ax.set_ylabel("first line of the row" if column == 0 else "", fontsize=7)
            ax.set_xlabel("line within the row" if row == len(placements) - 1 else "",
                          fontsize=7)
    legend = [Patch(color=LABELS["Inc"], label="Inc worker's line"),
              Patch(color=LABELS["Dec"], label="Dec worker's line"),
              Patch(color=BREAK, label="break")]

    def times(placement):
        return ", ".join(f"{program} {count(turns[(program, placement)], 'time')}"
                         for program in ("guardtally", "loosetally"))

    title = (f"Who held the counter, in {STRIP_LINES:,} lines around the middle of each trace: "
             f"free on all cores, the workers hand over {times('all cores')}; with both on "
             f"one core, {times('one core')}. A hand-over: a line from the other worker than "
             "the line before.")
    return finish(figure, title, axes.flatten(), source.caption, legend)
