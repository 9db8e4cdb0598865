// opposite.cpp: guardtally with two semaphores, which the workers take in opposite orders.
#include <semaphore.h>
#include <stdio.h>

#include "workers.h"

static Count count;
static sem_t first;
static sem_t second;

static void *incThread(void *) {
    for (;;) {
        sem_wait(&first);
        sem_wait(&second);
        count = stepUp(count);
        checkReport(printf(incReport, count));
        sem_post(&second);
        sem_post(&first);
    }
}

static void *decThread(void *) {
    for (;;) {
        sem_wait(&second);
        sem_wait(&first);
        count = stepDown(count);
        checkReport(printf(decReport, count));
        sem_post(&first);
        sem_post(&second);
    }
}

int main(int, char **) {
    sem_init(&first, 0, 1);
    sem_init(&second, 0, 1);
    runWorkers(incThread, decThread);
    return 0;
}
