#include <pthread.h>
#include <stdio.h>

pthread_mutex_t first = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t second = PTHREAD_MUTEX_INITIALIZER;

void *left(void *arg) {
    (void)arg;
    pthread_mutex_lock(&first);
    pthread_mutex_lock(&second);
    puts("left has both");
    pthread_mutex_unlock(&second);
    pthread_mutex_unlock(&first);
    return NULL;
}

void *right(void *arg) {
    (void)arg;
    pthread_mutex_lock(&second);
    pthread_mutex_lock(&first);
    puts("right has both");
    pthread_mutex_unlock(&first);
    pthread_mutex_unlock(&second);
    return NULL;
}

int main(void) {
    pthread_t a, b;
    pthread_create(&a, NULL, left, NULL);
    pthread_create(&b, NULL, right, NULL);
    pthread_join(a, NULL);
    pthread_join(b, NULL);
    puts("done");
    return 0;
}
