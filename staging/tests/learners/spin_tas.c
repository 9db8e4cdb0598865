#include <pthread.h>
#include <stdbool.h>
#include <stdio.h>

static bool locked;
static int count;

static void *incThread(void *arg) {
    (void)arg;
    for (int i = 0; i < 2; i++) {
        while (__atomic_test_and_set(&locked, __ATOMIC_ACQUIRE))
            ;
        count = count + 1;
        printf("Inc: %d\n", count);
        __atomic_clear(&locked, __ATOMIC_RELEASE);
    }
    return NULL;
}

static void *decThread(void *arg) {
    (void)arg;
    for (int i = 0; i < 2; i++) {
        while (__atomic_test_and_set(&locked, __ATOMIC_ACQUIRE))
            ;
        count = count - 1;
        printf("Dec: %d\n", count);
        __atomic_clear(&locked, __ATOMIC_RELEASE);
    }
    return NULL;
}

int main(void) {
    pthread_t t1, t2;
    pthread_create(&t1, NULL, incThread, NULL);
    pthread_create(&t2, NULL, decThread, NULL);
    pthread_join(t1, NULL);
    pthread_join(t2, NULL);
    return 0;
}
