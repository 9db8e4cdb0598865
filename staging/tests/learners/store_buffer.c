#include <pthread.h>
#include <stdio.h>

volatile int x = 0, y = 0;
int r1, r2;

void *first(void *arg) {
    (void)arg;
    x = 1;
    r1 = y;
    return NULL;
}

void *second(void *arg) {
    (void)arg;
    y = 1;
    r2 = x;
    return NULL;
}

int main(void) {
    pthread_t a, b;
    pthread_create(&a, NULL, first, NULL);
    pthread_create(&b, NULL, second, NULL);
    pthread_join(a, NULL);
    pthread_join(b, NULL);
    printf("r1=%d r2=%d\n", r1, r2);
    return r1 == 0 && r2 == 0;
}
