// loosetally: the same two threads and report lines as guardtally, with no guard at all.
// Nothing orders one worker's accesses to the counter against the other's, so updates are
// lost and reports come out of order: the race is the point.
#include <atomic>

#include "workers.h"

// Each load and each store is indivisible (no torn values, no data race in the language's
// sense) and relaxed (no ordering). A change is a load and a separate store, never one
// read-modify-write, so the other worker can slip in between them.
static std::atomic<Count> count;

template <Count step(Count), const char *format> static void looseStep() {
    count.store(step(count.load(std::memory_order_relaxed)), std::memory_order_relaxed);
    report<format>(count.load(std::memory_order_relaxed));
}

static void *incThread(void *) {
    for (;;)
        looseStep<stepUp, incReport>();
}

static void *decThread(void *) {
    for (;;)
        looseStep<stepDown, decReport>();
}

int main(int, char **) {
    runWorkers(incThread, decThread);
    return 0;
}
