// spawnlist: the process splits in two with fork. The child replaces its image with the
// listing command; the parent prints one line and ends at once, without waiting for it.
#include <errno.h>
#include <stdio.h>
#include <sys/types.h>
#include <unistd.h>

#include "diagnose.h"
#include "listing.h"

int main(int, char **) {
    // Nothing is printed before the fork: the child gets a copy of the stdio buffers, and
    // anything in them would be written twice.
    const pid_t pid = fork();
    if (pid < 0)
        fail(1, "cannot fork", errno);
    if (pid == 0) {
        const int status = execListing();
        fail(status, cannotRunListing, errno); // _exit: the child flushes nothing inherited
    }
    puts("Parent: ");
    flushOutput(1);
    return 0;
}
