#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

int items[4] = {3, 1, -2, 5};
int sum = 0;

void *adder(void *arg) {
    (void)arg;
    for (int i = 0; i < 4; i++) {
        if (items[i] < 0) {
            fprintf(stderr, "adder: negative item %d\n", items[i]);
            exit(3);
        }
        sum += items[i];
    }
    return NULL;
}

int main(void) {
    pthread_t t;
    pthread_create(&t, NULL, adder, NULL);
    pthread_join(t, NULL);
    printf("sum = %d\n", sum);
    return 0;
}
