// The reduction: each run's steps ordered by what they touch (happens-before), and where two
// steps of different threads touch the same place in an order that could have been the other
// way round, that other order marked to be tried from the state before the first.
#pragma once

#include <vector>

#include "path.h"

struct Reduction {
    unsigned preemptionBound = ~0U;
    bool cut = false; // an order was left out for the bound
};

// The happens-before clock of each step of the path: clock[i][t] is the number of steps of
// the path up to and including the last step of thread t that happens before step i.
std::vector<std::vector<int>> clocksOf(const std::vector<Choice> &path, size_t threads);
// Adds the backtrack points that the races of `path` call for; `pending` holds, as choices
// not taken, the step of each thread that could not take it when the run ended.
void addBacktracks(std::vector<Choice> &path, const std::vector<Choice> &pending,
                   Reduction &reduction);
