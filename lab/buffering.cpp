// buffering.cpp: each thread stores 1 to its own variable, then loads the other's.
#include <pthread.h>
#include <stdio.h>

static volatile int x, y;
static int r1, r2;

static void *first(void *) {
    x = 1;
    r1 = y;
    return nullptr;
}

static void *second(void *) {
    y = 1;
    r2 = x;
    return nullptr;
}

int main() {
    pthread_t a, b;
    pthread_create(&a, nullptr, first, nullptr);
    pthread_create(&b, nullptr, second, nullptr);
    pthread_join(a, nullptr);
    pthread_join(b, nullptr);
    printf("r1=%d r2=%d\n", r1, r2);
    return 0;
}
