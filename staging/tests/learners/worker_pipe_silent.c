#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int fds[2];

void *writer(void *arg) {
    (void)arg;
    const char *message = "hello through the pipe";
    write(fds[0], message, strlen(message) + 1);
    return NULL;
}

void *reader(void *arg) {
    (void)arg;
    char buffer[64];
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n > 0)
        printf("read: %s\n", buffer);
    return NULL;
}

int main(void) {
    pthread_t w, r;
    if (pipe(fds) == -1) {
        perror("pipe");
        return 1;
    }
    pthread_create(&r, NULL, reader, NULL);
    pthread_create(&w, NULL, writer, NULL);
    pthread_join(r, NULL);
    pthread_join(w, NULL);
    return 0;
}
