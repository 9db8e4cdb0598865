// Taking a step: the event itself, then the thread's own code up to its next one; and what
// the step changed for the others (a store wakes a thread that spins on it).
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/ptrace.h>
#include <unistd.h>

#include <algorithm>

#include "execution.h"
#include "watch.h"

namespace {

// Tens of milliseconds that a run waits for a thread asleep in the kernel to wake.
constexpr unsigned sleeperPatience = 200;

uint64_t granule(uint64_t address) {
    return address >> 3;
}

bool readsOnly(const Step &step) {
    if (step.kind == StepKind::load)
        return true;
    if (step.kind == StepKind::update)
        return step.value == step.before;
    // A try that failed changed nothing.
    return (step.routine == Routine::mutexTrylock || step.routine == Routine::spinTrylock ||
            step.routine == Routine::semTrywait || step.routine == Routine::tryReadLock ||
            step.routine == Routine::tryWriteLock) &&
           step.result != 0;
}

} // namespace

uint64_t Execution::readValue(uint64_t address, unsigned size) const {
    uint64_t value = 0;
    process.read(address, &value, std::min(size, 8U));
    return value;
}

int32_t Execution::valueAt(uint64_t address) const {
    return static_cast<int32_t>(readValue(address, 4));
}

void Execution::memoryStep(int index, Step &step) {
    Thread &thread = held[static_cast<size_t>(index)];
    std::vector<Buffered> saved; // memory under the thread's own buffered stores, for a load
    if (storeBuffers() && step.kind == StepKind::load)
        overlayBuffer(index, step, saved);
    if (step.half && step.kind == StepKind::load) {
        // The load half: what it sees is kept; the instruction waits for its store half.
        step.value = readValue(step.address, step.size);
        thread.stale = step.value;
        thread.halfDone = true;
        restore(saved);
        return;
    }
    const bool buffers = storeBuffers() && step.kind == StepKind::store;
    const std::vector<uint8_t> before = buffers ? storeStart(step) : std::vector<uint8_t>();
    if (step.half) {
        // The store half computes from what the load half saw, whatever is there now.
        step.before = readValue(step.address, step.size);
        uint64_t stale = thread.stale;
        process.write(step.address, &stale, step.size);
        thread.halfDone = false;
    } else {
        step.value = readValue(step.address, step.size);
        step.before = step.value;
    }
    step1(index);
    if (over())
        return;
    restore(saved);
    if (step.kind != StepKind::load)
        step.value = readValue(step.address, step.size);
    if (buffers)
        buffer(index, step, before);
}

Step Execution::take(int actor) {
    if (isBuffer(actor))
        return flush(ownerOf(actor));
    const int index = actor;
    Thread &thread = held[static_cast<size_t>(index)];
    Step step = thread.next;
    step.thread = index;
    mayHavePrinted = !isMemory(step.kind) && step.kind != StepKind::fence;
    const uint64_t snapshot = thread.snapshot;
    switch (step.kind) {
    case StepKind::load:
    case StepKind::store:
    case StepKind::update:
        memoryStep(index, step);
        break;
    case StepKind::wakes:
        if (goOn(index) == Ran::returned)
            holdNewThreads();
        break;
    case StepKind::fence:
        step1(index); // its buffer is empty now: the fence has nothing to wait for
        break;
    case StepKind::libraryCall:
        break; // its buffer is empty: the call runs with the thread's own code after it
    case StepKind::end:
    case StepKind::exit:
        finish(index, step);
        break;
    default:
        call(index, step);
        break;
    }
    Thread &after = held[static_cast<size_t>(index)];
    ++after.steps;
    if (readsOnly(step)) {
        after.readSince[{step.pc, step.address}] = {stores[granule(step.address)], snapshot};
    } else if (step.kind != StepKind::sleep) {
        after.readSince.clear();
    }
    for (const Touch &touch : step.touches)
        if (touch.writes && !(readsOnly(step)))
            stored(touch.address);
    if (!over() && after.state == ThreadState::ready && !after.keepNext)
        advance(index); // which may start threads: `after` is not to be used past here
    at(index).keepNext = false;
    wakeSleepers();
    takeErrors();
    if (mayHavePrinted)
        step.printed = output->take();
    if (!step.printed.empty()) {
        step.touches.push_back({outputPlace, 1, true});
        at(index).lines +=
            static_cast<unsigned>(std::count(step.printed.begin(), step.printed.end(), '\n'));
    }
    if (!over()) {
        checkSpin(index);
        checkBounds(index);
    }
    return step;
}

// A store: every thread that spins on what it changed can go on.
void Execution::stored(uint64_t address) {
    ++stores[granule(address)];
    for (Thread &thread : held) {
        if (thread.state != ThreadState::spinning)
            continue;
        if (std::any_of(thread.waitsOn.begin(), thread.waitsOn.end(),
                        [address](uint64_t at) { return granule(at) == granule(address); }))
            thread.state = ThreadState::ready;
    }
}

// A thread about to read again what it read before, in the same state of its own, with
// nothing it has read since changed by anyone: it would only go round again. It waits.
void Execution::checkSpin(int index) {
    Thread &thread = held[static_cast<size_t>(index)];
    const Step &next = thread.next;
    const bool rereads =
        next.kind == StepKind::load || next.kind == StepKind::update ||
        next.routine == Routine::mutexTrylock || next.routine == Routine::spinTrylock ||
        next.routine == Routine::semTrywait || next.routine == Routine::tryReadLock ||
        next.routine == Routine::tryWriteLock;
    if (thread.state != ThreadState::ready || !rereads)
        return;
    Registers registers = registersOf(thread.tid);
    forgetFlags(registers);
    uint64_t snapshot = 0xcbf29ce484222325ULL;
    for (size_t i = 0; i < sizeof registers; ++i)
        snapshot =
            (snapshot ^ reinterpret_cast<const unsigned char *>(&registers)[i]) * 0x100000001b3ULL;
    unsigned char frame[256] = {};
    const uint64_t sp = stackPointer(registers);
    const uint64_t top = std::min<uint64_t>(sp + sizeof frame, thread.stackHigh);
    if (top > sp && process.read(sp, frame, top - sp))
        for (size_t i = 0; i < top - sp; ++i)
            snapshot = (snapshot ^ frame[i]) * 0x100000001b3ULL;
    thread.snapshot = snapshot;
    const auto seen = thread.readSince.find({next.pc, next.address});
    if (seen == thread.readSince.end() || seen->second.second != snapshot)
        return;
    for (const auto &[key, when] : thread.readSince)
        if (stores[granule(key.second)] != when.first)
            return;
    thread.state = ThreadState::spinning;
    thread.waitsOn.clear();
    for (const auto &[key, when] : thread.readSince)
        thread.waitsOn.push_back(key.second);
}

void Execution::checkBounds(int index) {
    Thread &thread = held[static_cast<size_t>(index)];
    // A pass ends where the next begins: back at the thread's first step, holding no lock
    // (one of the program's own, a spin lock's flag, is let go before it gets there).
    if (limit.passes != 0 && index != 0 && thread.lines >= limit.passes && thread.holding == 0 &&
        thread.state == ThreadState::ready &&
        (thread.next.pc == thread.loopHead || thread.next.kind == StepKind::end))
        thread.state = ThreadState::done;
    if (thread.steps >= limit.stepsPerThread && thread.state != ThreadState::ended &&
        thread.state != ThreadState::done) {
        end.kind = Ending::bound;
        end.message = std::string("thread ") + thread.letter + " took " +
                      std::to_string(limit.stepsPerThread) + " steps";
        process.kill();
    }
}

bool Execution::canTake(int actor) const {
    const Thread &thread = held[static_cast<size_t>(ownerOf(actor))];
    if (over())
        return false;
    if (isBuffer(actor))
        return !thread.buffer.empty();
    const bool waitsForBuffer = drains(thread.next.kind) && !thread.buffer.empty();
    return thread.state == ThreadState::ready && !waitsForBuffer && !wouldBlock(actor);
}

std::vector<int> Execution::takeable() const {
    std::vector<int> found;
    for (size_t i = 0; i < held.size(); ++i)
        if (canTake(static_cast<int>(i)))
            found.push_back(static_cast<int>(i));
    for (size_t i = 0; i < held.size(); ++i)
        if (canTake(bufferOf(static_cast<int>(i))))
            found.push_back(bufferOf(static_cast<int>(i)));
    return found;
}

bool Execution::settle() {
    if (over())
        return true;
    // A thread asleep in the kernel may be woken by what no thread of the model does (a child
    // process that ends, a file): it is given a moment before the run is called a deadlock.
    for (unsigned waited = 0; waited < sleeperPatience; ++waited) {
        if (std::none_of(held.begin(), held.end(),
                         [](const Thread &t) { return t.state == ThreadState::asleep; }))
            break;
        wakeSleepers();
        if (!takeable().empty())
            return false;
        pollfd ready = {signalsToWatch(), POLLIN, 0};
        poll(&ready, 1, 10);
        takeSignals();
    }
    const bool allDone = std::all_of(held.begin() + 1, held.end(), [](const Thread &thread) {
        return thread.state == ThreadState::done || thread.state == ThreadState::ended;
    });
    end.kind = limit.passes != 0 && held.size() > 1 && allDone ? Ending::passes : Ending::deadlock;
    for (Thread &thread : held)
        if (thread.state == ThreadState::ready &&
            (thread.next.kind == StepKind::lock || thread.next.kind == StepKind::condWake))
            thread.heldBy = holder(thread.next.kind == StepKind::lock ? thread.next.address
                                                                      : thread.next.object);
    takeErrors();
    process.kill();
    return true;
}

void Execution::takeErrors() {
    char chunk[4096];
    ssize_t got;
    while (errors >= 0 && (got = read(errors, chunk, sizeof chunk)) > 0)
        if (end.message.size() < 4096)
            stderrText.append(chunk, static_cast<size_t>(got));
}
