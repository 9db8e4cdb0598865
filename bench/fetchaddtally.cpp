// fetchaddtally: loosetally with each change made by one atomic read-modify-write. The
// other worker can no longer come between a change's load and its store, so no change is
// lost; but the report still loads the counter afresh, after the change, so the other
// worker's change can come between them, and late reports stay. The benchmark sets its
// schedules beside loosetally's and guardtally's.
#include <atomic>
#include <stdio.h>

#include "workers.h"

static std::atomic<Count> count;

// fetch_add and fetch_sub wrap in two's complement, as stepUp and stepDown do. Their result
// is not used, so the change is one locked instruction: a single step under interleave.
static void *incThread(void *) {
    for (;;) {
        count.fetch_add(1, std::memory_order_relaxed);
        checkReport(printf(incReport, count.load(std::memory_order_relaxed)));
    }
}

static void *decThread(void *) {
    for (;;) {
        count.fetch_sub(1, std::memory_order_relaxed);
        checkReport(printf(decReport, count.load(std::memory_order_relaxed)));
    }
}

int main(int, char **) {
    runWorkers(incThread, decThread);
    return 0;
}
