#include <atomic>
#include <pthread.h>
#include <stdio.h>

std::atomic<int> count(0);

void *incThread(void *) {
    for (int i = 0; i < 1; i++) {
        count = count + 1;
        printf("Inc: %d\n", count.load());
    }
    return nullptr;
}

void *decThread(void *) {
    for (int i = 0; i < 1; i++) {
        count = count - 1;
        printf("Dec: %d\n", count.load());
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
    return 0;
}
