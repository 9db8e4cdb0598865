#include <pthread.h>
#include <stdio.h>

#define PASSES 1

volatile int count = 0;

void *incThread(void *arg) {
    (void)arg;
    for (int i = 0; i < PASSES; i++) {
        count = count + 1;
        printf("Inc: %d\n", count);
    }
    return NULL;
}

void *decThread(void *arg) {
    (void)arg;
    for (int i = 0; i < PASSES; i++) {
        count = count - 1;
        printf("Dec: %d\n", count);
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
