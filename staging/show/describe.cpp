// Steps in words.
#include "describe.h"

#include <errno.h>
#include <string.h>

#include <algorithm>

#include "outcome_text.h"

std::string number(unsigned size, uint64_t value) {
    switch (size) {
    case 1:
        return std::to_string(static_cast<int8_t>(value));
    case 2:
        return std::to_string(static_cast<int16_t>(value));
    case 4:
        return std::to_string(static_cast<int32_t>(value));
    default:
        return std::to_string(static_cast<int64_t>(value));
    }
}

namespace {

std::string letter(const Execution &run, int thread) {
    return thread >= 0 && static_cast<size_t>(thread) < run.threads().size()
               ? std::string(1, run.threads()[static_cast<size_t>(thread)].letter)
               : "?";
}

std::string lockState(const Step &step, const Execution &run, const Places &places) {
    std::string call = std::string(Routines::name(step.routine)) + "(" +
                       places.object(step.address, step.routine) + ")";
    switch (step.kind) {
    case StepKind::lock:
    case StepKind::readLock:
        return call + (step.result == 0 ? ": takes it" : ": times out");
    case StepKind::trylock:
        return call + (step.result == 0 ? ": takes it" : ": busy, not taken");
    case StepKind::unlock:
        return call + ": releases it";
    case StepKind::semWait:
    case StepKind::semTrywait:
        return call + (step.result == 0 ? ": takes it, value now " : ": value is 0, not taken") +
               (step.result == 0 ? std::to_string(run.valueAt(step.address)) : "");
    case StepKind::semPost:
        return call + ": value now " + std::to_string(run.valueAt(step.address));
    default:
        return call;
    }
}

} // namespace

std::string describe(const Step &step, const Execution &run, const Places &places) {
    const std::string where = places.name(step.address, step.size);
    switch (step.kind) {
    case StepKind::load:
        return "loads " + number(step.size, step.value) + " from " + where +
               (step.half ? ", to change it in place" : "") +
               (step.forwarded ? ", from its buffer" : "");
    case StepKind::store:
        return "stores " + number(step.size, step.value) + " to " + where +
               (step.half
                    ? ", from the " +
                          number(step.size, run.threads()[static_cast<size_t>(step.thread)].stale) +
                          " it loaded"
                    : "") +
               (step.buffered ? ", into " + letter(run, step.thread) + "'s buffer" : "");
    case StepKind::flush:
        return where + " = " + number(step.size, step.value) + " leaves " +
               letter(run, step.thread) + "'s buffer";
    case StepKind::fence:
        return "fence: its buffer empty, goes on";
    case StepKind::libraryCall:
        return "calls into the library, its buffer empty";
    case StepKind::update:
        return "changes " + where + " from " + number(step.size, step.before) + " to " +
               number(step.size, step.value) + ", indivisibly";
    case StepKind::condWait:
        return std::string(Routines::name(step.routine)) + "(" +
               places.object(step.address, step.routine) + "): releases " +
               places.object(step.object, Routine::mutexLock) + " and sleeps";
    case StepKind::condWake:
        return std::string(step.result == ETIMEDOUT ? "times out" : "wakes") + " and takes " +
               places.object(step.object, Routine::mutexLock) + " again";
    case StepKind::condSignal:
    case StepKind::condBroadcast:
        return std::string(Routines::name(step.routine)) + "(" +
               places.object(step.address, step.routine) + "): wakes " +
               (step.result == 0 ? "nobody" : std::to_string(step.result));
    case StepKind::barrier:
        return std::string("pthread_barrier_wait(") + places.object(step.address, step.routine) +
               (step.half ? "): all have come, goes on" : "): arrives");
    case StepKind::create:
        if (step.object == 0)
            return "pthread_create: fails";
        return "pthread_create: starts " + letter(run, static_cast<int>(step.object)) +
               (run.threads()[step.object].name.empty()
                    ? ""
                    : " (" + run.threads()[step.object].name + ")");
    case StepKind::join:
        return "pthread_join(" + letter(run, static_cast<int>(step.object)) + "): it has ended";
    case StepKind::sleep:
        return std::string(Routines::name(step.routine)) + ": returns at once";
    case StepKind::end:
        return "the thread ends";
    case StepKind::exit:
        return "the program ends";
    case StepKind::wakes:
        return "wakes in its call to the library";
    default:
        return lockState(step, run, places);
    }
}

std::string describeWait(int thread, const Execution &run, const Places &places) {
    const Thread &waiting = run.threads()[static_cast<size_t>(thread)];
    Thread copy = waiting;
    if (copy.next.kind == StepKind::lock || copy.next.kind == StepKind::condWake)
        copy.heldBy =
            run.holder(copy.next.kind == StepKind::lock ? copy.next.address : copy.next.object);
    return waitText(copy, run.threads(), places);
}

std::string bufferText(const Execution &run, const Places &places) {
    std::string text;
    for (const Thread &thread : run.threads()) {
        if (thread.buffer.empty())
            continue;
        text += std::string(text.empty() ? "buffers: " : "; ") + thread.letter + " holds";
        const char *separator = " ";
        for (const Buffered &entry : thread.buffer) {
            const auto size = static_cast<unsigned>(std::min<size_t>(entry.bytes.size(), 8));
            uint64_t value = 0;
            memcpy(&value, entry.bytes.data(), size);
            text += separator + places.name(entry.address, size) + " = " + number(size, value);
            separator = ", ";
        }
    }
    return text.empty() ? "buffers: all empty" : text;
}
