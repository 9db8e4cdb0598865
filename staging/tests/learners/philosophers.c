#include <pthread.h>
#include <stdio.h>

#define N 5

pthread_mutex_t forks[N];

void *philosopher(void *arg) {
    long i = (long)arg;
    int left = i;
    int right = (i + 1) % N;
    pthread_mutex_lock(&forks[left]);
    pthread_mutex_lock(&forks[right]);
    printf("philosopher %ld eats\n", i);
    pthread_mutex_unlock(&forks[right]);
    pthread_mutex_unlock(&forks[left]);
    return NULL;
}

int main(void) {
    pthread_t t[N];
    for (int i = 0; i < N; i++)
        pthread_mutex_init(&forks[i], NULL);
    for (long i = 0; i < N; i++)
        pthread_create(&t[i], NULL, philosopher, (void *)i);
    for (int i = 0; i < N; i++)
        pthread_join(t[i], NULL);
    printf("all have eaten\n");
    return 0;
}
