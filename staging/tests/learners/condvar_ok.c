#include <pthread.h>
#include <stdio.h>

#define ITEMS 2

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
int buffer;
int full = 0;
int sum = 0;

void *producer(void *arg) {
    (void)arg;
    for (int i = 1; i <= ITEMS; i++) {
        pthread_mutex_lock(&lock);
        while (full)
            pthread_cond_wait(&changed, &lock);
        buffer = i;
        full = 1;
        pthread_cond_signal(&changed);
        pthread_mutex_unlock(&lock);
    }
    return NULL;
}

void *consumer(void *arg) {
    (void)arg;
    for (int i = 1; i <= ITEMS; i++) {
        pthread_mutex_lock(&lock);
        while (!full)
            pthread_cond_wait(&changed, &lock);
        sum += buffer;
        full = 0;
        pthread_cond_signal(&changed);
        pthread_mutex_unlock(&lock);
    }
    return NULL;
}

int main(void) {
    pthread_t p, c;
    pthread_create(&p, NULL, producer, NULL);
    pthread_create(&c, NULL, consumer, NULL);
    pthread_join(p, NULL);
    pthread_join(c, NULL);
    printf("sum = %d\n", sum);
    return sum != ITEMS * (ITEMS + 1) / 2;
}
