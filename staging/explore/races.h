// The reduction: each run's steps ordered by what they touch (happens-before), and where two
// steps of different threads touch the same place in an order that could have been the other
// way round, that other order marked to be tried from the state before the first.
#pragma once

#include <stddef.h>

#include <vector>

#include "path.h"

struct Reduction {
    unsigned preemptionBound = ~0U;
    bool cut = false; // an order was left out for the bound
};

// Who takes a path's steps, or could (threads, store buffers), each given a slot of its own:
// a clock has one entry a slot.
class Actors {
  public:
    Actors(const std::vector<Choice> &path, const std::vector<Choice> &pending);
    size_t size() const { return actors.size(); }
    size_t slot(int actor) const;

  private:
    std::vector<int> actors; // sorted
};

// The happens-before clock of each step of the path: clock[i][slot(t)] is the number of steps
// of the path up to and including the last step of t that happens before step i.
std::vector<std::vector<int>> clocksOf(const std::vector<Choice> &path, const Actors &actors);
// Adds the backtrack points that the races of `path` call for; `pending` holds, as choices
// not taken, the step of each thread that could not take it when the run ended.
void addBacktracks(std::vector<Choice> &path, const std::vector<Choice> &pending,
                   Reduction &reduction);
