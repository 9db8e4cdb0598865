// peterson.cpp: Inc and Dec take turns by Peterson's lock: two flags and a turn, no fence.
#include <pthread.h>
#include <stdio.h>

static volatile int flag[2];
static volatile int turn;
static volatile int count;

static void lock(int self) {
    flag[self] = 1;  // I want in
    turn = 1 - self; // but you go first
    while (flag[1 - self] == 1 && turn == 1 - self)
        ; // wait while you want in and it is your turn
}

static void unlock(int self) {
    flag[self] = 0;
}

static void *incThread(void *) {
    for (int pass = 0; pass < 2; pass++) {
        lock(0);
        count = count + 1;
        printf("Inc: %d\n", count);
        unlock(0);
    }
    return nullptr;
}

static void *decThread(void *) {
    for (int pass = 0; pass < 2; pass++) {
        lock(1);
        count = count - 1;
        printf("Dec: %d\n", count);
        unlock(1);
    }
    return nullptr;
}

int main() {
    pthread_t inc, dec;
    pthread_create(&inc, nullptr, incThread, nullptr);
    pthread_create(&dec, nullptr, decThread, nullptr);
    pthread_join(inc, nullptr);
    pthread_join(dec, nullptr);
    return 0;
}
