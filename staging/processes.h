// spawnlist, or any program that forks a child which execs, held one step at a time. Its
// processes come from ptrace's own events: the fork, the exec, each exit. The parent's steps
// are its fork, its line (up to its exit) and its exit; the child's are its exec and its
// listing, up to its end.
#pragma once

#include <stddef.h>
#include <sys/types.h>

#include <string>

#include "tracee.h"

struct ProcessStep {
    enum What : unsigned char { forks, prints, exits, execs, execFails, lists, hasEnded };
    What what = hasEnded;
    int status = 0;
    std::string program; // what the child execs, as it named it
    std::string printed;
    std::string processes; // each live process and its parent, after the step
};

// When the parent's line, its exit and the child's listing came, by step number (0: not
// yet), and whether the child's exec failed.
struct Moments {
    size_t line = 0;
    size_t exit = 0;
    size_t listing = 0;
    bool failed = false;

    void note(const ProcessStep &step, size_t number);
    // Where a shell's prompt came against the listing, as a phrase.
    const char *promptAndListing() const;
};

class ProcessRun {
  public:
    // Starts the program at `path` with the argument vector `argv`, held before its first
    // instruction.
    void start(const char *path, char *const *argv, Output &output);
    ProcessStep step(char letter);
    // Whether the process of `letter` (P or C) exists and has not ended.
    bool canMove(char letter) const;

  private:
    int runUntil(pid_t pid, int event);
    std::string processes() const;

    Tracee tracee;
    Output *output = nullptr;
    pid_t parent = 0;
    pid_t child = 0;
    unsigned parentSteps = 0;
    unsigned childSteps = 0;
    bool parentEnded = false;
    bool childEnded = false;
};
