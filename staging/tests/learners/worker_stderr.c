#include <pthread.h>
#include <stdio.h>

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
int done = 0;

void *worker(void *arg) {
    int id = *(int *)arg;
    fprintf(stderr, "worker %d: starting\n", id);
    pthread_mutex_lock(&lock);
    done++;
    pthread_mutex_unlock(&lock);
    fprintf(stderr, "worker %d: finished\n", id);
    return NULL;
}

int main(void) {
    pthread_t t[2];
    int ids[2] = {1, 2};
    for (int i = 0; i < 2; i++)
        pthread_create(&t[i], NULL, worker, &ids[i]);
    for (int i = 0; i < 2; i++)
        pthread_join(t[i], NULL);
    fprintf(stderr, "%d workers done\n", done);
    return done != 2;
}
