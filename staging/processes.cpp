// Taking spawnlist's parent and child one step at a time.
#include "processes.h"

#include <signal.h>
#include <stdio.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include "watch.h"

namespace {

// A process's parent and state, from /proc; false once it has gone.
bool parentOf(pid_t pid, pid_t &parent, char &state) {
    char name[64];
    snprintf(name, sizeof name, "/proc/%d/stat", pid);
    return processState(name, state, parent);
}

// The name that a process gave its program: the first word of its command line.
std::string commandOf(pid_t pid) {
    char name[64];
    snprintf(name, sizeof name, "/proc/%d/cmdline", pid);
    FILE *line = fopen(name, "re");
    char first[4096] = {};
    if (line != nullptr) {
        if (fread(first, 1, sizeof first - 1, line) == 0)
            first[0] = '\0';
        fclose(line);
    }
    return first;
}

} // namespace

void ProcessRun::start(const char *path, char *const *argv, Output &programOutput) {
    output = &programOutput;
    tracee.start(path, argv, programOutput);
    parent = tracee.pid();
}

bool ProcessRun::canMove(char letter) const {
    return letter == 'P' ? !parentEnded && parentSteps < 3
                         : child != 0 && !childEnded && childSteps < 2;
}

// Runs `pid` until its PTRACE_EVENT `event`, or its end; returns the last wait status. The
// program's own signals are passed on.
int ProcessRun::runUntil(pid_t pid, int event) {
    for (int signal = 0;;) {
        const int status = tracee.run(pid, PTRACE_CONT, signal);
        if (WIFEXITED(status) || WIFSIGNALED(status) || isEvent(status, event) ||
            isEvent(status, PTRACE_EVENT_EXIT))
            return status;
        signal = status >> 16 == 0 && WSTOPSIG(status) != SIGTRAP ? WSTOPSIG(status) : 0;
    }
}

ProcessStep ProcessRun::step(char letter) {
    ProcessStep step;
    const bool isParent = letter == 'P';
    const pid_t pid = isParent ? parent : child;
    const unsigned taken = isParent ? parentSteps++ : childSteps++;
    bool &ended = isParent ? parentEnded : childEnded;
    if (ended) {
        // Nothing moves: a child whose exec failed has ended already.
    } else if (isParent && taken == 0) {
        if (!isEvent(runUntil(pid, PTRACE_EVENT_FORK), PTRACE_EVENT_FORK))
            giveUp("the program ended without forking");
        unsigned long born = 0;
        ptrace(PTRACE_GETEVENTMSG, pid, nullptr, &born);
        child = static_cast<pid_t>(born);
        tracee.waitFor(child); // its first stop, at its birth
        step.what = ProcessStep::forks;
    } else if (isParent && taken == 1) {
        // Its line, and whatever else it does up to the moment it exits.
        ended = !isEvent(runUntil(pid, PTRACE_EVENT_EXIT), PTRACE_EVENT_EXIT);
        step.what = ProcessStep::prints;
    } else if (isParent) {
        step.status = WEXITSTATUS(tracee.run(pid, PTRACE_CONT));
        ended = true;
        step.what = ProcessStep::exits;
        // A child that ended first waited for its parent, a zombie; it is now this
        // process's to collect, as the subreaper's.
        if (childEnded)
            waitpid(child, nullptr, __WALL);
    } else if (taken == 0) {
        step.what = ProcessStep::execs;
        if (isEvent(runUntil(pid, PTRACE_EVENT_EXEC), PTRACE_EVENT_EXEC)) {
            step.program = commandOf(pid);
        } else {
            step.what = ProcessStep::execFails;
            step.status = WEXITSTATUS(tracee.run(pid, PTRACE_CONT));
            ended = true;
        }
    } else {
        runUntil(pid, PTRACE_EVENT_EXIT);
        step.status = WEXITSTATUS(tracee.run(pid, PTRACE_CONT));
        ended = true;
        step.what = ProcessStep::lists;
    }
    step.printed = output->take();
    step.processes = processes();
    return step;
}

// Each live process, by its role, under its parent; interleave, which started the parent,
// is the subreaper that takes an orphan.
std::string ProcessRun::processes() const {
    std::string table;
    for (const pid_t pid : {parent, child}) {
        pid_t above;
        char state;
        if (pid == 0 || !parentOf(pid, above, state))
            continue;
        std::string role = pid == parent ? "parent" : "child";
        if (state == 'Z')
            role += " (zombie)";
        char other[32];
        snprintf(other, sizeof other, "pid %d", above);
        const char *name = above == parent     ? "parent"
                           : above == getpid() ? "interleave"
                           : above == 1        ? "init (1)"
                                               : other;
        table += (table.empty() ? "" : ", ") + role + " under " + name;
    }
    return table.empty() ? "none" : table;
}

void Moments::note(const ProcessStep &step, size_t number) {
    line = step.what == ProcessStep::prints ? number : line;
    exit = step.what == ProcessStep::exits ? number : exit;
    listing = step.what == ProcessStep::lists ? number : listing;
    failed |= step.what == ProcessStep::execFails;
}

const char *Moments::promptAndListing() const {
    if (failed)
        return "no listing, the exec failed";
    if (exit == 0)
        return "the parent has not ended yet";
    if (listing == 0)
        return "the child has not listed yet";
    return exit < listing ? "the prompt first, then the listing"
                          : "the listing first, then the prompt";
}
