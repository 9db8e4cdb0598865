// forkdoublesline: the wrong way to do what spawnlist does. A line is printed before the
// fork. On a terminal the stream is line-buffered, so the line is out already. Into a pipe
// or a file it is still in the stdio buffer, and fork copies that buffer into the child.
// Both processes then end normally and each flushes its copy: the line comes out twice.
// The cure is spawnlist's: print nothing before the fork (or flush first), and end a child
// that must not flush what it inherited with _exit.
#include <errno.h>
#include <stdio.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "diagnose.h"

int main(int, char **) {
    printf("Before fork\n");
    const pid_t pid = fork(); // the mistake: the line may still be in the buffer
    if (pid < 0)
        fail(1, "cannot fork", errno);
    if (pid > 0)
        waitpid(pid, nullptr, 0); // both copies are out before the shell's next prompt
    flushOutput(1);               // each process writes its own copy of the buffer
    return 0;
}
