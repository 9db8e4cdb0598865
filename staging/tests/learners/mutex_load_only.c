#include <pthread.h>
#include <stdio.h>

static pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
static int count;

static void *incThread(void *arg) {
    (void)arg;
    for (int i = 0; i < 2; i++) {
        pthread_mutex_lock(&m);
        int value = count;
        pthread_mutex_unlock(&m);
        count = value + 1;
        printf("Inc: %d\n", count);
    }
    return NULL;
}

static void *decThread(void *arg) {
    (void)arg;
    for (int i = 0; i < 2; i++) {
        pthread_mutex_lock(&m);
        int value = count;
        pthread_mutex_unlock(&m);
        count = value - 1;
        printf("Dec: %d\n", count);
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
