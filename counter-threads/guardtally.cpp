// guardtally: two threads raise and lower one counter. A binary semaphore makes each change
// and its report line one critical section, so the output is a single consistent trace.
#include <errno.h>
#include <semaphore.h>

#include "diagnose.h"
#include "workers.h"

static Count count;    // touched only while semCount is held
static sem_t semCount; // the lock around one change of count and its report

// One pass of a worker: take the semaphore, change the counter, report the value just
// stored, give the semaphore back. A wait that a signal interrupts is retried, so no worker
// ever enters the critical section without holding the semaphore.
template <Count step(Count), const char *format> static void guardedStep() {
    while (sem_wait(&semCount) != 0)
        if (errno != EINTR)
            fail(1, "cannot wait on semaphore", errno);
    count = step(count);
    report<format>(count);
    sem_post(&semCount);
}

static void *incThread(void *) {
    for (;;)
        guardedStep<stepUp, incReport>();
}

static void *decThread(void *) {
    for (;;)
        guardedStep<stepDown, decReport>();
}

int main(int, char **) {
    if (sem_init(&semCount, 0, 1) != 0)
        fail(1, "cannot initialise semaphore", errno);
    runWorkers(incThread, decThread);
    sem_destroy(&semCount);
    return 0;
}
