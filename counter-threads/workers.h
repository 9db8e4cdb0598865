// The plumbing of the two counter programs: checking a report line, and starting and
// joining the two workers.
#pragma once

#include <errno.h>
#include <pthread.h>

#include "diagnose.h"
#include "tally.h"

// Checks the result of the printf that wrote one report line. A failed print means the
// output is gone for good (closed, full, or a reader that left while SIGPIPE is ignored),
// so the process ends instead of looping on failures for ever.
inline void checkReport(int printed) {
    if (printed < 0)
        fail(1, "write error", errno);
}

// Starts a worker with default attributes and a null argument; a worker that cannot be
// started ends the process, so no handle that was never created is joined.
inline void startWorker(pthread_t *handle, void *(*routine)(void *)) {
    const int err = pthread_create(handle, nullptr, routine, nullptr);
    if (err != 0)
        fail(1, "cannot start thread", err);
}

// Starts the incrementing worker, then the decrementing one, and waits for them in the same
// order. The workers loop for ever, so this returns only if both of them end.
inline void runWorkers(void *(*incThread)(void *), void *(*decThread)(void *)) {
    pthread_t incHandle;
    pthread_t decHandle;
    startWorker(&incHandle, incThread);
    startWorker(&decHandle, decThread);
    pthread_join(incHandle, nullptr);
    pthread_join(decHandle, nullptr);
}
