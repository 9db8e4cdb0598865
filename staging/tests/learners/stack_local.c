#include <pthread.h>
#include <stdio.h>

/* main hands a worker the address of its own local, and reads it before the join: whether it
   sees the worker's store depends on the schedule. */
void *worker(void *arg) {
    *(volatile int *)arg = 1;
    return NULL;
}

int main(void) {
    volatile int done = 0;
    pthread_t t;
    pthread_create(&t, NULL, worker, (void *)&done);
    int seen = done;
    pthread_join(t, NULL);
    printf("seen %d\n", seen);
    return seen;
}
