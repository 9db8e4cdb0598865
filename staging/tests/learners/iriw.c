#include <pthread.h>

/* Two writers, two readers that read the two places in opposite orders. The exit status
   tells what each reader saw: 100 + 8*a1 + 4*a2 + 2*b1 + b2. */
volatile int x, y;
int a1, a2, b1, b2;

void *writeX(void *arg) {
    (void)arg;
    x = 1;
    return NULL;
}

void *writeY(void *arg) {
    (void)arg;
    y = 1;
    return NULL;
}

void *readXY(void *arg) {
    (void)arg;
    a1 = x;
    a2 = y;
    return NULL;
}

void *readYX(void *arg) {
    (void)arg;
    b1 = y;
    b2 = x;
    return NULL;
}

int main(void) {
    pthread_t t[4];
    pthread_create(&t[0], NULL, writeX, NULL);
    pthread_create(&t[1], NULL, writeY, NULL);
    pthread_create(&t[2], NULL, readXY, NULL);
    pthread_create(&t[3], NULL, readYX, NULL);
    for (int i = 0; i < 4; i++)
        pthread_join(t[i], NULL);
    return 100 + 8 * a1 + 4 * a2 + 2 * b1 + b2;
}
