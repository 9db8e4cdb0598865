#include <pthread.h>
#include <stdio.h>

int count;
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

void *incThread(void *arg) {
    (void)arg;
    for (int i = 0; i < 2; i++) {
        pthread_mutex_lock(&lock);
        count = count + 1;
        printf("Inc: %d\n", count);
        pthread_mutex_unlock(&lock);
    }
    return NULL;
}

void *decThread(void *arg) {
    (void)arg;
    for (int i = 0; i < 2; i++) {
        pthread_mutex_lock(&lock);
        count = count - 1;
        printf("Dec: %d\n", count);
        pthread_mutex_unlock(&lock);
    }
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
