// Updates lost in any program, whatever its shape.
#pragma once

#include <stdint.h>

#include <vector>

#include "step.h"

// Stores of any program that write what their thread loaded, changed by one, over another
// thread's change made since that load: updates lost. Returns how many, and where the first.
unsigned lostUpdates(const std::vector<Step> &steps, uint64_t &where);
