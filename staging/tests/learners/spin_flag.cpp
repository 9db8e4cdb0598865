#include <atomic>
#include <cstdio>
#include <pthread.h>

std::atomic_flag busy = ATOMIC_FLAG_INIT;
int count = 0;

void *incThread(void *) {
    for (int i = 0; i < 2; i++) {
        while (busy.test_and_set(std::memory_order_acquire)) {
        }
        count++;
        std::printf("Inc: %d\n", count);
        busy.clear(std::memory_order_release);
    }
    return nullptr;
}

void *decThread(void *) {
    for (int i = 0; i < 2; i++) {
        while (busy.test_and_set(std::memory_order_acquire)) {
        }
        count--;
        std::printf("Dec: %d\n", count);
        busy.clear(std::memory_order_release);
    }
    return nullptr;
}

int main() {
    pthread_t inc;
    pthread_t dec;
    pthread_create(&inc, nullptr, incThread, nullptr);
    pthread_create(&dec, nullptr, decThread, nullptr);
    pthread_join(inc, nullptr);
    pthread_join(dec, nullptr);
}
