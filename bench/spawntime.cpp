// spawntime: the mean start-to-exit time of a command over many runs, in microseconds.
// Usage: spawntime RUNS null|drain COMMAND [ARGUMENT...]
// With null, standard output is /dev/null. With drain, it is a pipe that is read to its
// end after each run, untimed, so that a child the command leaves behind has finished
// before the next run starts.
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "diagnose.h"

static double now() {
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    return static_cast<double>(time.tv_sec) * 1e6 + static_cast<double>(time.tv_nsec) / 1e3;
}

int main(int argc, char **argv) {
    if (argc < 4) {
        fputs("usage: spawntime RUNS null|drain COMMAND [ARGUMENT...]\n", stderr);
        return 2;
    }
    const long runs = strtol(argv[1], nullptr, 10);
    const bool drain = strcmp(argv[2], "drain") == 0;
    char **command = argv + 3;
    double total = 0;
    for (long run = 0; run < runs; ++run) {
        int pipeEnds[2] = {-1, -1};
        if (drain && pipe(pipeEnds) != 0)
            fail(2, "cannot make a pipe", errno);
        const int output = drain ? pipeEnds[1] : open("/dev/null", O_WRONLY);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
        if (drain)
            posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
        pid_t pid = 0;
        const double start = now();
        const int err = posix_spawn(&pid, command[0], &actions, nullptr, command, environ);
        if (err != 0)
            fail(2, command[0], err);
        int status = 0;
        waitpid(pid, &status, 0);
        total += now() - start;
        posix_spawn_file_actions_destroy(&actions);
        close(output);
        if (drain) {
            char sink[4096];
            while (read(pipeEnds[0], sink, sizeof sink) > 0) {
            }
            close(pipeEnds[0]);
        }
    }
    printf("%.2f\n", total / static_cast<double>(runs));
    flushOutput(2);
    return 0;
}
