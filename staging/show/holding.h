// Who holds which lock after a run's steps: a mutex or a semaphore taken and not given back.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

#include "places.h"
#include "step.h"

// Whether a step takes a lock (a mutex, a semaphore; a condition wait's wake takes its mutex
// again), or gives one back.
bool takesLock(const Step &step);
bool releasesLock(const Step &step);
// The lock a step takes or gives back, by name: a condition wait's is its mutex.
std::string lockOf(const Step &step, const Places &places);
// `held` after `step`, which takes or gives back `lock` (or neither): one taker's copy
// given back, where a lock is held more than once.
void holdAfter(std::vector<std::string> &held, const Step &step, const std::string &lock);
// The locks that `thread` holds after the first `upTo` of `steps`, by name.
std::vector<std::string> locksHeld(const std::vector<Step> &steps, int thread, const Places &places,
                                   size_t upTo = ~size_t{0});
