"""The benchmark's figures, drawn with matplotlib from its records, its kept traces and the
checker's own detail (`tallycheck --runs` and `--breaks`). The figures read the lines of a
trace only to draw them, and leave every judgement of a line to the checker. Each title
states what its figure shows in numbers from the data it draws, and a caption line names
the machine, the runs and the placements."""

from canvas import save
from detail import break_rows
from record_figures import price_of_the_guard, race_by_placement, run_lengths
from trace_figures import kinds_of_break, who_held_the_counter

DRAWINGS = {"kinds-of-break": kinds_of_break, "who-held-the-counter": who_held_the_counter,
            "run-lengths": run_lengths, "race-by-placement": race_by_placement,
            "price-of-the-guard": price_of_the_guard}


class Figures:
    """What the figures are drawn from: the records, the kept traces by (program, placement),
    the checker (a path and its options in, what it printed out) and the caption line."""

    def __init__(self, records, traces, check, caption):
        self.records, self.traces, self.check, self.caption = records, traces, check, caption
        self.breaks = {}

    def trace_breaks(self, key):
        """The rows of `tallycheck --breaks` for a kept trace, read once."""
        if key not in self.breaks:
            self.breaks[key] = break_rows(self.check(self.traces[key], "--breaks"))
        return self.breaks[key]

    def draw_all(self, folder, png):
        for name, draw in DRAWINGS.items():
            save(draw(self), folder, name, png)
