// guardtally: two threads raise and lower one counter. A binary semaphore makes each change
// and its report line one critical section, so the output is a single consistent trace.
#include <errno.h>
#include <semaphore.h>
#include <stdio.h>

#include "diagnose.h"
#include "workers.h"

static Count count;    // touched only while semCount is held
static sem_t semCount; // the lock around one change of count and its report

// Takes the semaphore. A wait that a signal interrupts is retried, so no worker ever enters
// the critical section without holding the semaphore.
static void waitForTurn() {
    while (sem_wait(&semCount) != 0)
        if (errno != EINTR)
            fail(1, "cannot wait on semaphore", errno);
}

// Each pass is one critical section: wait, change, report the value just stored, post.
static void *incThread(void *) {
    for (;;) {
        waitForTurn();
        count = stepUp(count);
        checkReport(printf(incReport, count));
        sem_post(&semCount);
    }
}

static void *decThread(void *) {
    for (;;) {
        waitForTurn();
        count = stepDown(count);
        checkReport(printf(decReport, count));
        sem_post(&semCount);
    }
}

int main(int, char **) {
    if (sem_init(&semCount, 0, 1) != 0)
        fail(1, "cannot initialise semaphore", errno);
    runWorkers(incThread, decThread);
    sem_destroy(&semCount);
    return 0;
}
