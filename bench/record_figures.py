"""The figures drawn from the records, one mark a run, and from the checker's count of the
runs by length: the run lengths of the guarded program, the race by placement, and the
price of the guard."""

import math
import statistics

import matplotlib.pyplot as plt
from matplotlib.lines import Line2D
from matplotlib.transforms import offset_copy

from canvas import PLACEMENT_STYLE, REFERENCE, WIDTH, finish
from detail import run_bins
from tables import amount, number


def quiet_median(runs, figure):
    values = [figure(run) for run in runs if not run["disturbed"]]
    return statistics.median(values) if values else None


def span(low, high):
    return f"{low:,}" if low == high else f"{low:,}–{high:,}"


def run_lengths(source):
    """The share of guardtally's lines by the length of the run they are in, in bins of
    powers of two, by placement, with the mean run of each marked in a lane of its own."""
    figure, ax = plt.subplots(figsize=(WIDTH, 3.8))
    keys = [("guardtally", placement) for placement in PLACEMENT_STYLE
            if ("guardtally", placement) in source.traces]
    width = 0.8 / len(keys)
    parts, top = [], 0
    for index, key in enumerate(keys):
        bins, mean = run_bins(source.check(source.traces[key], "--runs"))
        colour = PLACEMENT_STYLE[key[1]][0]
        top = max(top, max(low.bit_length() for low, *_ in bins))
        ax.bar([math.log2(low) + 0.1 + width * (index + 0.5) for low, *_ in bins],
               [share * 100 for *_, share in bins], width, color=colour,
               label=f"{key[1]} (mean run {mean:,.1f})")
        # Bin k spans k to k + 1 on the axis, 2^k to 2^(k+1) lines, so a mean of m lines
        # falls at log2(m); each placement's ▼ has a lane of its own above the bars.
        lane = 106 + 9 * (len(keys) - 1 - index)
        ax.plot([math.log2(mean)], [lane], marker="v", markersize=8, color=colour)
        right = math.log2(mean) > 9  # its note then goes on the left, within the axes
        ax.annotate(f"mean {mean:,.1f}", (math.log2(mean), lane), xytext=(-7 if right else 7, 0),
                    textcoords="offset points", fontsize=7, verticalalignment="center",
                    horizontalalignment="right" if right else "left")
        low, high, _, _, share = max(bins, key=lambda row: row[4])
        if key[1] != "split":
            parts.append(f"on {key[1]}, {share:.0%} of the lines come in runs of "
                         f"{span(low, high)} {'line' if high == 1 else 'lines'} "
                         f"(mean run {mean:,.1f})")
    ax.set_xticks(range(top + 1), [f"{2 ** k:,}" for k in range(top + 1)], rotation=45,
                  fontsize=7)
    ax.set_xlim(0, top + 1.5)
    ax.set_ylim(0, 103 + 9 * len(keys))
    ax.set_yticks(range(0, 101, 20))
    ax.set_xlabel("run length, lines (bins from one power of two to the next)")
    ax.set_ylabel("share of all lines, %")
    return finish(figure, "Run lengths of guardtally, one worker's turn at the counter: "
                  + "; ".join(parts) + ". ▼ marks each placement's mean run.", [ax],
                  source.caption, ax.get_legend_handles_labels()[0])


def spread(values, scale):
    """Horizontal offsets for marks at these heights, so that marks which would cover each
    other (an eighth of a step of `scale` apart or less) sit side by side, within 0.28 of
    their placement: the data keep their values."""
    shelves = {}
    for index in sorted(range(len(values)), key=lambda index: values[index]):
        shelves.setdefault(round(scale(values[index]) * 8), []).append(index)
    offsets = [0.0] * len(values)
    for shelf in shelves.values():
        step = min(0.07, 0.56 / len(shelf))
        for seen, index in enumerate(shelf):
            offsets[index] = (seen + 1) // 2 * step * (1 if seen % 2 else -1)
    return offsets


def symlog(value):
    return math.copysign(math.log10(1 + abs(value)), value)


def race_by_placement(source):
    """loosetally's breaks and its lost changes, one mark a run, by placement, with the
    median of the quiet runs and the run that lost the most labelled where it stands out."""
    runs = [run for run in source.records if run["program"] == "loosetally"]
    placements = [placement for placement in PLACEMENT_STYLE
                  if any(run["placement"] == placement for run in runs)]
    figure, axes = plt.subplots(1, 2, figsize=(WIDTH, 3.9))
    measures = (("breaks per million lines", lambda run: run["breaks"] * 1e6 / run["lines"]),
                ("changes lost, net (|drift|)", lambda run: abs(run["drift"])))
    medians = {}
    for ax, (name, measure) in zip(axes, measures):
        headroom = max([measure(run) for run in runs] + [1]) * 3
        for position, placement in enumerate(placements):
            colour, marker = PLACEMENT_STYLE[placement]
            mine = [run for run in runs if run["placement"] == placement]
            values = [measure(run) for run in mine]
            offsets = spread(values, symlog)
            for disturbed in (False, True):
                chosen = [index for index, run in enumerate(mine) if run["disturbed"] == disturbed]
                if chosen:
                    ax.scatter([position + offsets[index] for index in chosen],
                               [values[index] for index in chosen], marker=marker, s=24,
                               linewidths=1.1, edgecolors=colour, zorder=3,
                               facecolors="none" if disturbed else colour, gid=placement)
            median = medians[(name, placement)] = quiet_median(mine, measure)
            if median is not None:
                ax.plot([position - 0.3, position + 0.3], [median] * 2, color="#333333",
                        linewidth=1.5, zorder=2)
                ax.annotate(number(median), (position + 0.3, median), xytext=(3, 0),
                            textcoords="offset points", fontsize=7, verticalalignment="center")
            # A run that lost ten times as much as any other of its placement, and at least
            # 100 changes, is the figure's lesson: it gets its number.
            if name.startswith("changes") and len(values) > 1:
                worst = max(range(len(values)), key=lambda index: values[index])
                rest = max(value for index, value in enumerate(values) if index != worst)
                if values[worst] >= max(100, 10 * rest):
                    # Its note goes in the top left corner, kept clear by the headroom below.
                    ax.annotate(f"{values[worst]:,.0f} changes lost in {placement} run "
                                f"{mine[worst]['run']},\nwith {mine[worst]['breaks']:,} "
                                "breaks: a worker switched out between\nits load and its "
                                "store wiped out the other's turn",
                                (position + offsets[worst], values[worst]), xytext=(0.03, 0.97),
                                textcoords="axes fraction", fontsize=6.5, verticalalignment="top",
                                arrowprops={"arrowstyle": "->", "color": "#444444",
                                            "linewidth": 0.8})
                    headroom = values[worst] * 300
        ax.set_yscale("symlog", linthresh=1)
        ax.set_ylim(-0.3, headroom)
        ax.set_xticks(range(len(placements)), placements)
        ax.set_xlim(-0.6, len(placements) - 0.4)
        ax.set_ylabel(name)
        ax.set_xlabel("placement")
        ax.set_title("log scale, 0 at the bottom", fontsize=8)
    disturbed = sum(run["disturbed"] for run in runs)
    losing = [run for run in runs if run["placement"] == "all cores" and not run["disturbed"]]
    breaks = {placement: "no quiet run" if medians[(measures[0][0], placement)] is None else
              number(medians[(measures[0][0], placement)]) for placement in placements}
    legend = [Line2D([], [], color="#333333", linewidth=1.5, label="median of the quiet runs"),
              Line2D([], [], color="#333333", marker="o", markerfacecolor="none",
                     linestyle="none", label="a disturbed run (hollow)")]
    return finish(
        figure, "The race by placement: loosetally breaks a median of "
        + f"{breaks[placements[0]]} times per million lines on {placements[0]}, "
        + ", ".join(f"{breaks[placement]} on {placement}" for placement in placements[1:])
        + f"; free on all cores it lost more than one change, net, in "
          f"{sum(abs(run['drift']) > 1 for run in losing)} of {len(losing)} quiet runs "
          f"({disturbed} of {len(runs)} runs disturbed).", axes, source.caption, legend)


def price_of_the_guard(source):
    """guardtally's rate as a share of the serial bound against the kernel's work for the
    semaphore, one mark a run: futex calls where perf counted them, else voluntary context
    switches. Each placement's marks are set a little apart, so that one core and split,
    which fall on the same spot, both show."""
    runs = [run for run in source.records if run["program"] == "guardtally"]
    futex = all(run["futex_calls"] is not None for run in runs)
    field, what = (("futex_calls", "futex calls") if futex else
                   ("voluntary_switches", "voluntary context switches"))
    figure, ax = plt.subplots(figsize=(WIDTH, 4))

    def calls(run):
        return run[field] * 1e3 / run["lines"]

    parts = []
    for shift, placement in zip((-5, 0, 5), PLACEMENT_STYLE):
        colour, marker = PLACEMENT_STYLE[placement]
        moved = offset_copy(ax.transData, fig=figure, x=shift, y=0, units="points")
        mine = [run for run in runs if run["placement"] == placement]
        for disturbed in (False, True):
            chosen = [run for run in mine if run["disturbed"] == disturbed]
            if chosen:
                ax.scatter([calls(run) for run in chosen], [run["bound"] for run in chosen],
                           marker=marker, s=28, linewidths=1.1, transform=moved, zorder=3,
                           facecolors="none" if disturbed else colour, edgecolors=colour,
                           label=placement + (", disturbed" if disturbed else ""), gid=placement)
        if mine and quiet_median(mine, calls) is None:
            parts.append(f"{placement}, no quiet run")
        elif mine:
            parts.append(f"{placement}, {amount(quiet_median(mine, lambda run: run['bound']))} "
                         f"at {amount(quiet_median(mine, calls))}")
    ax.axhline(1, color=REFERENCE, linewidth=0.8, linestyle="--", zorder=1)
    ax.annotate("the serial bound: serialtally, one thread, no semaphore", (1, 1),
                xycoords=("axes fraction", "data"), xytext=(-4, 3), textcoords="offset points",
                fontsize=7, color="#444444", horizontalalignment="right")
    ax.set_xscale("symlog", linthresh=0.01)
    top = max([calls(run) for run in runs] + [1])
    ticks = [0] + [10.0 ** power for power in range(-2, math.ceil(math.log10(top)) + 1)]
    ax.set_xticks(ticks, [f"{tick:,g}" for tick in ticks])
    ax.set_xlim(-0.002, ticks[-1] * 1.5)
    ax.set_ylim(0, 1.15)
    ax.set_xlabel(f"{what} per 1,000 lines (log scale, linear from 0 to 0.01)")
    ax.set_ylabel("rate as a share of\nthe serial bound")
    ax.legend(fontsize=7, loc="center left")
    return finish(figure, "The price of the guard: guardtally's rate as a share of the serial "
                  f"bound, at its {what} per 1,000 lines (medians of quiet runs): "
                  + "; ".join(parts) + ".", [ax], source.caption)
