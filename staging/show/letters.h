// Following a schedule's letters through a run of -c: which thread each state's choice
// names, what a letter for a thread that cannot go says, and, with no schedule at a
// terminal, the learner asked for the next letters.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

#include "execution.h"
#include "places.h"

// Following the schedule's letters through a run: which thread each state's choice names.
struct Letters {
    std::string schedule;
    bool asking;
    bool quiet;             // the program's lines alone
    size_t next = 0;        // the next letter to read
    unsigned unstarted = 0; // steps taken while the letter's thread has not started

    static constexpr int stop = -1;  // no letter left: the run stops here
    static constexpr int again = -2; // a letter read without a step: choose again

    int choose(const Execution &run, const std::vector<int> &can, const Places &places);
};
