#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

volatile int ready = 0;
int seconds = 5;

void *timer(void *arg) {
    (void)arg;
    sleep(seconds);
    ready = 1;
    return NULL;
}

int main(int argc, char *argv[]) {
    if (argc > 1)
        seconds = atoi(argv[1]);
    pthread_t t;
    pthread_create(&t, NULL, timer, NULL);
    while (!ready)
        ;
    printf("ready after %d s\n", seconds);
    pthread_join(t, NULL);
    return 0;
}
