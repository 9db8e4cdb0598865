// Watching the held program's output and interleave's own signals in one poll.
#include "watch.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "diagnose.h"

namespace {

int signals = -1;
void (*cleanUpHeld)() = nullptr;
// What one step may print: the program is held, so it never comes near this.
constexpr size_t stepOutputLimit = size_t{1} << 20;

sigset_t watched() {
    sigset_t set;
    sigemptyset(&set);
    for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD})
        sigaddset(&set, number);
    return set;
}

} // namespace

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

void onEndingSignal(void (*cleanUp)()) {
    cleanUpHeld = cleanUp;
}

void endBySignal(int number) {
    if (cleanUpHeld != nullptr)
        cleanUpHeld();
    _exit(128 + number);
}

void giveUp(const std::string &message) {
    if (cleanUpHeld != nullptr)
        cleanUpHeld();
    fflush(stdout); // what was shown so far, up to where it went wrong
    fprintf(stderr, "%s: %s\n", program_invocation_short_name, message.c_str());
    _exit(troubleStatus);
}

void giveUp(const std::string &what, int err) {
    giveUp(what + ": " + strerror(err));
}

Output::~Output() {
    if (master >= 0)
        close(master);
    if (slave >= 0)
        close(slave);
}

void Output::open() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const char *name =
        master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
    slave = name == nullptr ? -1 : ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios modes;
    if (slave < 0 || tcgetattr(slave, &modes) != 0)
        giveUp("cannot open a pseudo-terminal for the program's output", errno);
    modes.c_oflag &= ~static_cast<tcflag_t>(OPOST); // the bytes as written: no "\n" made "\r\n"
    if (tcsetattr(slave, TCSANOW, &modes) != 0 || fcntl(master, F_SETFL, O_NONBLOCK) != 0)
        giveUp("cannot set up the program's pseudo-terminal", errno);
}

void Output::drain() {
    char chunk[65536];
    ssize_t got;
    while ((got = read(master, chunk, sizeof chunk)) > 0) {
        printed.append(chunk, static_cast<size_t>(got));
        if (printed.size() > stepOutputLimit)
            giveUp("the program printed more than 1 MiB in one step");
    }
}

std::string Output::take() {
    if (write(slave, "", 1) != 1)
        giveUp("cannot mark the end of a step's output", errno);
    while (printed.empty() || printed.back() != '\0') {
        pollfd ready[] = {{master, POLLIN, 0}, {signals, POLLIN, 0}};
        if (poll(ready, 2, -1) < 0 && errno != EINTR)
            giveUp("cannot wait for the program's output", errno);
        takeSignals();
        drain();
    }
    printed.pop_back();
    std::string step;
    step.swap(printed);
    return step;
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
