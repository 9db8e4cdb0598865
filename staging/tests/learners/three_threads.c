#include <pthread.h>
#include <stdio.h>

volatile int total = 0;

void *alice(void *arg) {
    (void)arg;
    total = total + 1;
    return NULL;
}

void *bob(void *arg) {
    (void)arg;
    total = total + 1;
    return NULL;
}

void *carol(void *arg) {
    (void)arg;
    total = total + 1;
    return NULL;
}

int main(void) {
    pthread_t a, b, c;
    pthread_create(&a, NULL, alice, NULL);
    pthread_create(&b, NULL, bob, NULL);
    pthread_create(&c, NULL, carol, NULL);
    pthread_join(a, NULL);
    pthread_join(b, NULL);
    pthread_join(c, NULL);
    printf("total = %d\n", total);
    return total != 3;
}
