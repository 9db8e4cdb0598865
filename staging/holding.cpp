// Starting a counter program held: its workers are the routines that main hands to
// pthread_create, I the first and D the second, each stopped at its first instruction; its
// counter is the data location that both routines load and store.
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>

#include <algorithm>
#include <map>
#include <vector>

#include "counters.h"
#include "watch.h"

namespace {

// Runs main until it has started both workers and returned from the second pthread_create,
// and holds it there; each new thread runs until it reaches its routine, where it is held.
// A sanitizer's pthread_create may wait for the new thread to start, so the threads run
// together until they are held.
struct Startup {
    Tracee &tracee;
    pid_t main;
    uint64_t create;
    // pthread_join: a main that joins before it has started both workers would wait for
    // ever, the worker that it joins being held.
    uint64_t join;
    Started found = {};
    int calls = 0;                     // pthread_create calls that main has made
    uint64_t returnAddress = 0;        // of the call under way, 0 when none is
    std::map<pid_t, int> threads = {}; // each new thread: the worker it is, or -1
    std::vector<pid_t> early = {};     // new threads whose first stop came before their clone event
    int heldWorkers = 0;
    bool mainHeld = false;

    void stopAt(pid_t tid, uint64_t address);
    void cloned(pid_t tid);
    void onStop(pid_t tid, int status);
};

void Startup::stopAt(pid_t tid, uint64_t address) {
    if (address == join)
        giveUp("main joins a thread before it has started two workers: the program is not of "
               "the counter's shape");
    if (tid == main && address == create) {
        const Registers registers = registersOf(main);
        returnAddress = tracee.readWord(returnAddressSlot(registers));
        if (calls < CounterRun::workers) {
            found.routines[calls] = callArgument(registers, 2);
            tracee.insertBreakpoint(found.routines[calls]);
        }
        ++calls;
        tracee.insertBreakpoint(returnAddress);
        tracee.removeBreakpoint(create); // stepped over, and put back for the next call
        singleStep(main);
        if (calls < CounterRun::workers)
            tracee.insertBreakpoint(create);
        resume(main, PTRACE_CONT);
    } else if (tid == main && address == returnAddress) {
        tracee.removeBreakpoint(returnAddress);
        returnAddress = 0;
        if (calls == CounterRun::workers)
            mainHeld = true; // held here for good, as if blocked in its join
        else
            resume(main, PTRACE_CONT);
    } else if (threads.contains(tid) && threads[tid] >= 0 &&
               address == found.routines[threads[tid]]) {
        ++heldWorkers; // at its routine's first instruction
    } else {
        giveUp("a thread of the program stopped at a breakpoint that is not its own");
    }
}

// `tid` made a thread. One started while main is in its call to pthread_create is that
// call's worker.
void Startup::cloned(pid_t tid) {
    unsigned long made = 0;
    ptrace(PTRACE_GETEVENTMSG, tid, nullptr, &made);
    const auto thread = static_cast<pid_t>(made);
    const bool worker = tid == main && returnAddress != 0 && calls <= CounterRun::workers;
    threads[thread] = worker ? calls - 1 : -1;
    if (worker)
        found.workers[calls - 1] = thread;
    resume(tid, PTRACE_CONT);
    const auto waiting = std::find(early.begin(), early.end(), thread);
    if (waiting != early.end()) {
        early.erase(waiting);
        resume(thread, PTRACE_CONT);
    }
}

void Startup::onStop(pid_t tid, int status) {
    if (WIFEXITED(status) || WIFSIGNALED(status)) {
        if (tid == main)
            giveUp("the program ended before it started two workers");
        return;
    }
    if (isEvent(status, PTRACE_EVENT_CLONE)) {
        cloned(tid);
        return;
    }
    // A new thread may report its first stop before its creator reports the clone: it waits
    // until it is known, so that it is told apart when it reaches a routine.
    if (WSTOPSIG(status) == SIGSTOP && tid != main && !threads.contains(tid)) {
        early.push_back(tid);
        return;
    }
    const int signal = WSTOPSIG(status);
    if (signal == SIGTRAP && status >> 16 == 0) {
        const uint64_t at = tracee.trappedAt(tid);
        if (at == 0)
            giveUp("the program trapped where interleave set no breakpoint");
        stopAt(tid, at);
        return;
    }
    // A new thread's first stop, an event, or a signal of the program's own, passed on.
    const bool passOn = signal != SIGTRAP && signal != SIGSTOP && (status >> 16) == 0;
    resume(tid, PTRACE_CONT, passOn ? signal : 0);
}

} // namespace

Started holdWorkers(Tracee &tracee, Image &image) {
    const pid_t main = tracee.pid();
    const uint64_t entry = tracee.runToEntry();
    image.loaded(tracee, entry);
    Startup startup{.tracee = tracee,
                    .main = main,
                    .create = image.routine("pthread_create"),
                    .join = image.routine("pthread_join")};
    if (startup.create == 0)
        giveUp("the program does not load pthread_create");
    tracee.insertBreakpoint(startup.create);
    if (startup.join != 0)
        tracee.insertBreakpoint(startup.join);
    resume(main, PTRACE_CONT);
    while (!startup.mainHeld || startup.heldWorkers < CounterRun::workers) {
        int next;
        const pid_t tid = tracee.waitForAny(next);
        startup.onStop(tid, next);
    }
    tracee.removeBreakpoints();
    return startup.found;
}

namespace {

// What the instructions of one routine, and of the program's own routines that it calls,
// do to each 4-byte location of the program's data whose address they name outright.
struct Use {
    bool loads = false;
    bool stores = false;
    unsigned instructions = 0;
};

std::map<uint64_t, Use> usesOf(const Tracee &tracee, Image &image, uint64_t routine) {
    std::map<uint64_t, Use> uses;
    std::vector<uint64_t> pending = {routine};
    std::map<uint64_t, bool> seen;
    // A bound on the code followed, should a routine lead into a great deal of it.
    for (unsigned followed = 0; !pending.empty() && followed < 100000; ++followed) {
        const uint64_t at = pending.back();
        pending.pop_back();
        const Instruction *instruction =
            image.ownCode(at) && !seen[at] ? image.instruction(tracee, at) : nullptr;
        seen[at] = true;
        if (instruction == nullptr)
            continue;
        for (unsigned i = 0; i < instruction->memoryCount; ++i) {
            const MemoryOperand &operand = instruction->memory[i];
            uint64_t address;
            if (operand.size != sizeof(Count) || !fixedAddress(*instruction, operand, address) ||
                !image.writableData(address))
                continue;
            Use &use = uses[address];
            use.loads |= operand.reads;
            use.stores |= operand.writes;
            ++use.instructions;
        }
        const uint64_t next = at + instruction->length;
        if (instruction->flow == Flow::next || instruction->flow == Flow::call ||
            instruction->flow == Flow::branch)
            pending.push_back(next);
        if (instruction->targetKnown && instruction->flow != Flow::next)
            pending.push_back(instruction->target);
    }
    return uses;
}

} // namespace

uint64_t findCounter(const Tracee &tracee, Image &image,
                     const uint64_t (&routines)[CounterRun::workers]) {
    const std::map<uint64_t, Use> first = usesOf(tracee, image, routines[0]);
    const std::map<uint64_t, Use> second = usesOf(tracee, image, routines[1]);
    uint64_t counter = 0;
    unsigned most = 0;
    // Where several locations are loaded and stored by both (a flag of a lock of the
    // program's own, say), the counter is the one that the most instructions touch.
    for (const auto &[address, use] : first) {
        const auto other = second.find(address);
        if (other == second.end() || !use.loads || !use.stores || !other->second.loads ||
            !other->second.stores)
            continue;
        const unsigned touches = use.instructions + other->second.instructions;
        if (touches > most) {
            most = touches;
            counter = address;
        }
    }
    if (counter == 0)
        giveUp("found no counter: no 4-byte location of the program's data is both loaded and "
               "stored by both workers");
    return counter;
}
