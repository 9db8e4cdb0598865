// Starting a program held under ptrace: forked, traced from before its exec, and run to its
// entry point; or, where it cannot be held, the reason in words that say what to look at.
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
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "names.h"
#include "tracee.h"
#include "watch.h"

namespace {

// Anything the held program writes to a file is bounded, should it ever run free.
constexpr rlim_t fileLimit = rlim_t{1} << 24;

// The process that traces this one, from its status in /proc; 0 when none does.
pid_t tracerOfSelf() {
    FILE *status = fopen("/proc/self/status", "re");
    char line[256];
    long tracer = 0;
    while (status != nullptr && fgets(line, sizeof line, status) != nullptr)
        if (strncmp(line, "TracerPid:", 10) == 0)
            tracer = strtol(line + 10, nullptr, 10);
    if (status != nullptr)
        fclose(status);
    return static_cast<pid_t>(tracer);
}

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
        lostHold(refusal + " (kernel.yama.ptrace_scope is " + scope +
                 "; at 1 or 0 interleave works, and at 3 only a reboot lowers it)");
    lostHold(refusal + " (a seccomp filter or the container forbids it; allow ptrace there, as "
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
    // A process has one tracer: under strace -f or a debugger that follows forks, this one
    // already has it.
    const pid_t tracer = stage == 't' ? tracerOfSelf() : 0;
    if (tracer != 0) {
        stage = 'a';
        err = tracer;
    }
    char message[1 + sizeof err];
    message[0] = stage;
    memcpy(message + 1, &err, sizeof err);
    if (write(report, message, sizeof message) < 0)
        _exit(126);
    _exit(127);
}

} // namespace

std::string signalNamed(int signal) {
    const char *abbreviation = sigabbrev_np(signal);
    return abbreviation != nullptr
               ? std::string("SIG") + abbreviation + " (" + strsignal(signal) + ")"
               : "signal " + std::to_string(signal);
}

std::string described(int status) {
    if (WIFEXITED(status))
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "was killed by " + signalNamed(WTERMSIG(status));
    if (isEvent(status, PTRACE_EVENT_EXIT))
        return "ended";
    if (WIFSTOPPED(status))
        return "stopped by " + signalNamed(WSTOPSIG(status));
    return "changed state (wait status " + hex(static_cast<unsigned>(status)) + ")";
}

void Tracee::start(const char *path, Output &programOutput) {
    std::string name = path;
    char *const alone[] = {name.data(), nullptr};
    close(start(path, alone, programOutput));
}

int Tracee::start(const char *path, char *const *argv, Output &programOutput) {
    int errors[2];
    if (pipe2(errors, O_CLOEXEC) != 0 || fcntl(errors[0], F_SETFL, O_NONBLOCK) != 0)
        lostHold("cannot make a pipe", errno);
    begin(path, argv, programOutput, errors[1]);
    close(errors[1]);
    return errors[0];
}

void Tracee::begin(const char *path, char *const *argv, Output &programOutput, int errors) {
    output = &programOutput;
    program = path;
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        lostHold("cannot make a pipe", errno);
    leader = fork();
    if (leader < 0)
        lostHold("cannot start a process", errno);
    if (leader == 0)
        becomeTraced(path, argv, programOutput.terminal(), errors, report[1]);
    // Its own group, set on both sides of the fork so that it is there before either looks.
    setpgid(leader, leader);
    holdGroup(leader);
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
    if (said && message[0] == 'a')
        cannotHold(path, "interleave is already traced (by process " + std::to_string(err) +
                             ", a debugger or strace -f), and a traced process cannot be held");
    if (said && message[0] == 't')
        refused(err);
    if (said && err == ENOENT)
        cannotHold(path, "its interpreter, the dynamic linker that it names, does not exist");
    if (said && err == ENOEXEC)
        cannotHold(path, "the kernel cannot load it (exec: Exec format error): its ELF headers "
                         "are damaged");
    if (said)
        cannotHold(path, std::string("exec: ") + strerror(err));
    if (!isEvent(status, PTRACE_EVENT_EXEC))
        cannotHold(path, "the kernel could not load it: it " + described(status) +
                             " during its exec; its ELF headers are damaged");
    openMemory();
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
        lostHold("cannot find the program's entry point");
    return entry;
}

uint64_t Tracee::runToEntry() {
    const uint64_t entry = entryPoint();
    uint8_t first;
    if (!read(entry, &first, 1))
        cannotHold(program, "its entry point " + hex(entry) +
                                " is outside what was loaded of it: its ELF header is damaged");
    insertBreakpoint(entry);
    for (int signal = 0;;) {
        const int status = run(leader, PTRACE_CONT, signal);
        signal = 0;
        const std::string before = " before its own code started";
        if (isEvent(status, PTRACE_EVENT_EXIT)) {
            unsigned long code = 0;
            ptrace(PTRACE_GETEVENTMSG, leader, nullptr, &code);
            const int exitStatus = static_cast<int>(code);
            if (WIFSIGNALED(exitStatus))
                cannotHold(program, "it " + described(exitStatus) + before +
                                        ": its ELF file or a library it loads is damaged");
            cannotHold(program, "it " + described(exitStatus) + before +
                                    ": the dynamic linker could not load it or a library it "
                                    "needs (run it alone to see why)");
        }
        if (!WIFSTOPPED(status))
            cannotHold(program, "it " + described(status) + before);
        if (status >> 16 != 0)
            continue; // an event: a thread or a process started by a library's constructor
        const int stop = WSTOPSIG(status);
        if (stop == SIGTRAP && trappedAt(leader) == entry)
            break;
        if (stop == SIGTRAP || stop == SIGSEGV || stop == SIGBUS || stop == SIGILL ||
            stop == SIGFPE || stop == SIGSYS)
            cannotHold(program, "it crashed with " + signalNamed(stop) + before + ", at " +
                                    hex(programCounterOf(leader)) +
                                    ": its ELF file or a library it loads is damaged");
        signal = stop; // a signal of its own, passed on
    }
    removeBreakpoint(entry);
    return entry;
}
