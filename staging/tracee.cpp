// Holding a program under ptrace: starting it, stopping and resuming its threads, reading
// its memory and patching its code.
#include "tracee.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "names.h"
#include "watch.h"

namespace {

// The run that a signal or a failure ends: killed, with everything it started.
Tracee *held = nullptr;

void killHeld() {
    if (held != nullptr)
        held->kill();
}

// Anything the held program writes to a file is bounded, should it ever run free.
constexpr rlim_t fileLimit = rlim_t{1} << 24;

// Why the kernel refused to let this process be traced, and what to change.
[[noreturn]] void refused(int err) {
    char scope = '0';
    const int fd = open("/proc/sys/kernel/yama/ptrace_scope", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        if (read(fd, &scope, 1) != 1)
            scope = '0';
        close(fd);
    }
    const std::string refusal =
        std::string("the kernel does not let programs be traced here: ptrace: ") + strerror(err);
    if (scope >= '2')
        giveUp(refusal + " (kernel.yama.ptrace_scope is " + scope +
               "; at 1 or 0 interleave works, and at 3 only a reboot lowers it)");
    giveUp(refusal + " (a seccomp filter or the container forbids it; allow ptrace there, as "
                     "a container's SYS_PTRACE capability does)");
}

// In the child, before its exec: its own process group, so that the terminal's signals go
// to interleave alone; no address randomisation, so that every run has the same addresses;
// the signals that interleave watches no longer blocked; then traced, and the program at
// `path` run with the argument vector `argv`.
[[noreturn]] void becomeTraced(const char *path, char *const *argv, int terminal, int errors,
                               int report) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    personality(ADDR_NO_RANDOMIZE);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDIN_FILENO);
    dup2(terminal, STDOUT_FILENO);
    dup2(errors >= 0 ? errors : null, STDERR_FILENO);
    // Every library routine bound at the start: a call from the program lands on the
    // routine itself, never on the dynamic linker's resolver first.
    setenv("LD_BIND_NOW", "1", 1);
    const rlimit files = {fileLimit, fileLimit};
    setrlimit(RLIMIT_FSIZE, &files);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // AddressSanitizer's leak check at exit would trace the program itself, which a traced
    // program cannot be.
    const char *asan = getenv("ASAN_OPTIONS");
    std::string options = std::string(asan != nullptr ? asan : "") + ":detect_leaks=0";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
    int err = 0;
    char stage = 't';
    if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0) {
        kill(getpid(), SIGSTOP); // the tracer sets its options while it stops here
        execv(path, argv);
        stage = 'x';
    }
    err = errno;
    char message[1 + sizeof err];
    message[0] = stage;
    memcpy(message + 1, &err, sizeof err);
    if (write(report, message, sizeof message) < 0)
        _exit(126);
    _exit(127);
}

} // namespace

void Tracee::start(const char *path, Output &programOutput) {
    std::string name = path;
    char *const alone[] = {name.data(), nullptr};
    close(start(path, alone, programOutput));
}

int Tracee::start(const char *path, char *const *argv, Output &programOutput) {
    int errors[2];
    if (pipe2(errors, O_CLOEXEC) != 0 || fcntl(errors[0], F_SETFL, O_NONBLOCK) != 0)
        giveUp("cannot make a pipe", errno);
    begin(path, argv, programOutput, errors[1]);
    close(errors[1]);
    return errors[0];
}

void Tracee::begin(const char *path, char *const *argv, Output &programOutput, int errors) {
    output = &programOutput;
    held = this;
    onEndingSignal(killHeld);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        giveUp("cannot make a pipe", errno);
    leader = fork();
    if (leader < 0)
        giveUp("cannot start a process", errno);
    if (leader == 0)
        becomeTraced(path, argv, programOutput.terminal(), errors, report[1]);
    close(report[1]);
    int status = waitFor(leader);
    if (WIFSTOPPED(status)) {
        constexpr long options = PTRACE_O_EXITKILL | PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACECLONE |
                                 PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK | PTRACE_O_TRACEEXEC |
                                 PTRACE_O_TRACEEXIT;
        if (ptrace(PTRACE_SETOPTIONS, leader, nullptr, options) != 0)
            refused(errno);
        status = run(leader, PTRACE_CONT);
    }
    char message[1 + sizeof(int)] = {};
    const bool said = ::read(report[0], message, sizeof message) == sizeof message;
    close(report[0]);
    int err;
    memcpy(&err, message + 1, sizeof err);
    if (said && message[0] == 't')
        refused(err);
    if (said)
        giveUp("cannot run " + shellQuoted(path), err);
    if (!isEvent(status, PTRACE_EVENT_EXEC))
        giveUp("the program did not start under ptrace (wait status " +
               hex(static_cast<unsigned>(status)) + ")");
    openMemory();
}

void Tracee::openMemory() {
    char name[64];
    snprintf(name, sizeof name, "/proc/%d/mem", leader);
    if (memory >= 0)
        close(memory);
    memory = open(name, O_RDWR | O_CLOEXEC);
    if (memory < 0)
        giveUp("cannot reach the program's memory", errno);
}

void Tracee::forget() {
    ::kill(-leader, SIGKILL); // what the program forked, in its group
    if (memory >= 0)
        close(memory);
    memory = -1;
    leader = -1;
    breakpoints.clear();
    if (held == this)
        held = nullptr;
}

void Tracee::removeBreakpointsIn(pid_t child) const {
    char name[64];
    snprintf(name, sizeof name, "/proc/%d/mem", child);
    const int fd = open(name, O_RDWR | O_CLOEXEC);
    for (const Breakpoint &point : breakpoints)
        if (fd >= 0)
            (void)!pwrite(fd, point.saved, breakpointLength, static_cast<off_t>(point.address));
    if (fd >= 0)
        close(fd);
}

void Tracee::kill() {
    if (leader <= 0)
        return;
    ::kill(-leader, SIGKILL);
    ::kill(leader, SIGKILL);
    // A thread that the kill finds stopped may still stop once more, at its exit: it is let
    // go each time, until every one has been collected.
    int status;
    for (pid_t stopped; (stopped = waitpid(-leader, &status, __WALL)) > 0 || errno == EINTR;)
        if (stopped > 0 && WIFSTOPPED(status))
            ptrace(PTRACE_CONT, stopped, nullptr, 0);
    if (memory >= 0)
        close(memory);
    memory = -1;
    leader = -1;
    breakpoints.clear();
    if (held == this)
        held = nullptr;
}

void resume(pid_t tid, int how, int signal) {
    if (ptrace(static_cast<__ptrace_request>(how), tid, nullptr, signal) != 0)
        giveUp("lost hold of the program: ptrace", errno);
}

int Tracee::waitFor(pid_t tid) {
    int status;
    waitForStop(tid, output, status);
    return status;
}

pid_t Tracee::waitForAny(int &status) {
    return waitForStop(-1, output, status);
}

uint64_t Tracee::entryPoint() const {
    char name[64];
    snprintf(name, sizeof name, "/proc/%d/auxv", leader);
    const int fd = open(name, O_RDONLY | O_CLOEXEC);
    uint64_t pair[2];
    uint64_t entry = 0;
    while (fd >= 0 && ::read(fd, pair, sizeof pair) == sizeof pair && pair[0] != AT_NULL)
        if (pair[0] == AT_ENTRY)
            entry = pair[1];
    if (fd >= 0)
        close(fd);
    if (entry == 0)
        giveUp("cannot find the program's entry point");
    return entry;
}

int Tracee::run(pid_t tid, int how, int signal) {
    resume(tid, how, signal);
    return waitFor(tid);
}

void singleStep(pid_t tid) {
    // One instruction can neither print nor block, so nothing needs watching meanwhile.
    resume(tid, PTRACE_SINGLESTEP);
    int status;
    if (waitpid(tid, &status, __WALL) != tid || !WIFSTOPPED(status) || WSTOPSIG(status) != SIGTRAP)
        giveUp("lost hold of the program: a single step did not stop (wait status " +
               hex(static_cast<unsigned>(status)) + ")");
}

Registers registersOf(pid_t tid) {
    Registers registers;
    iovec vector = {&registers, sizeof registers};
    if (ptrace(PTRACE_GETREGSET, tid, NT_PRSTATUS, &vector) != 0)
        giveUp("cannot read the program's registers", errno);
    return registers;
}

void setRegistersOf(pid_t tid, const Registers &registers) {
    iovec vector = {const_cast<Registers *>(&registers), sizeof registers};
    if (ptrace(PTRACE_SETREGSET, tid, NT_PRSTATUS, &vector) != 0)
        giveUp("cannot set the program's registers", errno);
}

bool Tracee::read(uint64_t address, void *into, size_t length) const {
    return pread(memory, into, length, static_cast<off_t>(address)) == static_cast<ssize_t>(length);
}

bool Tracee::write(uint64_t address, const void *from, size_t length) const {
    return pwrite(memory, from, length, static_cast<off_t>(address)) ==
           static_cast<ssize_t>(length);
}

uint64_t Tracee::readWord(uint64_t address) const {
    uint64_t word = 0;
    if (!read(address, &word, sizeof word))
        giveUp("cannot read the program's memory at " + hex(address));
    return word;
}

int32_t Tracee::readInt(uint64_t address) const {
    int32_t value = 0;
    if (!read(address, &value, sizeof value))
        giveUp("cannot read the program's memory at " + hex(address));
    return value;
}

bool Tracee::readCode(uint64_t address, uint8_t *into, size_t length) const {
    if (!read(address, into, length))
        return false;
    for (const Breakpoint &point : breakpoints)
        for (size_t i = 0; i < breakpointLength; ++i)
            if (point.address + i >= address && point.address + i < address + length)
                into[point.address + i - address] = point.saved[i];
    return true;
}

void Tracee::insertBreakpoint(uint64_t address) {
    if (isBreakpoint(address))
        return;
    Breakpoint point = {address, {}};
    if (!read(address, point.saved, breakpointLength) ||
        !write(address, breakpointInstruction, breakpointLength))
        giveUp("cannot set a breakpoint at " + hex(address));
    breakpoints.push_back(point);
}

void Tracee::removeBreakpoint(uint64_t address) {
    for (size_t i = 0; i < breakpoints.size(); ++i) {
        if (breakpoints[i].address != address)
            continue;
        if (!write(address, breakpoints[i].saved, breakpointLength))
            giveUp("cannot remove a breakpoint", errno);
        breakpoints.erase(breakpoints.begin() + static_cast<long>(i));
        return;
    }
}

void Tracee::removeBreakpoints() {
    while (!breakpoints.empty())
        removeBreakpoint(breakpoints.back().address);
}

bool Tracee::isBreakpoint(uint64_t address) const {
    return std::any_of(breakpoints.begin(), breakpoints.end(),
                       [address](const Breakpoint &point) { return point.address == address; });
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

uint64_t Tracee::trappedAt(pid_t tid) const {
    Registers now = registersOf(tid);
    const uint64_t address = ::programCounter(now) - pcAfterBreakpoint;
    if (!isBreakpoint(address))
        return 0;
    setProgramCounter(now, address);
    setRegistersOf(tid, now);
    return address;
}
