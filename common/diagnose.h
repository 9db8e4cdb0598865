// Diagnostics shared by every program: one line "program: what failed: reason" on
// standard error, and an exit status that says the run went wrong.
#pragma once

#include <atomic>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

// Standard error is unbuffered, so the line is out before this returns.
inline void warn(const char *what, int err) {
    fprintf(stderr, "%s: %s: %s\n", program_invocation_short_name, what, strerror(err));
}

// Reports a failure and ends the process at once with `status`. _exit, not exit: nothing
// buffered is flushed and nothing inherited runs, which is what a forked child and a
// process whose other threads are still printing both need. When two threads fail
// together, only the first reports; the second waits for it to end the process.
[[noreturn]] inline void fail(int status, const char *what, int err) {
    static std::atomic_flag failing;
    if (!failing.test_and_set()) {
        warn(what, err);
        _exit(status);
    }
    for (;;)
        pause();
}

// Writes out whatever standard output still buffers; a write that failed now or earlier
// (on a terminal each line goes out as it is printed) ends the process with `status`.
inline void flushOutput(int status) {
    if (fflush(stdout) != 0 || ferror(stdout))
        fail(status, "write error", errno);
}
