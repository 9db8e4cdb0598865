"""The figures on data with a known answer: each draws the column that its title and axes
name, and the part of the trace that it says; traces are longer than the strips."""

import math
import os
import tempfile
import unittest

from harness import main, require
from known import figure_source, known_records, write_trace


class RecordFigures(unittest.TestCase):
    """Records made up to have one answer: quiet runs 1, 3 and 5; disturbed runs far off."""

    def setUp(self):
        self.records = known_records()

    def test_the_record_figures_draw_what_they_name(self):
        require("python3:matplotlib", "python3-matplotlib")
        import canvas
        import record_figures
        source = figure_source(self.records, {})
        race = record_figures.race_by_placement(source)
        price = record_figures.price_of_the_guard(source)
        cases = ((race.axes[0], "loosetally", lambda run: run["breaks"] * 100,
                  "breaks per million"),
                 (race.axes[1], "loosetally", lambda run: abs(run["drift"]), "changes lost"),
                 (price.axes[0], "guardtally", lambda run: run["bound"], "serial bound"))
        for ax, program, figure, named in cases:
            self.assertIn(named, ax.get_ylabel())
            for placement in ("one core", "all cores"):
                drawn = [list(collection.get_offsets()) for collection in ax.collections
                         if collection.get_gid() == placement]
                self.assertEqual(sorted(y for marks in drawn for _, y in marks),
                                 sorted(figure(run) for run in self.records if
                                        (run["program"], run["placement"]) == (program, placement)))
        self.assertIn("futex calls per 1,000 lines", price.axes[0].get_xlabel())
        drawn = [x for collection in price.axes[0].collections for x, _ in collection.get_offsets()]
        self.assertEqual(sorted(drawn), sorted(run["futex_calls"] / 10 for run in self.records
                                               if run["program"] == "guardtally"))
        self.assertIn("breaks a median of 1,800 times per million lines on one core, 3,600 on "
                      "all cores", " ".join(canvas.title_of(race).split()))
        self.assertIn("one core, 0.30 at 21; all cores, 1.2 at 84",
                      " ".join(canvas.title_of(price).split()))


class TraceFigures(unittest.TestCase):
    """Traces of 12,000 lines made up to have one answer, longer than the figures' strips."""

    def test_the_trace_figures_draw_what_they_name(self):
        require("python3:matplotlib", "python3-matplotlib")
        import canvas
        import record_figures
        import trace_figures
        with tempfile.TemporaryDirectory() as folder:
            turns = {"one core": 3000, "all cores": 1, "split": 6000}
            traces = {}
            for program in ("guardtally", "loosetally"):
                for placement, length in turns.items():
                    # loosetally's turns are 700 lines out of step, so that the hand-over
                    # nearest the middle is not at the middle.
                    shift = 700 if program == "loosetally" else 0
                    labels = [("Inc", "Dec")[(index + shift) // length % 2]
                              for index in range(12_000)]
                    if program == "loosetally":
                        labels[:2000] = ["Inc", "Dec"] * 1000
                    path = traces[(program, placement)] = os.path.join(folder, program + placement)
                    # A late report at line 7,000; at 8,500 a store that wipes out 41
                    # changes, the held worker's own among them, which its report on the next
                    # line gives back: 40 lost.
                    if (program, placement) == ("loosetally", "one core"):
                        write_trace(path, labels, [(7000, 300)], [(8500, 41), (8501, -1)])
                    else:
                        write_trace(path, labels)
            source = figure_source([], traces)
            breaks = canvas.title_of(trace_figures.kinds_of_break(source))
            self.assertIn("a late report shows a value 300 changes old", breaks)
            self.assertIn("a lost update wipes out 40 changes, and the drift moves by 40", breaks)
            strips = trace_figures.who_held_the_counter(source)
            for ax, (program, placement) in zip(strips.axes, [(program, placement) for placement
                                                              in turns for program in traces and
                                                              ("guardtally", "loosetally")]):
                with self.subTest(strip=(program, placement)):
                    first = int(ax.get_yticklabels()[0].get_text().replace(",", ""))
                    # Centred on the hand-over nearest the middle: before line 6,001, or 5,301.
                    self.assertEqual(first, 2801 if program == "loosetally" and
                                     placement != "all cores" else 3501)
                    with open(traces[(program, placement)], encoding="ascii") as trace:
                        lines = trace.readlines()[first - 1:first + 4999]
                    cells = ax.images[0].get_array().flatten().tolist()
                    wanted = [2 if number in (7000, 7001, 8500, 8501) and program == "loosetally"
                              and placement == "one core" else
                              ("Inc", "Dec").index(line.split(":")[0])
                              for number, line in enumerate(lines, first)]
                    # The first cell that differs, not a diff of two lists of 5,000.
                    differs = next((number for number, (cell, want)
                                    in enumerate(zip(cells, wanted), first) if cell != want), None)
                    self.assertEqual((len(cells), differs), (len(wanted), None))
                    changes = sum(a[:3] != b[:3] for a, b in zip(lines, lines[1:]))
                    self.assertIn(f": {changes:,} hand-over", ax.get_title(loc="left"))
            lengths = record_figures.run_lengths(source)
            for placement, (colour, _) in canvas.PLACEMENT_STYLE.items():
                rgb = tuple(int(colour[index:index + 2], 16) / 255 for index in (1, 3, 5))
                bars = {math.floor(bar.get_x()): bar.get_height() for bar in lengths.axes[0].patches
                        if bar.get_facecolor()[:3] == rgb and bar.get_height()}
                self.assertEqual(bars, {int(math.log2(turns[placement])): 100.0}, placement)
            self.assertIn("on one core, 100% of the lines come in runs of 2,048–4,095 lines (mean "
                          "run 3,000.0); on all cores, 100% of the lines come in runs of 1 line "
                          "(mean run 1.0)", " ".join(canvas.title_of(lengths).split()))


if __name__ == "__main__":
    main()
