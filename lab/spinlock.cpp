// spinlock.cpp: two workers that change a counter twice each under a spin lock of their own.
#include <assert.h>
#include <atomic>
#include <pthread.h>
#include <stdio.h>

static std::atomic<bool> locked;
static int count;

// Waits until the lock is free, then takes it: first a load that sees it free, then a
// store that takes it.
static void lock() {
    while (locked.load())
        ;
    locked.store(true);
}

static void unlock() {
    locked.store(false);
}

static void *incThread(void *) {
    for (int pass = 0; pass < 2; ++pass) {
        lock();
        count = count + 1;
        printf("Inc: %d\n", count);
        unlock();
    }
    return nullptr;
}

static void *decThread(void *) {
    for (int pass = 0; pass < 2; ++pass) {
        lock();
        count = count - 1;
        printf("Dec: %d\n", count);
        unlock();
    }
    return nullptr;
}

int main() {
    pthread_t inc, dec;
    pthread_create(&inc, nullptr, incThread, nullptr);
    pthread_create(&dec, nullptr, decThread, nullptr);
    pthread_join(inc, nullptr);
    pthread_join(dec, nullptr);
    assert(count == 0);
    return 0;
}
