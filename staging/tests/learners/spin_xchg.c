#include <pthread.h>
#include <stdio.h>

static int lock = 0;
static int count = 0;

static void acquire(int *l) {
    while (__atomic_exchange_n(l, 1, __ATOMIC_ACQUIRE) == 1)
        ;
}

static void release(int *l) {
    __atomic_store_n(l, 0, __ATOMIC_RELEASE);
}

static void *incThread(void *arg) {
    (void)arg;
    for (int i = 0; i < 2; i++) {
        acquire(&lock);
        count++;
        printf("Inc: %d\n", count);
        release(&lock);
    }
    return NULL;
}

static void *decThread(void *arg) {
    (void)arg;
    for (int i = 0; i < 2; i++) {
        acquire(&lock);
        count--;
        printf("Dec: %d\n", count);
        release(&lock);
    }
    return NULL;
}

int main(void) {
    pthread_t a, b;
    pthread_create(&a, NULL, incThread, NULL);
    pthread_create(&b, NULL, decThread, NULL);
    pthread_join(a, NULL);
    pthread_join(b, NULL);
    return 0;
}
