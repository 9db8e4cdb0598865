#include <pthread.h>
#include <stdio.h>

volatile int flag[2];
volatile int turn;
volatile int count;

void lock(int self) {
    flag[self] = 1;
    turn = 1 - self;
    __sync_synchronize();
    while (flag[1 - self] == 1 && turn == 1 - self)
        ;
}

void unlock(int self) {
    flag[self] = 0;
}

void *incThread(void *arg) {
    (void)arg;
    for (int i = 0; i < 2; i++) {
        lock(0);
        count = count + 1;
        printf("Inc: %d\n", count);
        unlock(0);
    }
    return NULL;
}

void *decThread(void *arg) {
    (void)arg;
    for (int i = 0; i < 2; i++) {
        lock(1);
        count = count - 1;
        printf("Dec: %d\n", count);
        unlock(1);
    }
    return NULL;
}

int main(void) {
    pthread_t t0, t1;
    pthread_create(&t0, NULL, incThread, NULL);
    pthread_create(&t1, NULL, decThread, NULL);
    pthread_join(t0, NULL);
    pthread_join(t1, NULL);
    return 0;
}
