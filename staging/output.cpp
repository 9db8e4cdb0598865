// The held program's standard output: a pseudo-terminal of interleave's own, read as the
// program writes to it.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include "watch.h"

namespace {

// What one step may print: the program is held, so it never comes near this.
constexpr size_t stepOutputLimit = size_t{1} << 20;

} // namespace

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
        pollfd ready[] = {{master, POLLIN, 0}, {signalsToWatch(), POLLIN, 0}};
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
