// The calls that interleave plays itself, or has the library make in place of another:
// returns as if a routine had run, a condition wait's parts made of the mutex's own calls,
// a barrier's rounds, a new thread's making, and the locks whose holder the library does
// not record.
#include <pthread.h>

#include <algorithm>

#include "execution.h"
#include "watch.h"

namespace {

// Where the C library keeps a barrier's count of threads (glibc on x86-64 and aarch64).
constexpr uint64_t barrierCount = 8;

} // namespace

// Returns from the routine that the thread stands at the start of, as if it had run.
void Execution::emulateReturn(int index, long value) {
    const pid_t tid = held[static_cast<size_t>(index)].tid;
    Registers registers = registersOf(tid);
    setReturnValue(registers, static_cast<uint64_t>(value));
    setProgramCounter(registers, process.readWord(returnAddressSlot(registers)));
    setStackPointer(registers, stackPointer(registers) + sizeof(uint64_t));
    setRegistersOf(tid, registers);
}

// Runs `routine` with `argument` in place of the call the thread stands at, or from where it
// stands as if called from there, to `returnAddress`.
void Execution::callInstead(int index, Routine routine, uint64_t argument, bool pushReturn) {
    const pid_t tid = held[static_cast<size_t>(index)].tid;
    Registers registers = registersOf(tid);
    uint64_t returnAddress = process.readWord(returnAddressSlot(registers));
    if (pushReturn) {
        returnAddress = programCounter(registers);
        setStackPointer(registers, stackPointer(registers) - sizeof returnAddress);
        process.write(returnAddressSlot(registers), &returnAddress, sizeof returnAddress);
    }
    setProgramCounter(registers, routines.address(routine));
    setCallArgument(registers, 0, argument);
    setRegistersOf(tid, registers);
    runCall(index, returnAddress);
}

// What interleave keeps itself of the locks whose holder the library does not record.
void Execution::account(int index, const Step &step, bool took) {
    const uint64_t object = step.address;
    if (took && (step.routine == Routine::spinLock || step.routine == Routine::spinTrylock))
        spinHolder[object] = index;
    if (step.routine == Routine::spinUnlock)
        spinHolder.erase(object);
    if (took && (step.routine == Routine::writeLock || step.routine == Routine::tryWriteLock))
        writer[object] = index;
    if (took && (step.routine == Routine::readLock || step.routine == Routine::tryReadLock))
        readers[object].push_back(index);
    if (step.routine == Routine::rwUnlock) {
        if (writer.contains(object) && writer[object] == index) {
            writer.erase(object);
        } else {
            auto &reading = readers[object];
            const auto found = std::find(reading.begin(), reading.end(), index);
            if (found != reading.end())
                reading.erase(found);
        }
    }
}

void Execution::barrier(int index, Step &step) {
    Thread &thread = held[static_cast<size_t>(index)];
    const uint64_t object = step.address;
    if (step.half) { // released: the wait returns
        emulateReturn(index, 0);
        return;
    }
    const int count = valueAt(object + barrierCount);
    if (++barrierArrived[object] >= count) {
        barrierArrived[object] = 0;
        ++barrierRound[object];
        emulateReturn(index, PTHREAD_BARRIER_SERIAL_THREAD);
        step.result = PTHREAD_BARRIER_SERIAL_THREAD;
        return;
    }
    thread.next = step;
    thread.next.half = true;
    thread.next.object = static_cast<uint64_t>(barrierRound[object]);
    thread.keepNext = true;
}

void Execution::create(int index, Step &step) {
    const Registers registers = registersOf(held[static_cast<size_t>(index)].tid);
    creating = callArgument(registers, 2);
    const uint64_t handleAt = callArgument(registers, 0);
    const size_t before = held.size();
    const Ran ran = runCall(index, step.pc);
    creating = 0;
    if (ran != Ran::returned)
        return;
    step.result = static_cast<int>(returnValue(registersOf(held[static_cast<size_t>(index)].tid)));
    holdNewThreads();
    if (held.size() > before) {
        held[before].handle = process.readWord(handleAt);
        step.object = before;
    }
}
