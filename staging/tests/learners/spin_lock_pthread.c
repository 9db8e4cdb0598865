#include <pthread.h>
#include <stdio.h>

pthread_spinlock_t spin;
int count = 0;

void *incThread(void *arg) {
    (void)arg;
    for (int i = 0; i < 2; i++) {
        pthread_spin_lock(&spin);
        count++;
        printf("Inc: %d\n", count);
        pthread_spin_unlock(&spin);
    }
    return NULL;
}

void *decThread(void *arg) {
    (void)arg;
    for (int i = 0; i < 2; i++) {
        pthread_spin_lock(&spin);
        count--;
        printf("Dec: %d\n", count);
        pthread_spin_unlock(&spin);
    }
    return NULL;
}

int main(void) {
    pthread_t t1, t2;
    pthread_spin_init(&spin, PTHREAD_PROCESS_PRIVATE);
    pthread_create(&t1, NULL, incThread, NULL);
    pthread_create(&t2, NULL, decThread, NULL);
    pthread_join(t1, NULL);
    pthread_join(t2, NULL);
    pthread_spin_destroy(&spin);
    return 0;
}
