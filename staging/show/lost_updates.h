// Updates lost in any program, whatever its shape.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "step.h"

// A store that wrote what its thread loaded, changed, over another thread's change: the
// steps (indices into the run's steps) of the stale load, of the store, and of the first
// change that it wiped out.
struct LostUpdate {
    size_t load;
    size_t store;
    size_t wiped;
    uint64_t address;
};

// Stores of any program that write what their thread loaded, changed by one, over another
// thread's change made since that load: updates lost, in the order of their stores.
std::vector<LostUpdate> lostUpdatesOf(const std::vector<Step> &steps);
// How many, and where the first.
unsigned lostUpdates(const std::vector<Step> &steps, uint64_t &where);
