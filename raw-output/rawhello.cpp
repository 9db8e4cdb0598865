// rawhello: two words go straight to file descriptor 1, one write(2) each, with no stdio
// buffer in between: what the kernel is handed is exactly what a system-call trace shows.
#include <errno.h>
#include <stddef.h>
#include <string.h>
#include <unistd.h>

#include "diagnose.h"

// Writes the word's characters, without the terminating null byte, to descriptor 1. A
// write that was cut short or interrupted by a signal is followed by another for the rest,
// so in every ordinary case this is a single write(2) call.
static void writeWord(const char *word) {
    const char *rest = word;
    size_t left = strlen(word);
    while (left > 0) {
        const ssize_t written = write(STDOUT_FILENO, rest, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) // nothing written for a non-empty request means no room
            fail(1, "write error", written < 0 ? errno : ENOSPC);
        rest += written;
        left -= static_cast<size_t>(written);
    }
}

int main(int, char **) {
    writeWord("Hello");
    writeWord("World");
    return 0;
}
