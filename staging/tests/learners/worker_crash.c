#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

struct config {
    int size;
};

struct config *settings = NULL;

void *reader(void *arg) {
    (void)arg;
    printf("size is %d\n", settings->size);
    return NULL;
}

int main(void) {
    pthread_t t;
    pthread_create(&t, NULL, reader, NULL);
    settings = malloc(sizeof(struct config));
    settings->size = 10;
    pthread_join(t, NULL);
    free(settings);
    return 0;
}
