// Taking the workers of a counter program one step at a time.
#include "counters.h"

#include <linux/futex.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <iterator>

#include "names.h"
#include "watch.h"

namespace {

// The instructions of its own code that a worker may run between two events before it is
// taken to spin, waiting for something that never comes while it alone runs.
constexpr unsigned spinBound = 10000;

// The operation of a futex call, without its private and clock flags.
uint64_t command(uint64_t op) {
    return op & ~static_cast<uint64_t>(FUTEX_PRIVATE_FLAG | FUTEX_CLOCK_REALTIME);
}

bool isWait(uint64_t op) {
    return command(op) == FUTEX_WAIT || command(op) == FUTEX_WAIT_BITSET;
}

bool isWake(uint64_t op) {
    return command(op) == FUTEX_WAKE || command(op) == FUTEX_WAKE_BITSET;
}

// Whether thread `tid` sleeps in the kernel, from its state in /proc.
bool sleeping(pid_t pid, pid_t tid) {
    char name[64];
    snprintf(name, sizeof name, "/proc/%d/task/%d/stat", pid, tid);
    char state = 'R';
    pid_t parent;
    return processState(name, state, parent) && (state == 'S' || state == 'D');
}

bool ended(int status) {
    return WIFEXITED(status) || WIFSIGNALED(status);
}

} // namespace

void CounterRun::start(const char *path, char *const *argv, Image &program, Output &programOutput) {
    image = &program;
    output = &programOutput;
    tracee.start(path, argv, programOutput);
    const Started started = holdWorkers(tracee, program);
    count = findCounter(tracee, program, started.routines);
    for (int i = 0; i < workers; ++i)
        held[i] = Worker{started.workers[i]};
    for (size_t i = 0; i < sizeof locks / sizeof *locks; ++i)
        locks[i] = program.routine(lockRoutines[i]);
    output->take(); // nothing, unless the program printed before its workers started
}

Count CounterRun::counter() {
    return tracee.readInt(count);
}

bool CounterRun::canMove(int worker) const {
    return held[worker].at != At::asleep && held[worker].at != At::ended;
}

bool CounterRun::deadlocked() const {
    return !canMove(0) && !canMove(1) && (held[0].at == At::asleep || held[1].at == At::asleep);
}

int CounterRun::lockAt(uint64_t address) const {
    for (size_t i = 0; i < sizeof locks / sizeof *locks; ++i)
        if (locks[i] != 0 && locks[i] == address)
            return static_cast<int>(i);
    return -1;
}

bool CounterRun::touchesCounter(const Instruction &instruction, const Registers &registers) const {
    for (unsigned i = 0; i < instruction.memoryCount; ++i) {
        const MemoryOperand &operand = instruction.memory[i];
        const uint64_t address = operandAddress(instruction, operand, registers);
        if (!operand.threadLocal && address < count + sizeof(Count) &&
            address + operand.size > count)
            return true;
    }
    return false;
}

CounterStep CounterRun::step(int index) {
    Worker &worker = held[index];
    CounterStep step;
    wokeLast = -1;
    if (worker.at == At::between)
        advance(index); // from the routine's first instruction to its first event
    if (worker.at == At::asleep) {
        step.stillBlocked = true;
        step.call = worker.lock >= 0 ? lockRoutines[worker.lock] : nullptr;
    } else if (worker.at == At::access) {
        access(worker, step);
    } else if (worker.at == At::lockCall || (worker.at == At::inCall && worker.lock >= 0)) {
        lockCall(index, step);
    }
    if (worker.at != At::asleep && worker.at != At::ended)
        advance(index);
    step.ended = worker.at == At::ended;
    step.woke = wokeLast;
    step.printed = output->take();
    for (const char c : step.printed)
        worker.lines += c == '\n';
    step.counter = counter();
    return step;
}

void CounterRun::access(Worker &worker, CounterStep &step) {
    const Instruction &instruction = *image->instruction(tracee, programCounterOf(worker.tid));
    const Count before = counter();
    singleStep(worker.tid);
    bool reads = false;
    bool writes = false;
    for (unsigned i = 0; i < instruction.memoryCount; ++i) {
        reads |= instruction.memory[i].reads;
        writes |= instruction.memory[i].writes;
    }
    step.event = reads && writes ? Event::change : writes ? Event::store : Event::load;
    step.value = step.event == Event::load ? before : counter();
    snprintf(step.loadedInto, sizeof step.loadedInto, "%s", instruction.loadedInto);
    step.instruction = instruction.text;
    worker.changes += step.event != Event::load;
    worker.at = At::between;
}

void CounterRun::lockCall(int index, CounterStep &step) {
    Worker &worker = held[index];
    step.woken = worker.at == At::inCall; // it waited in an earlier step, and was woken
    if (!step.woken) {
        const Registers registers = registersOf(worker.tid);
        worker.lock = lockAt(programCounter(registers));
        worker.returnAddress = tracee.readWord(returnAddressSlot(registers));
        worker.at = At::inCall;
    }
    step.call = lockRoutines[worker.lock];
    const Stop stop = finishCall(index, true);
    if (stop == Stop::asleep) {
        step.blocked = true;
    } else if (stop != Stop::ended) {
        const bool takes = lockTakes[worker.lock];
        step.event = takes ? Event::lock : Event::unlock;
        if (takes)
            ++worker.locksHeld;
        else if (worker.locksHeld > 0)
            --worker.locksHeld;
        worker.lock = -1;
        worker.at = stop == Stop::lockEntry ? At::lockCall : At::between;
    }
}

// Runs the worker's own code one instruction at a time, and every call out of it at full
// speed, until it stands before its next event, sleeps in the kernel, or ends.
void CounterRun::advance(int index) {
    Worker &worker = held[index];
    for (unsigned spent = 0;;) {
        if (worker.at == At::inCall) {
            const Stop stop = finishCall(index, false);
            if (stop == Stop::returned)
                worker.at = At::between;
            else if (stop == Stop::lockEntry)
                worker.at = At::lockCall;
            if (stop != Stop::returned)
                return;
        }
        const Registers registers = registersOf(worker.tid);
        const uint64_t at = programCounter(registers);
        if (!image->ownCode(at)) { // a library's routine, entered by a call or a jump
            worker.at = lockAt(at) >= 0 ? At::lockCall : At::inCall;
            if (worker.at == At::lockCall)
                return;
            worker.lock = -1;
            worker.returnAddress = tracee.readWord(returnAddressSlot(registers));
            continue;
        }
        const Instruction *instruction = image->instruction(tracee, at);
        if (instruction == nullptr)
            giveUp(std::string("the ") + workerNames[index] +
                   " worker came to bytes that are "
                   "no instruction, at " +
                   hex(at));
        if (touchesCounter(*instruction, registers)) {
            worker.at = At::access;
            return;
        }
        singleStep(worker.tid);
        if (++spent == spinBound)
            giveUp(std::string("the ") + workerNames[index] + " worker ran " +
                   std::to_string(spinBound) +
                   " instructions without reaching the counter or a "
                   "lock: it spins, waiting for what the other worker alone can do");
    }
}

// Lets the worker run the library call it is in at full speed, watching its system calls,
// until it comes back to the program's own code, reaches a lock routine, sleeps or ends.
// Its breakpoints are in the code only while it runs: no other thread ever meets them.
CounterRun::Stop CounterRun::finishCall(int index, bool event) {
    Worker &worker = held[index];
    const uint64_t at = programCounterOf(worker.tid);
    if (image->ownCode(worker.returnAddress))
        tracee.insertBreakpoint(worker.returnAddress);
    for (const uint64_t lock : locks)
        if (lock != 0 && !(event && lock == at))
            tracee.insertBreakpoint(lock);
    Futex futex;
    for (int signal = 0;;) {
        const int status = tracee.run(worker.tid, PTRACE_SYSCALL, signal);
        signal = 0;
        Stop stop = Stop::running;
        if (ended(status) || isEvent(status, PTRACE_EVENT_EXIT))
            stop = end(worker);
        else if (WSTOPSIG(status) == (SIGTRAP | 0x80))
            stop = systemCall(worker, futex);
        else if (WSTOPSIG(status) == SIGTRAP && status >> 16 == 0)
            stop = trapped(index);
        else if (status >> 16 == 0)
            signal = WSTOPSIG(status); // the program's own signal, passed on
        if (stop != Stop::running)
            return stop;
    }
}

CounterRun::Stop CounterRun::end(Worker &worker) {
    tracee.removeBreakpoints();
    worker.at = At::ended;
    return Stop::ended;
}

// At a system call of the worker's: a futex wait that it enters, and a wake whose count
// says how many sleepers it woke.
CounterRun::Stop CounterRun::systemCall(Worker &worker, Futex &futex) {
    __ptrace_syscall_info info = {};
    ptrace(PTRACE_GET_SYSCALL_INFO, worker.tid, sizeof info, &info);
    if (info.op == PTRACE_SYSCALL_INFO_ENTRY) {
        futex.address = info.entry.nr == SYS_futex ? info.entry.args[0] : 0;
        futex.op = info.entry.args[1];
        if (futex.address != 0 && isWait(futex.op))
            return sleep(worker, futex.address);
    } else if (info.op == PTRACE_SYSCALL_INFO_EXIT && futex.address != 0 && isWake(futex.op) &&
               info.exit.rval > 0) {
        wake(futex.address, info.exit.rval);
    }
    return Stop::running;
}

// At a breakpoint: back at the call's return address, or at a lock routine.
CounterRun::Stop CounterRun::trapped(int index) {
    const Worker &worker = held[index];
    const uint64_t at = tracee.trappedAt(worker.tid);
    if (at == 0 || (at != worker.returnAddress && lockAt(at) < 0))
        giveUp(std::string("the ") + workerNames[index] +
               " worker trapped where interleave set no breakpoint");
    tracee.removeBreakpoints();
    return at == worker.returnAddress ? Stop::returned : Stop::lockEntry;
}

// Lets the worker into its futex wait. It either sleeps there, as the kernel decides, or
// comes straight back, its wait already over.
CounterRun::Stop CounterRun::sleep(Worker &worker, uint64_t futex) {
    resume(worker.tid, PTRACE_SYSCALL);
    for (;;) {
        int status;
        if (waitpid(worker.tid, &status, __WALL | WNOHANG) == worker.tid)
            return ended(status) ? end(worker) : Stop::running; // its wait returned at once
        if (sleeping(tracee.pid(), worker.tid)) {
            tracee.removeBreakpoints();
            worker.at = At::asleep;
            worker.futex = futex;
            worker.sleptAt = ++sleeps;
            return Stop::asleep;
        }
        sched_yield();
    }
}

// A futex wake returned `woken`: that many sleepers on `futex` were woken, the first to
// sleep first. Each is taken as it comes out of its wait, before anything else runs.
void CounterRun::wake(uint64_t futex, int64_t woken) {
    // Of two workers, the one asleep on `futex`, and of two such, the one asleep first.
    auto sleepsFirst = [futex](const Worker &a, const Worker &b) {
        const bool aSleeps = a.at == At::asleep && a.futex == futex;
        const bool bSleeps = b.at == At::asleep && b.futex == futex;
        return aSleeps != bSleeps ? aSleeps : a.sleptAt < b.sleptAt;
    };
    for (int64_t taken = 0; taken < woken; ++taken) {
        Worker *const first = std::min_element(std::begin(held), std::end(held), sleepsFirst);
        if (first->at != At::asleep || first->futex != futex)
            return;
        first->at = ended(tracee.waitFor(first->tid)) ? At::ended : At::inCall;
        wokeLast = static_cast<int>(first - held);
    }
}
