// The C library's synchronisation, each call a step. Whether a call would wait is read from
// the object itself where the library keeps it plainly (a mutex's lock word and owner, a
// semaphore's value, a spin lock's word), so that the model and the memory never disagree;
// a call that would not wait runs for real, at full speed. Condition variables and barriers,
// whose waits the library makes in the kernel, are played by interleave instead: a wait is
// its parts, each a step (the mutex released, the wake, the mutex taken again).
#include <errno.h>
#include <pthread.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>

#include "execution.h"
#include "watch.h"

namespace {

// Where the C library keeps what a call's wait depends on (glibc on x86-64 and aarch64).
constexpr uint64_t mutexOwner = 8; // the owning thread's id
constexpr uint64_t mutexKind = 16; // normal, recursive, error-checking

bool isLock(Routine routine) {
    return routine == Routine::mutexLock || routine == Routine::spinLock ||
           routine == Routine::readLock || routine == Routine::writeLock ||
           routine == Routine::mutexTimedlock || routine == Routine::semWait ||
           routine == Routine::semTimedwait;
}

bool isTry(Routine routine) {
    return routine == Routine::mutexTrylock || routine == Routine::spinTrylock ||
           routine == Routine::tryReadLock || routine == Routine::tryWriteLock ||
           routine == Routine::semTrywait;
}

bool isRelease(Routine routine) {
    return routine == Routine::mutexUnlock || routine == Routine::spinUnlock ||
           routine == Routine::rwUnlock || routine == Routine::semPost;
}

StepKind kindOf(Routine routine) {
    switch (routine) {
    case Routine::mutexLock:
    case Routine::spinLock:
    case Routine::writeLock:
    case Routine::mutexTimedlock:
        return StepKind::lock;
    case Routine::readLock:
        return StepKind::readLock;
    case Routine::mutexTrylock:
    case Routine::spinTrylock:
    case Routine::tryReadLock:
    case Routine::tryWriteLock:
        return StepKind::trylock;
    case Routine::mutexUnlock:
    case Routine::spinUnlock:
    case Routine::rwUnlock:
        return StepKind::unlock;
    case Routine::semWait:
    case Routine::semTimedwait:
        return StepKind::semWait;
    case Routine::semTrywait:
        return StepKind::semTrywait;
    case Routine::semPost:
        return StepKind::semPost;
    case Routine::condWait:
    case Routine::condTimedwait:
        return StepKind::condWait;
    case Routine::condSignal:
        return StepKind::condSignal;
    case Routine::condBroadcast:
        return StepKind::condBroadcast;
    case Routine::barrierWait:
        return StepKind::barrier;
    case Routine::create:
        return StepKind::create;
    case Routine::join:
        return StepKind::join;
    case Routine::threadExit:
        return StepKind::end;
    case Routine::exit:
        return StepKind::exit;
    default:
        return StepKind::sleep;
    }
}

} // namespace

// The thread stands at the first instruction of a routine that is a step.
void Execution::callStep(int index, Routine routine, const Registers &registers) {
    Thread &thread = held[static_cast<size_t>(index)];
    Step step;
    step.thread = index;
    step.routine = routine;
    step.kind = kindOf(routine);
    step.pc = process.readWord(returnAddressSlot(registers));
    step.address = callArgument(registers, 0);
    step.object = callArgument(registers, 1);
    step.instruction = Routines::name(routine);
    if (step.kind == StepKind::exit) {
        step.touches = {{0, everywhere, true}};
    } else if (step.kind == StepKind::end) {
        step.touches = {{threadPlace + static_cast<uint64_t>(index), 1, true}};
    } else if (step.kind == StepKind::join) {
        const int target = byHandle(step.address);
        step.object = static_cast<uint64_t>(target); // the thread it waits for, or ~0
        step.touches = {{threadPlace + static_cast<uint64_t>(std::max(target, 0)), 1, false}};
    } else if (step.kind == StepKind::create) {
        step.touches = {{threadPlace + held.size(), 1, true}};
    } else if (step.kind != StepKind::sleep) {
        step.touches = {{step.address, 1, true}};
        if (step.kind == StepKind::condWait)
            step.touches.push_back({step.object, 1, true});
    }
    thread.next = step;
}

int Execution::byHandle(uint64_t handle) const {
    for (size_t i = 1; i < held.size(); ++i)
        if (held[i].handle == handle)
            return static_cast<int>(i);
    return -1;
}

bool Execution::mutexFree(uint64_t mutex, const Thread &thread) const {
    if (valueAt(mutex) == 0)
        return true;
    const int kind = valueAt(mutex + mutexKind) & 3;
    return valueAt(mutex + mutexOwner) == thread.tid &&
           (kind == PTHREAD_MUTEX_RECURSIVE || kind == PTHREAD_MUTEX_ERRORCHECK);
}

bool Execution::wouldBlock(int index) const {
    const Thread &thread = held[static_cast<size_t>(index)];
    const Step &next = thread.next;
    const uint64_t object = next.address;
    switch (next.kind) {
    case StepKind::lock:
        if (next.routine == Routine::mutexLock)
            return !mutexFree(object, thread);
        if (next.routine == Routine::spinLock) // its word's meaning differs between processors
            return spinHolder.contains(object);
        if (next.routine == Routine::writeLock)
            return writer.contains(object) ||
                   (readers.contains(object) && !readers.at(object).empty());
        return false; // a timed lock times out object once instead
    case StepKind::readLock:
        return writer.contains(object);
    case StepKind::semWait:
        return next.routine == Routine::semWait && valueAt(object) == 0;
    case StepKind::condWake:
        return !(thread.signalled || next.routine == Routine::condTimedwait) ||
               !mutexFree(next.object, thread);
    case StepKind::barrier:
        return next.half && barrierRound.contains(object) &&
               barrierRound.at(object) <= static_cast<int>(next.object);
    case StepKind::join:
        return next.object < held.size() && held[next.object].state != ThreadState::ended;
    default:
        return false;
    }
}

int Execution::holder(uint64_t address) const {
    if (spinHolder.contains(address))
        return spinHolder.at(address);
    if (writer.contains(address))
        return writer.at(address);
    const int owner = valueAt(address + mutexOwner);
    return owner != 0 ? indexOf(owner) : -1;
}

void Execution::call(int index, Step &step) {
    Thread &thread = held[static_cast<size_t>(index)];
    const uint64_t object = step.address;
    switch (step.kind) {
    case StepKind::condWait:
        callInstead(index, Routine::mutexUnlock, step.object, false);
        thread.holding -= thread.holding > 0;
        thread.signalled = false;
        thread.next = step;
        thread.next.kind = StepKind::condWake;
        thread.next.pc = programCounterOf(thread.tid);
        thread.keepNext = true;
        waiters[object].push_back(index);
        return;
    case StepKind::condWake: {
        auto &queue = waiters[object];
        queue.erase(std::remove(queue.begin(), queue.end(), index), queue.end());
        step.result = thread.signalled ? 0 : ETIMEDOUT;
        callInstead(index, Routine::mutexLock, step.object, true);
        ++thread.holding;
        Registers registers = registersOf(thread.tid);
        setReturnValue(registers, static_cast<uint64_t>(step.result));
        setRegistersOf(thread.tid, registers);
        return;
    }
    case StepKind::condSignal:
    case StepKind::condBroadcast: {
        auto &queue = waiters[object];
        const size_t woken =
            step.kind == StepKind::condSignal ? std::min<size_t>(queue.size(), 1) : queue.size();
        for (size_t i = 0; i < woken; ++i)
            held[static_cast<size_t>(queue[i])].signalled = true;
        queue.erase(queue.begin(), queue.begin() + static_cast<long>(woken));
        step.result = static_cast<int>(woken);
        emulateReturn(index, 0);
        return;
    }
    case StepKind::barrier:
        barrier(index, step);
        return;
    case StepKind::create:
        create(index, step);
        return;
    default:
        break;
    }
    if (step.routine == Routine::mutexTimedlock && !mutexFree(object, thread)) {
        emulateReturn(index, ETIMEDOUT);
        step.result = ETIMEDOUT;
        return;
    }
    if (step.routine == Routine::semTimedwait && valueAt(object) == 0) {
        callInstead(index, Routine::semTrywait, object, false);
    } else if (runCall(index, step.pc) != Ran::returned) {
        return;
    }
    // A library call may have started threads: the thread is looked up again.
    Thread &after = at(index);
    step.result = static_cast<int>(returnValue(registersOf(after.tid)));
    const bool took = step.result == 0 && (isLock(step.routine) || isTry(step.routine));
    after.holding += took;
    if (isRelease(step.routine) && step.result == 0)
        after.holding -= after.holding > 0;
    account(index, step, took);
}
