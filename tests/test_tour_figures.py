"""The tour's measurements worked out from readings whose answers are known: the machine's
clock ticks from a line of /proc/stat, the share of them that other work took while a
command ran, and the hand-off's rate and context switches per 1,000 lines from GNU time's
line. Sourced, the tour defines them and runs nothing."""

import os
import subprocess
import unittest

from harness import ENV, main

TOUR = os.path.join(os.environ["GLASSBOX_SOURCE"], "tour.sh")
SHARE = "(other work used {}% of the {} CPUs meanwhile; at a fifth or more{})\n"
TIMED = "{} s, {} voluntary and {} involuntary context switches"
PER_LINE = ("(1,000,000 lines: {} M lines/s; per 1,000 lines, {} voluntary and {} involuntary "
            "context switches)\n")
# measured, with /proc/stat read from fd 4 in its stead, 100 ticks a second, 3 CPUs, and the
# times builtin giving the shell's own CPU time, then its children's: the command's.
MEASURED = """cpu_ticks() { read -r ticks <&4; echo "$ticks"; }
getconf() { case $1 in CLK_TCK) echo 100 ;; _NPROCESSORS_ONLN) echo 3 ;; esac; }
times() { echo '0m9.000s 0m9.000s'; echo '0m1.000s 0m0.500s'; }
shown() { echo shown; return 3; }
measured ' the race hides' shown 4<<<$'1000 5000\\n1400 6000'; echo "status $?"
"""


def with_the_tour(script):
    """What a bash script prints, run with the tour's measurements defined."""
    return subprocess.run(["bash", "-c", f'. "$1" && {script}', "figures", TOUR], env=ENV,
                          capture_output=True, text=True, check=True).stdout


class Figures(unittest.TestCase):
    def test_each_figure_from_readings_whose_answers_are_known(self):
        # The numbers of a reading all differ, so that one left out, counted twice or taken
        # for another changes the answer.
        for script, expected in (
                # user nice system idle iowait irq softirq steal guest guest_nice; guest time
                # is counted in user already.
                ("cpu_ticks <<< 'cpu  10 20 30 400 50 6 7 8 900 1000'", "81 531\n"),
                # busy ticks, all ticks, the command's user and system time, ticks a second,
                # CPUs, what the share changes: 30075 - 18075 of 60000.
                ("other_work 30075 60000 '1m0.500s 2m0.250s' 100 2 ' x'",
                 SHARE.format(20, 2, " x")),
                ("other_work 1000 2000 '0m1.000s 0m1.000s' 250 8 ''", SHARE.format(25, 8, "")),
                # More time of its own than the machine was busy (a tick is coarse), or no
                # tick at all: nothing else ran.
                ("other_work 100 1000 '0m0.000s 0m2.000s' 100 1 ''", SHARE.format(0, 1, "")),
                ("other_work 0 0 '0m0.000s 0m0.000s' 100 1 ''", SHARE.format(0, 1, "")),
                (MEASURED, "shown\n" + SHARE.format(25, 3, " the race hides") + "status 3\n"),
                # GNU time writes to standard error; the command's status is kept.
                (f"handoff_run 'echo \"{TIMED.format(0.25, 8000, 1500)}\" >&2; exit 5'; "
                 'echo "status $?"', TIMED.format(0.25, 8000, 1500) + "\n" +
                 PER_LINE.format(4.0, 8.0, 1.5) + "status 5\n"),
                # Too quick to be timed: no rate.
                (f"handoff_run 'echo \"{TIMED.format('0.00', 3, 4)}\"'",
                 TIMED.format("0.00", 3, 4) + "\n")):
            with self.subTest(script=script):
                self.assertEqual(with_the_tour(script), expected)


if __name__ == "__main__":
    main()
