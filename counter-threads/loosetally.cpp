// loosetally: the same two threads and report lines as guardtally, with no guard at all.
// Nothing orders one worker's accesses to the counter against the other's, so updates are
// lost and reports come out of order: the race is the point.
#include <atomic>
#include <stdio.h>

#include "workers.h"

// Each load and each store is indivisible (no torn values, no data race in the language's
// sense) and relaxed (no ordering). A change is a load and a separate store, never one
// read-modify-write, so the other worker can slip in between them. The compiler fence
// between them orders nothing across threads; it keeps the compiler from fusing the load
// and the store into one add to memory (clang does), which would leave no instruction
// boundary where a debugger can hold a worker between its load and its store.
static std::atomic<Count> count;

// Each pass makes three separate accesses: it loads the counter, stores the changed value,
// and loads the counter again for the report. Between any two of them the other worker may
// store: a store after the load is wiped out (a lost change), one after the store shows in
// this worker's report (a late report).
static void *incThread(void *) {
    for (;;) {
        const Count loaded = count.load(std::memory_order_relaxed);
        std::atomic_signal_fence(std::memory_order_seq_cst); // keep them two instructions
        count.store(stepUp(loaded), std::memory_order_relaxed);
        checkReport(printf(incReport, count.load(std::memory_order_relaxed)));
    }
}

static void *decThread(void *) {
    for (;;) {
        const Count loaded = count.load(std::memory_order_relaxed);
        std::atomic_signal_fence(std::memory_order_seq_cst); // keep them two instructions
        count.store(stepDown(loaded), std::memory_order_relaxed);
        checkReport(printf(decReport, count.load(std::memory_order_relaxed)));
    }
}

int main(int, char **) {
    runWorkers(incThread, decThread);
    return 0;
}
