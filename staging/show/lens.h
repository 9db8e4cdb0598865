// The counter programs' lens on a run: two workers, I raising one counter and D lowering it,
// each printing its report line. What a schedule came to is then the counter against the
// changes made, the changes lost, and tallycheck's verdict on the lines; and each class of
// schedules stands for every order of the two workers' steps that it holds.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "class_grid.h"
#include "explorer.h"
#include "tally.h"

struct CounterLens {
    bool on = false;
    uint64_t counter = 0;
    int inc = -1; // the thread that raises it
    int dec = -1;
};

// Whether a first run shows a program of the counter's shape, and where its counter is.
CounterLens lensOf(const RunRecord &probe);

struct CounterOutcome {
    Count final = 0;
    unsigned changes = 0;
    unsigned lost = 0;
    unsigned long lines = 0;
    unsigned long breaks = 0;
    std::string verdict;      // tallycheck's
    unsigned long orders = 0; // orders of the two workers' steps that the run stands for
};

CounterOutcome counterOutcome(const CounterLens &lens, const RunRecord &run);
// The workers' changes of the counter, in order, and those lost: a store that writes what
// its worker loaded, changed, wipes out the changes stored since that load.
struct Changes {
    std::vector<int> made;
    std::vector<int> lost;
};
Changes changesOf(const CounterLens &lens, const std::vector<Step> &steps);
// How many schedules there are, from the steps of `first`, in words: for a counter program
// every order of its two workers' steps; else an upper bound within `preemptions`.
std::string expectedSchedules(const RunRecord &first, const CounterLens &lens,
                              unsigned preemptions);
