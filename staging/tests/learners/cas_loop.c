#include <pthread.h>
#include <stdio.h>

int count = 0;

void add(int amount) {
    int old;
    do {
        old = count;
    } while (!__sync_bool_compare_and_swap(&count, old, old + amount));
}

void *incThread(void *arg) {
    (void)arg;
    for (int i = 0; i < 2; i++) {
        add(1);
        printf("Inc: %d\n", count);
    }
    return NULL;
}

void *decThread(void *arg) {
    (void)arg;
    for (int i = 0; i < 2; i++) {
        add(-1);
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
