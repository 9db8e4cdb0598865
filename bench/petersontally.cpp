// petersontally: loosetally with Peterson's lock around each change and its report: two
// flags and a turn, plain volatile accesses, as the textbook writes it. Under sequential
// consistency no schedule loses a change. On an x86 processor each worker's stores wait in
// its store buffer, so each can load the other's flag as still 0 and both go in. Built a
// second time as petersonfencetally, with a full fence after the stores, which holds on x86
// too. The benchmark judges both under each memory order.
#include <atomic>
#include <stdio.h>

#include "workers.h"

static volatile Count count;
static volatile int flag[2];
static volatile int turn;

static void lock(int self) {
    flag[self] = 1;
    turn = 1 - self;
#ifdef PETERSON_FENCE
    std::atomic_thread_fence(std::memory_order_seq_cst);
#endif
    while (flag[1 - self] == 1 && turn == 1 - self) {
    }
}

static void unlock(int self) {
    flag[self] = 0;
}

static void *incThread(void *) {
    for (;;) {
        lock(0);
        count = stepUp(count);
        checkReport(printf(incReport, count));
        unlock(0);
    }
}

static void *decThread(void *) {
    for (;;) {
        lock(1);
        count = stepDown(count);
        checkReport(printf(decReport, count));
        unlock(1);
    }
}

int main(int, char **) {
    runWorkers(incThread, decThread);
    return 0;
}
