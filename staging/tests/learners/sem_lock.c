#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>

#define LOOPS 2

sem_t mutex;
int count = 0;

void *incThread(void *arg) {
    (void)arg;
    for (int i = 0; i < LOOPS; i++) {
        sem_wait(&mutex);
        count++;
        sem_post(&mutex);
    }
    return NULL;
}

void *decThread(void *arg) {
    (void)arg;
    for (int i = 0; i < LOOPS; i++) {
        sem_wait(&mutex);
        count--;
        sem_post(&mutex);
    }
    return NULL;
}

int main(void) {
    pthread_t t1, t2;
    sem_init(&mutex, 0, 1);
    pthread_create(&t1, NULL, incThread, NULL);
    pthread_create(&t2, NULL, decThread, NULL);
    pthread_join(t1, NULL);
    pthread_join(t2, NULL);
    printf("count = %d\n", count);
    sem_destroy(&mutex);
    return count != 0;
}
