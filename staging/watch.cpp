// Watching the held program's output and interleave's own signals in one poll.
#include "watch.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "diagnose.h"
#include "names.h"

namespace {

int signals = -1;
// Set once interleave has begun to end: a signal then ends it at once.
bool ending = false;

struct Held {
    pid_t id;
    bool group;
    pid_t owner; // the process that started it
};
std::vector<Held> held;

// How long a clean-up waits for what it killed: SIGKILL takes effect within milliseconds,
// and interleave must end within a second of a signal whatever it holds.
constexpr long cleanUpMilliseconds = 500;

sigset_t watched() {
    sigset_t set;
    sigemptyset(&set);
    for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD})
        sigaddset(&set, number);
    return set;
}

long long milliseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The entries of the folder `path` that are numbers: processes in /proc, threads in a task
// folder.
int isNumber(const dirent *entry) {
    const char *name = entry->d_name;
    return name[0] != '\0' && strspn(name, "0123456789") == strlen(name);
}

std::vector<pid_t> numbered(const std::string &path) {
    std::vector<pid_t> numbers;
    dirent **entries = nullptr;
    const int count = scandir(path.c_str(), &entries, isNumber, alphasort);
    for (int i = 0; i < count; ++i) {
        numbers.push_back(static_cast<pid_t>(strtol(entries[i]->d_name, nullptr, 10)));
        free(entries[i]);
    }
    free(entries);
    return numbers;
}

// Calls `visit` with each thread in /proc, its state letter and its parent.
template <typename Visit> void eachThread(Visit visit) {
    for (const pid_t process : numbered("/proc")) {
        const std::string tasks = "/proc/" + std::to_string(process) + "/task/";
        for (const pid_t thread : numbered(tasks)) {
            char state;
            pid_t parent;
            if (processState((tasks + std::to_string(thread) + "/stat").c_str(), state, parent))
                visit(thread, state, parent);
        }
    }
}

// What a kill cannot end alone: a traced thread stopped at its exit, whose stop was taken
// before the kill, waits for its tracer to let it go; and an orphan that came to this
// process, the subreaper, after the kill. ptrace fails harmlessly on threads traced by
// another.
void letGoWhatWaits(bool children) {
    const pid_t self = getpid();
    eachThread([children, self](pid_t tid, char state, pid_t parent) {
        if (state == 't')
            ptrace(PTRACE_CONT, tid, nullptr, 0);
        if (children && parent == self)
            kill(tid, SIGKILL);
    });
}

// Collects what `target` (as waitpid takes it) names until none is left, the bound passes,
// or a signal asks interleave to end at once.
// Returns the wait status with which `target`, a process, ended, or -1.
int collect(pid_t target, bool children) {
    const long long deadline = milliseconds() + cleanUpMilliseconds;
    int ended = -1;
    for (;;) {
        int status;
        pid_t got;
        while ((got = waitpid(target, &status, __WALL | WNOHANG)) > 0) {
            if (WIFSTOPPED(status))
                ptrace(PTRACE_CONT, got, nullptr, 0);
            else if (got == target)
                ended = status;
        }
        const long long left = deadline - milliseconds();
        if (got < 0 || left <= 0)
            return ended;
        pollfd ready = {signals, POLLIN, 0};
        const int woken = poll(&ready, 1, static_cast<int>(std::min(left, 20LL)));
        signalfd_siginfo info;
        while (signals >= 0 && read(signals, &info, sizeof info) == sizeof info)
            if (info.ssi_signo != SIGCHLD && ending)
                _exit(128 + static_cast<int>(info.ssi_signo));
        if (woken == 0)
            letGoWhatWaits(children);
    }
}

void killHeld(const Held &process) {
    kill(process.group ? -process.id : process.id, SIGKILL);
}

[[noreturn]] void endWith(int status, const std::string &message) {
    endAllHeld();
    fflush(stdout); // what was shown so far, up to where it went wrong
    fprintf(stderr, "%s: %s\n", program_invocation_short_name, message.c_str());
    _exit(status);
}

} // namespace

void holdGroup(pid_t group) {
    held.push_back({group, true, getpid()});
}

void holdProcess(pid_t pid) {
    held.push_back({pid, false, getpid()});
}

int endHeld(pid_t groupOrPid) {
    const pid_t self = getpid();
    const auto found = std::find_if(held.begin(), held.end(), [&](const Held &process) {
        return process.id == groupOrPid && process.owner == self;
    });
    if (found == held.end())
        return -1;
    const Held process = *found;
    held.erase(found);
    killHeld(process);
    return collect(process.group ? -process.id : process.id, false);
}

void endAllHeld() {
    const pid_t self = getpid();
    for (const Held &process : held)
        if (process.owner == self)
            killHeld(process);
    held.clear();
    collect(-1, true);
}

bool processState(const char *path, char &state, pid_t &parent) {
    char line[1024] = {};
    FILE *stat = fopen(path, "re");
    const bool read = stat != nullptr && fgets(line, sizeof line, stat) != nullptr;
    if (stat != nullptr)
        fclose(stat);
    // The state follows the command's name, which is in parentheses and may hold anything.
    const char *name = strrchr(line, ')');
    if (!read || name == nullptr || name[1] == '\0' || name[2] == '\0')
        return false;
    state = name[2];
    parent = static_cast<pid_t>(strtol(name + 3, nullptr, 10));
    return true;
}

void takeSignals() {
    signalfd_siginfo info;
    while (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        if (info.ssi_signo != SIGCHLD)
            endBySignal(static_cast<int>(info.ssi_signo));
}

int signalsToWatch() {
    return signals;
}

void watchSignals() {
    const sigset_t set = watched();
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signals = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signals < 0)
        giveUp("cannot watch signals", errno);
}

void endBySignal(int number) {
    if (!ending) {
        ending = true;
        endAllHeld();
    }
    _exit(128 + number);
}

void giveUp(const std::string &message) {
    ending = true;
    endWith(troubleStatus, message);
}

void cannotHold(const std::string &program, const std::string &reason) {
    lostHold("cannot hold " + shellQuoted(program) + ": " + reason);
}

void lostHold(const std::string &message) {
    ending = true;
    endWith(troubleStatus, message);
}

void lostHold(const std::string &what, int err) {
    lostHold(what + ": " + strerror(err));
}

void giveUp(const std::string &what, int err) {
    giveUp(what + ": " + strerror(err));
}

pid_t waitForStop(pid_t tid, Output *output, int &status) {
    for (;;) {
        const pid_t got = waitpid(tid, &status, __WALL | WNOHANG);
        if (got > 0)
            return got;
        if (got < 0)
            giveUp("lost hold of the program", errno);
        pollfd ready[] = {{signals, POLLIN, 0}, {output ? output->master : -1, POLLIN, 0}};
        if (poll(ready, 2, -1) < 0 && errno != EINTR)
            giveUp("cannot wait for the program", errno);
        takeSignals();
        if (output != nullptr)
            output->drain();
    }
}

void waitForInput() {
    for (pollfd ready[] = {{STDIN_FILENO, POLLIN, 0}, {signals, POLLIN, 0}};
         (ready[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0;) {
        if (poll(ready, 2, -1) < 0 && errno != EINTR)
            giveUp("cannot wait for input", errno);
        takeSignals();
    }
}
