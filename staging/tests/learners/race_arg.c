#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

static volatile int counter = 0;
static int loops;

static void *worker(void *arg) {
    (void)arg;
    for (int i = 0; i < loops; i++)
        counter++;
    return NULL;
}

int main(int argc, char *argv[]) {
    if (argc != 2) {
        fprintf(stderr, "usage: race <loops>\n");
        return 1;
    }
    loops = atoi(argv[1]);
    pthread_t p1, p2;
    printf("Initial value : %d\n", counter);
    pthread_create(&p1, NULL, worker, NULL);
    pthread_create(&p2, NULL, worker, NULL);
    pthread_join(p1, NULL);
    pthread_join(p2, NULL);
    printf("Final value   : %d\n", counter);
    if (counter != 2 * loops) {
        printf("lost %d updates\n", 2 * loops - counter);
        return 1;
    }
    return 0;
}
