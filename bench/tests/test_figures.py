"""The figures on data whose answers are known, by value: where each mark stands, which
break each draws and around which lines, and every title and note. Traces are longer than
the strips."""

import math
import os
import tempfile
import unittest

from harness import main, require
from known import known_records, figure_source, write_trace


def drawn(points):
    return [[round(x, 6), round(y, 6)] for x, y in points]


def one_line(text):
    return " ".join(text.split())


class Placing(unittest.TestCase):
    def test_marks_at_one_height_side_by_side_and_figures_as_text(self):
        require("python3:matplotlib", "python3-matplotlib")
        import record_figures
        import tables
        # Offsets from the placement: marks at one height alternate right and left, never
        # past 0.28; marks at heights far apart each stay on the placement.
        for values, offsets in (([1, 1, 1, 100], [0, 0.07, -0.07, 0]), ([10, 11], [0, 0]),
                                ([5] * 10, [0, 0.056, -0.056, 0.112, -0.112, 0.168, -0.168,
                                            0.224, -0.224, 0.28])):
            spread = record_figures.spread(values, record_figures.symlog)
            self.assertEqual([round(offset, 6) for offset in spread], offsets, values)
        for value, text in ((None, "–"), (0, "0"), (0.033, "0.033"), (5, "5.0"), (0.3, "0.30"),
                            (12345.6, "12,346")):
            self.assertEqual(tables.amount(value), text, value)
        self.assertEqual([record_figures.span(4, 4), record_figures.span(2048, 4095)],
                         ["4", "2,048–4,095"])


# Each axis of the race by placement: its label, then of each placement the quiet marks
# and the hollow, disturbed ones, the median line and its number. Two disturbed runs at
# one height stand side by side.
RACE = (("breaks per million lines",
         [("one core", False, [[0, 600], [0, 1800], [0, 3000]]),
          ("one core", True, [[0, 600_000], [0.07, 600_000]]),
          ("all cores", False, [[1, 1200], [1, 3600], [1, 6000]]),
          ("all cores", True, [[1, 1_200_000], [1.07, 1_200_000]])],
         [[[-0.3, 1800], [0.3, 1800]], [[0.7, 3600], [1.3, 3600]]], ["1,800", "3,600"]),
        ("changes lost, net (|drift|)",
         [("one core", False, [[0, 3], [0, 9], [0, 15]]),
          ("one core", True, [[0, 3000], [0.07, 3000]]),
          ("all cores", False, [[1, 6], [1, 18], [1, 30]]),
          ("all cores", True, [[1, 6000], [1.07, 6000]])],
         [[[-0.3, 9], [0.3, 9]], [[0.7, 18], [1.3, 18]]], ["9", "18"]))


def changed(records, key, **fields):
    for run in records:
        if (run["program"], run["placement"], run["run"]) == key:
            run.update(fields)
    return records


class RecordFigures(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        require("python3:matplotlib", "python3-matplotlib")

    def test_the_race_by_placement(self):
        import canvas
        import record_figures
        race = record_figures.race_by_placement(figure_source(known_records(), {}))
        for ax, (label, marks, medians, notes) in zip(race.axes, RACE):
            with self.subTest(axis=label):
                self.assertEqual(ax.get_ylabel(), label)
                self.assertEqual([tick.get_text() for tick in ax.get_xticklabels()],
                                 ["one core", "all cores"])
                self.assertEqual([(marks.get_gid(), not len(marks.get_facecolors()),
                                   drawn(marks.get_offsets())) for marks in ax.collections],
                                 marks)
                self.assertEqual([drawn(line.get_xydata()) for line in ax.lines], medians)
                self.assertEqual([text.get_text() for text in ax.texts], notes)
        rest = ("The race by placement: loosetally breaks a median of 1,800 times per million "
                "lines on one core, {}; free on all cores it lost more than one change, net, "
                "in {} quiet runs ({} of 10 runs disturbed).")
        self.assertEqual(one_line(canvas.title_of(race)), rest.format("3,600 on all cores",
                                                                       "3 of 3", 4))
        # All cores without a quiet run; then one quiet run of all cores that lost 20,000,
        # more than ten times any other, which the figure names, and one that lost but one.
        unquiet = known_records()
        for number in (1, 3, 5):
            changed(unquiet, ("loosetally", "all cores", number), disturbed=True)
        outlier = known_records()
        changed(outlier, ("loosetally", "all cores", 5), drift=20_000)
        for number in (1, 2, 4):
            changed(outlier, ("loosetally", "all cores", number), drift=-1)
        for records, title, note in (
                (unquiet, rest.format("no quiet run on all cores", "0 of 0", 7), []),
                (outlier, rest.format("3,600 on all cores", "2 of 3", 4),
                 ["20,000 changes lost in all cores run 5,\nwith 60 breaks: a worker switched "
                  "out between\nits load and its store wiped out the other's turn"])):
            race = record_figures.race_by_placement(figure_source(records, {}))
            self.assertEqual(one_line(canvas.title_of(race)), title)
            self.assertEqual([text.get_text() for text in race.axes[1].texts[2:]], note)

    def test_the_price_of_the_guard(self):
        import canvas
        import record_figures
        without_perf, unquiet = known_records(), known_records()
        for run in without_perf:
            run["futex_calls"] = None
        changed(without_perf, ("guardtally", "one core", 5), disturbed=True)
        for number in (1, 3, 5):
            changed(unquiet, ("guardtally", "all cores", number), disturbed=True)
        # The kernel's work per 1,000 lines, futex calls where perf counted them, else
        # voluntary switches: the medians in the title, and each placement's marks, the
        # quiet ones first.
        cases = ((known_records(), "futex calls", "one core, 0.30 at 21; all cores, 1.2 at 84",
                  [("one core", [[7, 0.1], [21, 0.3], [35, 0.5]]),
                   ("one core, disturbed", [[7000, 100], [7000, 100]]),
                   ("all cores", [[28, 0.4], [84, 1.2], [140, 2]]),
                   ("all cores, disturbed", [[28_000, 400], [28_000, 400]])]),
                 (without_perf, "voluntary context switches",
                  "one core, 0.20 at 2.0; all cores, 1.2 at 12",
                  [("one core", [[1, 0.1], [3, 0.3]]),
                   ("one core, disturbed", [[1000, 100], [1000, 100], [5, 0.5]]),
                   ("all cores", [[4, 0.4], [12, 1.2], [20, 2]]),
                   ("all cores, disturbed", [[4000, 400], [4000, 400]])]),
                 (unquiet, "futex calls", "one core, 0.30 at 21; all cores, no quiet run",
                  [("one core", [[7, 0.1], [21, 0.3], [35, 0.5]]),
                   ("one core, disturbed", [[7000, 100], [7000, 100]]),
                   ("all cores, disturbed", [[28, 0.4], [28_000, 400], [84, 1.2],
                                             [28_000, 400], [140, 2]])]))
        for records, what, medians, marks in cases:
            with self.subTest(what=what, medians=medians):
                price = record_figures.price_of_the_guard(figure_source(records, {}))
                ax = price.axes[0]
                self.assertEqual(ax.get_xlabel(), f"{what} per 1,000 lines (log scale, linear "
                                                  "from 0 to 0.01)")
                self.assertEqual([(collection.get_label(), drawn(collection.get_offsets()))
                                  for collection in ax.collections], marks)
                self.assertEqual(one_line(canvas.title_of(price)),
                                 "The price of the guard: guardtally's rate as a share of the "
                                 f"serial bound, at its {what} per 1,000 lines (medians of "
                                 f"quiet runs): {medians}.")


# loosetally's breaks: (late reports, stale stores) as write_trace takes them. On all cores,
# a report 300 changes late at line 7,000, and at 8,600 a store that wipes out 41 changes,
# the held worker's own among them, which its report on the next line gives back: 40 lost.
# The traces before and after it have smaller breaks of both kinds, which the figure passes
# over; split's first is on the first line of its strip.
BREAKS = {("loosetally", "one core"): ([(4000, 50)], [(9500, 11), (9501, -1)]),
          ("loosetally", "all cores"): ([(7000, 300)], [(8600, 41), (8601, -1)]),
          ("loosetally", "split"): ([(2801, 20), (5000, 30)], [(10_000, 6), (10_001, -1)])}
TURNS = {"one core": 3000, "all cores": 1, "split": 6000}


class TraceFigures(unittest.TestCase):
    """Traces of 12,000 lines made up to have one answer, longer than the figures' strips."""

    @classmethod
    def setUpClass(cls):
        require("python3:matplotlib", "python3-matplotlib")
        cls.folder = tempfile.TemporaryDirectory()
        cls.traces = {}
        for program in ("guardtally", "loosetally"):
            for placement, length in TURNS.items():
                # loosetally's turns are 700 lines out of step, so that the hand-over
                # nearest the middle is not at the middle.
                shift = 700 if program == "loosetally" else 0
                labels = [("Inc", "Dec")[(index + shift) // length % 2] for index in range(12_000)]
                if program == "loosetally":
                    labels[:2000] = ["Inc", "Dec"] * 1000
                path = cls.traces[(program, placement)] = os.path.join(cls.folder.name,
                                                                       program + placement)
                write_trace(path, labels, *BREAKS.get((program, placement), ((), ())))
        cls.source = figure_source([], cls.traces)

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def test_the_two_kinds_of_break(self):
        import canvas
        import trace_figures
        figure = trace_figures.kinds_of_break(self.source)
        self.assertEqual(one_line(canvas.title_of(figure)),
                         "The two kinds of break: a late report shows a value 300 changes old, "
                         "and the drift is back on the next line; a lost update wipes out 40 "
                         "changes, and the drift moves by 40 for good.")
        # Each panel: its title, the first and last points of the path it is drawn along, the
        # break's ring, and the note. A late report is drawn with 20 lines on each side; a
        # lost update with as many as the value jumped, 41, and 20 more.
        panels = (("late report: loosetally, all cores, line 7,000", [[6980, 0], [7020, 0]],
                   [[7000, -300]], "Dec: -300\nexpected 0"),
                  ("lost update: loosetally, all cores, line 8,600", [[8539, 1], [8661, -39]],
                   [[8600, -41]], "Dec: -41\nexpected 0"))
        for ax, (title, ends, ring, note) in zip(figure.axes, panels):
            with self.subTest(title=title):
                self.assertEqual(ax.get_title(), title)
                inc, dec, mark = (line.get_xydata() for line in ax.lines)
                path = [inc_point if not math.isnan(inc_point[1]) else dec_point
                        for inc_point, dec_point in zip(inc, dec)]
                self.assertEqual(drawn([path[0], path[-1]]), ends)
                self.assertEqual(drawn(mark), ring)
                self.assertEqual([text.get_text() for text in ax.texts], [note])
        quiet = {key: path for key, path in self.traces.items() if key not in BREAKS}
        figure = trace_figures.kinds_of_break(figure_source([], quiet))
        self.assertEqual(one_line(canvas.title_of(figure)),
                         "The two kinds of break: no clear late report in these traces; no "
                         "clear lost update in these traces.")

    def test_only_breaks_clear_of_others_are_drawn(self):
        import trace_figures

        def late(line, expected=100, jump=30):
            return [(line, "Inc", expected - jump, expected, -jump),
                    (line + 1, "Inc", expected + 1, expected + 1 - jump, 0)]
        lost = [(8500, "Dec", 59, 100, -41), (8501, "Dec", 59, 58, -40)]
        # The rows of --breaks: the lines of the clear late reports (reach 20 lines) and lost
        # updates, with their jump, the changes lost, and their reach.
        cases = ((late(7000) + late(7022), [(7000, 30, 0, 20), (7022, 30, 0, 20)], []),
                 (late(7000) + late(7021), [(7000, 30, 0, 20)], []),
                 (late(7000) + [(7010, "Dec", 5, 1, 4)], [], []),
                 (late(7000) + lost, [(7000, 30, 0, 20)], [(8500, 41, 40, 61)]))
        for rows, late_reports, lost_updates in cases:
            found = trace_figures.clear_breaks(rows)
            self.assertEqual([[(row[0], *rest) for row, *rest in kind] for kind in found],
                             [late_reports, lost_updates], rows)

    def test_who_held_the_counter(self):
        import canvas
        import trace_figures
        strips = trace_figures.who_held_the_counter(self.source)
        self.assertEqual(one_line(canvas.title_of(strips)),
                         "Who held the counter, in 5,000 lines around the middle of each trace: "
                         "free on all cores, the workers hand over guardtally 4,999 times, "
                         "loosetally 4,999 times; with both on one core, guardtally 1 time, "
                         "loosetally 1 time. A hand-over: a line from the other worker than the "
                         "line before.")
        # Each strip starts 2,500 lines before the hand-over nearest the middle of its trace
        # (line 6,001, or 5,301 for loosetally's turns out of step); its ticks name the
        # first line of the top, middle and bottom rows. The breaks within it are black.
        strip = {("guardtally", "one core"): ("1 hand-over, 0 breaks", 3501, ()),
                 ("loosetally", "one core"): ("1 hand-over, 2 breaks", 2801, (4000, 4001)),
                 ("guardtally", "all cores"): ("4,999 hand-overs, 0 breaks", 3501, ()),
                 ("loosetally", "all cores"): ("4,999 hand-overs, 2 breaks", 3501, (7000, 7001)),
                 ("guardtally", "split"): ("1 hand-over, 0 breaks", 3501, ()),
                 ("loosetally", "split"): ("1 hand-over, 4 breaks", 2801,
                                           (2801, 2802, 5000, 5001))}
        for ax, ((program, placement), (title, first, broken)) in zip(strips.axes, strip.items()):
            with self.subTest(strip=(program, placement)):
                self.assertEqual(ax.get_title(loc="left"), f"{program}, {placement}: {title}")
                self.assertEqual([tick.get_text() for tick in ax.get_yticklabels()],
                                 [f"{line:,}" for line in (first, first + 2500, first + 4900)])
                with open(self.traces[(program, placement)], encoding="ascii") as trace:
                    lines = trace.readlines()[first - 1:first + 4999]
                wanted = [2 if number in broken else ("Inc", "Dec").index(line.split(":")[0])
                          for number, line in enumerate(lines, first)]
                cells = ax.images[0].get_array().flatten().tolist()
                # The first cell that differs, not a diff of two lists of 5,000.
                differs = next((number for number, (cell, want)
                                in enumerate(zip(cells, wanted), first) if cell != want), None)
                self.assertEqual((len(cells), differs), (len(wanted), None))

    def test_run_lengths(self):
        import canvas
        import record_figures
        lengths = record_figures.run_lengths(self.source)
        ax = lengths.axes[0]
        for placement, (colour, _) in canvas.PLACEMENT_STYLE.items():
            rgb = tuple(int(colour[index:index + 2], 16) / 255 for index in (1, 3, 5))
            bars = {math.floor(bar.get_x()): bar.get_height() for bar in ax.patches
                    if bar.get_facecolor()[:3] == rgb and bar.get_height()}
            self.assertEqual(bars, {int(math.log2(TURNS[placement])): 100.0}, placement)
        # Each mean run's ▼ at log2 of its length, in a lane of its own above the bars.
        self.assertEqual([drawn(line.get_xydata()) for line in ax.lines],
                         [[[round(math.log2(3000), 6), 124]], [[0, 115]],
                          [[round(math.log2(6000), 6), 106]]])
        self.assertEqual([text.get_text() for text in ax.texts],
                         ["mean 3,000.0", "mean 1.0", "mean 6,000.0"])
        self.assertEqual(one_line(canvas.title_of(lengths)),
                         "Run lengths of guardtally, one worker's turn at the counter: on one "
                         "core, 100% of the lines come in runs of 2,048–4,095 lines (mean run "
                         "3,000.0); on all cores, 100% of the lines come in runs of 1 line (mean "
                         "run 1.0). ▼ marks each placement's mean run.")


if __name__ == "__main__":
    main()
