// A call into library code, run at full speed to its return: only the program's own code is
// taken an instruction at a time. The call runs under PTRACE_SYSCALL, so that interleave sees
// each system call it makes: a sleep is skipped (a point where others may run, not a delay),
// and a call that sleeps in the kernel (a read of an empty pipe) leaves its thread asleep,
// for the others to go on, until something wakes it.
#include <errno.h>
#include <linux/futex.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <iterator>

#include "execution.h"
#include "watch.h"

namespace {

// The state letter of a thread, from /proc: 'S' while it sleeps in the kernel.
char stateOf(pid_t pid, pid_t tid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/task/%d/stat", pid, tid);
    char state = '?';
    pid_t parent;
    return processState(path, state, parent) ? state : 'X';
}

// System calls that may sleep until another thread does something. Some exist on x86-64 alone;
// aarch64 has only their newer forms.
constexpr long sleepers[] = {
    SYS_read,          SYS_readv,           SYS_pread64,    SYS_recvfrom, SYS_recvmsg,
    SYS_accept,        SYS_accept4,         SYS_wait4,      SYS_waitid,   SYS_ppoll,
    SYS_pselect6,      SYS_epoll_pwait,     SYS_msgrcv,     SYS_semop,    SYS_flock,
    SYS_rt_sigsuspend, SYS_rt_sigtimedwait, SYS_connect,    SYS_fcntl,
#if defined(SYS_poll)
    SYS_poll,          SYS_select,          SYS_epoll_wait, SYS_pause,
#endif
};

bool maySleep(long number, const Registers &registers) {
    if (number == SYS_futex) {
        const auto op = systemCallArgument(registers, 1) & static_cast<unsigned>(FUTEX_CMD_MASK);
        return op == FUTEX_WAIT || op == FUTEX_WAIT_BITSET || op == FUTEX_LOCK_PI ||
               op == FUTEX_WAIT_REQUEUE_PI;
    }
    return std::find(std::begin(sleepers), std::end(sleepers), number) != std::end(sleepers);
}

#if defined(SYS_nanosleep)
constexpr long nanosleepCall = SYS_nanosleep;
#else
constexpr long nanosleepCall = SYS_clock_nanosleep;
#endif

// System calls skipped, with the result they give instead: sleeps end at once, and a wait
// with a time-out times out at once.
bool skipped(long number, const Registers &registers, long &result) {
    if (number == SYS_clock_nanosleep || number == nanosleepCall) {
        result = 0;
        return true;
    }
    if (number == SYS_futex) {
        const auto op = (systemCallArgument(registers, 1) & static_cast<unsigned>(FUTEX_CMD_MASK));
        if ((op == FUTEX_WAIT || op == FUTEX_WAIT_BITSET) &&
            systemCallArgument(registers, 3) != 0) {
            result = -ETIMEDOUT;
            return true;
        }
    }
    return false;
}

bool fatal(int signal) {
    return signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGFPE ||
           signal == SIGABRT || signal == SIGSYS || signal == SIGKILL || signal == SIGTERM;
}

} // namespace

// Waits until `tid` stops, or sleeps in the kernel (0).
pid_t Execution::stopOrSleep(pid_t tid, int &status) {
    for (;;) {
        const pid_t got = waitpid(tid, &status, __WALL | WNOHANG);
        if (got != 0)
            return got;
        if (stateOf(process.pid(), tid) == 'S')
            return 0;
        pollfd ready = {signalsToWatch(), POLLIN, 0};
        poll(&ready, 1, 1);
        takeSignals();
        output->drain();
    }
}

Execution::Ran Execution::runCall(int index, uint64_t returnAddress) {
    at(index).returnAddress = returnAddress;
    process.insertBreakpoint(returnAddress);
    return goOn(index);
}

Execution::Ran Execution::goOn(int index) {
    mayHavePrinted = true; // library code: it may write
    int signal = 0;
    for (bool stopped = true;;) {
        Thread &thread = at(index);
        if (stopped)
            resume(thread.tid, PTRACE_SYSCALL, signal);
        signal = 0;
        stopped = true;
        int status;
        pid_t who;
        if (thread.sleepy) {
            thread.sleepy = false;
            who = stopOrSleep(thread.tid, status);
            if (who == 0) {
                thread.state = ThreadState::asleep;
                return Ran::asleep;
            }
        } else {
            who = waitForStop(-1, output, status);
        }
        if (who != thread.tid) {
            other(who, status);
            if (over())
                return Ran::over;
            stopped = false; // it still runs
            continue;
        }
        const Ran ran = stoppedInCall(index, status, signal);
        if (ran != Ran::running)
            return ran;
    }
}

// What a stop of the thread running a call means: its return, its end or a crash, or a stop
// on the way (a system call, a thread or process started, a signal to pass on in `signal`).
Execution::Ran Execution::stoppedInCall(int index, int status, int &signal) {
    Thread &thread = at(index);
    if (WIFEXITED(status) || WIFSIGNALED(status) || isEvent(status, PTRACE_EVENT_EXIT) ||
        isEvent(status, PTRACE_EVENT_EXEC)) {
        gone(index, status);
        return Ran::over;
    }
    if (isEvent(status, PTRACE_EVENT_CLONE) || isEvent(status, PTRACE_EVENT_FORK) ||
        isEvent(status, PTRACE_EVENT_VFORK)) {
        born(thread.tid, status);
        return Ran::running;
    }
    const int stop = WSTOPSIG(status);
    if (stop == (SIGTRAP | 0x80)) {
        systemCall(thread);
        return Ran::running;
    }
    if (stop == SIGTRAP && status >> 16 == 0) {
        if (process.trappedAt(thread.tid) == thread.returnAddress) {
            process.removeBreakpoint(thread.returnAddress);
            thread.returnAddress = 0;
            return Ran::returned;
        }
        signal = SIGTRAP;
    } else if (fatal(stop)) {
        crash(index, stop);
        return Ran::over;
    } else if (stop != SIGSTOP && status >> 16 == 0) {
        signal = stop; // the program's own, passed on
    }
    return Ran::running;
}

void Execution::systemCall(Thread &thread) {
    Registers registers = registersOf(thread.tid);
    if (!thread.inSystemCall) {
        thread.inSystemCall = true;
        const long number = systemCallNumber(registers);
        long result = 0;
        if (skipped(number, registers, result)) {
            skipSystemCall(registers);
            setRegistersOf(thread.tid, registers);
            thread.skipSystemCall = true;
            thread.skippedResult = result;
        } else {
            thread.sleepy = maySleep(number, registers);
        }
        return;
    }
    thread.inSystemCall = false;
    if (thread.skipSystemCall) {
        setSystemCallResult(registers, thread.skippedResult);
        setRegistersOf(thread.tid, registers);
        thread.skipSystemCall = false;
    }
}

void Execution::wakeSleepers() {
    for (size_t i = 0; i < held.size(); ++i) {
        Thread &thread = held[i];
        if (thread.state != ThreadState::asleep || stateOf(process.pid(), thread.tid) == 'S')
            continue;
        int status;
        waitForStop(thread.tid, output, status);
        if (WIFEXITED(status) || WIFSIGNALED(status) || isEvent(status, PTRACE_EVENT_EXIT)) {
            gone(static_cast<int>(i), status);
            return;
        }
        awake(thread);
    }
}

void Execution::awake(Thread &thread) {
    thread.inSystemCall = false;
    thread.state = ThreadState::ready;
    thread.next = Step{};
    thread.next.thread = static_cast<int>(&thread - held.data());
    thread.next.kind = StepKind::wakes;
    thread.next.pc = thread.returnAddress;
}

// A stop of a thread other than the one running a call: a new thread's, or one asleep that
// woke meanwhile.
void Execution::other(pid_t who, int status) {
    const int index = indexOf(who);
    if (index >= 0) {
        if (WIFEXITED(status) || WIFSIGNALED(status) || isEvent(status, PTRACE_EVENT_EXIT))
            gone(index, status);
        else
            awake(held[static_cast<size_t>(index)]);
        return;
    }
    if (!WIFSTOPPED(status))
        return;
    // A new thread: its first stop may come before its creator's clone event tells of it.
    NewThread &made = newThread(who);
    if (WSTOPSIG(status) == SIGTRAP && process.trappedAt(who) != 0) {
        made.atRoutine = true;
        return;
    }
    made.stopped = true;
    if (made.routine != 0 && !made.running) {
        made.running = true;
        resume(who, PTRACE_CONT);
    }
}

Execution::NewThread &Execution::newThread(pid_t tid) {
    const auto known = std::find_if(newThreads.begin(), newThreads.end(),
                                    [tid](const NewThread &made) { return made.tid == tid; });
    if (known != newThreads.end())
        return *known;
    newThreads.push_back({tid});
    return newThreads.back();
}

void Execution::born(pid_t parent, int status) {
    unsigned long made = 0;
    ptrace(PTRACE_GETEVENTMSG, parent, nullptr, &made);
    const auto tid = static_cast<pid_t>(made);
    if (!isEvent(status, PTRACE_EVENT_CLONE)) {
        // A child process: it runs on its own, out of the model, without the breakpoints
        // that its copy of the parent's memory holds, and dies with the run's group.
        // Its first stop may have come first, and been taken for a new thread's.
        const auto early = std::find_if(newThreads.begin(), newThreads.end(),
                                        [tid](const NewThread &seen) { return seen.tid == tid; });
        const bool stopped = early != newThreads.end() && early->stopped;
        if (early != newThreads.end())
            newThreads.erase(early);
        int first;
        if (!stopped)
            waitpid(tid, &first, __WALL);
        process.removeBreakpointsIn(tid);
        ptrace(PTRACE_DETACH, tid, nullptr, 0);
        return;
    }
    NewThread &thread = newThread(tid);
    thread.routine = creating;
    if (thread.routine != 0) {
        process.insertBreakpoint(thread.routine);
        if (thread.stopped && !thread.running) {
            thread.running = true;
            resume(tid, PTRACE_CONT);
        }
    }
}
