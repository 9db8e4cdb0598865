// The path of one run through the tree of schedules: at each state, which threads could go,
// which one went and what its step touched, which are still to try there, and which are
// asleep there (tried at a state above, and not moved by anything since, so that trying them
// here again would only repeat an order already run).
#pragma once

#include <stdint.h>

#include <utility>
#include <vector>

#include "step.h"

struct Tried {
    int thread;
    std::vector<Touch> touches;
};

struct Choice {
    std::vector<int> enabled;
    int taken = -1;
    int last = -1;              // the thread of the step before
    unsigned preemptions = 0;   // switches away from a thread that could go on, before here
    std::vector<int> backtrack; // threads to try from here
    std::vector<Tried> done;    // tried from here, with what their steps touched
    std::vector<Tried> sleep;   // asleep on arrival
    std::vector<Touch> touches; // of the step taken
    StepKind kind = StepKind::load;
    int created = -1; // the thread that the step created

    bool preempts(int thread) const;
    bool asleep(int thread) const;
    bool tried(int thread) const;
};

// The sleep set of the state after `choice`'s step: what was asleep or tried there and
// commutes with that step.
std::vector<Tried> sleepAfter(const Choice &choice);
