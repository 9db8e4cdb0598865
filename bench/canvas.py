"""What every figure shares: its colours and marks, its width, how a figure is titled and
captioned, and how it is written. The colours are the Okabe-Ito set, which readers with any
common colour blindness can tell apart. Each means one thing in every figure: Inc and Dec
keep theirs, a break is black, each placement and each outcome of a schedule has one of its
own; marks differ in shape as well."""

import os
import textwrap

import matplotlib.pyplot as plt

# Text stays text in the SVG (small, searchable), and the same data give the same bytes.
plt.rcParams.update({"svg.fonttype": "none", "svg.hashsalt": "glassbox", "font.size": 9,
                     "axes.titlesize": 9, "figure.titlesize": 10})
LABELS = {"Inc": "#E69F00", "Dec": "#0072B2"}  # orange, blue
BREAK = "#000000"
PLACEMENT_STYLE = {"one core": ("#009E73", "o"), "all cores": ("#CC79A7", "s"),
                   "split": ("#666666", "^")}  # bluish green, reddish purple, grey
# The outcome of a schedule: consistent, late reports only, a lost change (sky blue, yellow,
# vermillion), and a deadlock, hatched.
OUTCOME_STYLE = {"consistent": ("#56B4E9", None), "late reports only": ("#F0E442", None),
                 "lost a change": ("#D55E00", None), "deadlock": ("#FFFFFF", "xxx")}
REFERENCE = "#888888"  # a line to measure against: a bound, an aim
WIDTH = 7.5  # inches


def finish(figure, title, axes, caption, legend=()):
    """Titles the figure, labels it for readers of the SVG (each title and axis label is a
    group with its own id), and adds the legend's handles, if any, in one row below the
    axes, clear of the data, and the caption line below that."""
    heading = textwrap.wrap(title, 88)
    lines = textwrap.wrap(caption, 150)
    suptitle = figure.suptitle("\n".join(heading), x=0.01, horizontalalignment="left",
                               fontweight="bold")
    suptitle.set_gid("title")
    # The layout makes room for the title itself; the caption and the legend need room below.
    height = figure.get_figheight()
    caption_room = 0.12 * len(lines) + 0.1
    below = caption_room + (0.3 if legend else 0)
    figure.tight_layout(rect=(0, below / height, 1, 1))
    if legend:
        figure.legend(handles=list(legend), loc="lower center", ncol=len(legend), fontsize=7,
                      frameon=False, bbox_to_anchor=(0.5, caption_room / figure.get_figheight()))
    for index, ax in enumerate(axes):
        ax.xaxis.label.set_gid(f"xlabel-{index}")
        ax.yaxis.label.set_gid(f"ylabel-{index}")
    figure.text(0.01, 0.005, "\n".join(lines), fontsize=6.5, color="#444444",
                verticalalignment="bottom")
    return figure


def title_of(figure):
    return next(text.get_text() for text in figure.texts if text.get_gid() == "title")


def save(figure, folder, name, png):
    path = os.path.join(folder, name)
    title = " ".join(title_of(figure).split())
    figure.savefig(path + ".svg", metadata={"Title": title, "Date": None})
    if png:
        figure.savefig(path + ".png", dpi=150)
    plt.close(figure)
