// storeonly.cpp: loosetally with a mutex around each store, and only the store.
#include <atomic>
#include <pthread.h>
#include <stdio.h>

#include "workers.h"

static std::atomic<Count> count;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static void *incThread(void *) {
    for (;;) {
        const Count loaded = count.load(std::memory_order_relaxed);
        pthread_mutex_lock(&lock);
        count.store(stepUp(loaded), std::memory_order_relaxed);
        pthread_mutex_unlock(&lock);
        checkReport(printf(incReport, count.load(std::memory_order_relaxed)));
    }
}

static void *decThread(void *) {
    for (;;) {
        const Count loaded = count.load(std::memory_order_relaxed);
        pthread_mutex_lock(&lock);
        count.store(stepDown(loaded), std::memory_order_relaxed);
        pthread_mutex_unlock(&lock);
        checkReport(printf(decReport, count.load(std::memory_order_relaxed)));
    }
}

int main(int, char **) {
    runWorkers(incThread, decThread);
    return 0;
}
