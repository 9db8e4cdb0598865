#include <pthread.h>
#include <stdio.h>

static int count;

static void add(int *where, int amount) {
    __asm__ volatile("xaddl %0, %1" : "+r"(amount), "+m"(*where) : : "memory");
}

static void *incThread(void *arg) {
    (void)arg;
    add(&count, 1);
    printf("Inc: %d\n", count);
    return NULL;
}

static void *decThread(void *arg) {
    (void)arg;
    add(&count, -1);
    printf("Dec: %d\n", count);
    return NULL;
}

int main(void) {
    pthread_t inc, dec;
    pthread_create(&inc, NULL, incThread, NULL);
    pthread_create(&dec, NULL, decThread, NULL);
    pthread_join(inc, NULL);
    pthread_join(dec, NULL);
    return 0;
}
