#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

int status = -1;

void *spawner(void *arg) {
    (void)arg;
    pid_t pid = fork();
    if (pid == 0)
        exit(7);
    waitpid(pid, &status, 0);
    return NULL;
}

int main(void) {
    pthread_t t;
    pthread_create(&t, NULL, spawner, NULL);
    pthread_join(t, NULL);
    if (WIFEXITED(status))
        printf("child exited with %d\n", WEXITSTATUS(status));
    return !(WIFEXITED(status) && WEXITSTATUS(status) == 7);
}
