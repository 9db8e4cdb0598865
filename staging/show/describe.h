// A step in words, as a learner reads it: "loads 0 from count", "sem_wait(mutex): takes it,
// value now 0", "pthread_cond_wait(ready, lock): releases lock and sleeps".
#pragma once

#include <string>

#include "execution.h"
#include "places.h"

// A value of `size` bytes as the program's signed integer of that size: "-1".
std::string number(unsigned size, uint64_t value);
// Said right after the step, while `run` still holds the state that it left.
std::string describe(const Step &step, const Execution &run, const Places &places);
// What a thread that cannot go on waits for, right now.
std::string describeWait(int thread, const Execution &run, const Places &places);
// What each thread's store buffer holds, oldest first: "buffers: I holds flag[0] = 1, ...".
std::string bufferText(const Execution &run, const Places &places);
