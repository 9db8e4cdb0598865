#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>

sem_t sem;
int count;

void *incThread(void *arg) {
    (void)arg;
    sem_wait(&sem);
    count = count + 1;
    printf("Inc: %d\n", count);
    sem_post(&sem);
    return NULL;
}

void *decThread(void *arg) {
    (void)arg;
    sem_wait(&sem);
    count = count - 1;
    printf("Dec: %d\n", count);
    sem_post(&sem);
    return NULL;
}

int main(void) {
    pthread_t t1, t2;
    sem_init(&sem, 0, 2);
    pthread_create(&t1, NULL, incThread, NULL);
    pthread_create(&t2, NULL, decThread, NULL);
    pthread_join(t1, NULL);
    pthread_join(t2, NULL);
    sem_destroy(&sem);
    return 0;
}
