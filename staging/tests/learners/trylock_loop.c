#include <pthread.h>
#include <stdio.h>

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
int count = 0;

void *incThread(void *arg) {
    (void)arg;
    for (int i = 0; i < 2; i++) {
        while (pthread_mutex_trylock(&lock) != 0)
            ;
        count++;
        printf("Inc: %d\n", count);
        pthread_mutex_unlock(&lock);
    }
    return NULL;
}

void *decThread(void *arg) {
    (void)arg;
    for (int i = 0; i < 2; i++) {
        while (pthread_mutex_trylock(&lock) != 0)
            ;
        count--;
        printf("Dec: %d\n", count);
        pthread_mutex_unlock(&lock);
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
