// The words for how runs end.
#include "outcome_text.h"

#include <signal.h>
#include <string.h>

#include <algorithm>

#include "holding.h"
#include "names.h"

namespace {

std::string firstLine(const std::string &text) {
    return visible(text.substr(0, text.find('\n')));
}

} // namespace

bool failed(const Ending &ending) {
    // An exit with a status other than 0 fails; a run whose program replaced itself (exec,
    // status -1) does not.
    return (ending.kind == Ending::exited && ending.status > 0) ||
           ending.kind == Ending::signalled || ending.kind == Ending::deadlock;
}

std::string waitText(const Thread &thread, const std::vector<Thread> &threads,
                     const Places &places) {
    const Step &next = thread.next;
    std::string who(1, thread.letter);
    if (thread.state == ThreadState::spinning)
        return who + " spins on " +
               places.name(thread.waitsOn.empty() ? next.address : thread.waitsOn.front(),
                           next.size);
    if (thread.state == ThreadState::asleep)
        return who + " sleeps in the kernel";
    if (drains(next.kind) && !thread.buffer.empty())
        return who + " waits for its buffer to empty";
    if (next.kind == StepKind::join && next.object < threads.size())
        return who + " joins " + threads[next.object].letter;
    if (next.kind == StepKind::condWake)
        return who + " waits on " + places.object(next.address, next.routine) + " for a signal";
    if (next.kind == StepKind::barrier)
        return who + " waits at " + places.object(next.address, next.routine);
    std::string text = who + " waits for " + places.object(next.address, next.routine);
    if (thread.heldBy >= 0)
        text +=
            std::string(" (held by ") + threads[static_cast<size_t>(thread.heldBy)].letter + ")";
    return text;
}

std::vector<Stuck> stuckThreads(const RunRecord &run, const Places &places) {
    std::vector<Stuck> stuck;
    std::vector<std::vector<std::string>> held(run.threads.size());
    for (size_t i = 0; i < run.threads.size(); ++i)
        held[i] = locksHeld(run.steps, static_cast<int>(i), places);
    for (size_t i = 0; i < run.threads.size(); ++i) {
        const Thread &thread = run.threads[i];
        if (thread.state == ThreadState::ended || thread.state == ThreadState::done)
            continue;
        // Who it waits for: the thread it joins, or the one that holds what it waits to take
        // (a semaphore has no owner: the thread that took it and has not posted it).
        const Step &next = thread.next;
        int waitsFor = next.kind == StepKind::join ? static_cast<int>(next.object) : -1;
        const std::string lock = lockOf(next, places);
        for (size_t other = 0; other < held.size() && waitsFor < 0; ++other)
            if (other != i &&
                std::find(held[other].begin(), held[other].end(), lock) != held[other].end() &&
                (takesLock(next) || next.kind == StepKind::semWait))
                waitsFor = static_cast<int>(other);
        // "L holds first and waits for second (held by R)".
        std::string holds;
        for (const std::string &name : held[i])
            holds += (holds.empty() ? " holds " : ", ") + name;
        std::string words = waitText(thread, run.threads, places);
        if (thread.heldBy < 0 && waitsFor >= 0 && next.kind != StepKind::join)
            words.append(" (held by ")
                .append(1, run.threads[static_cast<size_t>(waitsFor)].letter)
                .append(")");
        if (!holds.empty())
            words.insert(1, holds + " and"); // after the letter: "L holds first and waits..."
        stuck.push_back({static_cast<int>(i), words, waitsFor});
    }
    return stuck;
}

std::vector<std::string> deadlockCycle(const std::vector<Stuck> &stuck) {
    auto find = [&stuck](int thread) {
        return std::find_if(stuck.begin(), stuck.end(),
                            [thread](const Stuck &one) { return one.thread == thread; });
    };
    for (const Stuck &start : stuck) {
        // Follow who waits for whom from here: back at `start`, the way round is the cycle.
        std::vector<std::string> cycle{start.words};
        for (auto at = find(start.waitsFor); at != stuck.end() && cycle.size() <= stuck.size();
             at = find(at->waitsFor)) {
            if (at->thread == start.thread)
                return cycle;
            cycle.push_back(at->words);
        }
    }
    return {};
}

std::string endingText(const RunRecord &run, const Places &places) {
    const Ending &ending = run.ending;
    switch (ending.kind) {
    case Ending::exited:
        return ending.status < 0 ? ending.message : "exit " + std::to_string(ending.status);
    case Ending::signalled: {
        if (ending.status == SIGABRT)
            return "abort" + (run.errors.empty() ? std::string() : ": " + firstLine(run.errors));
        const char *name = sigabbrev_np(ending.status);
        std::string text = std::string("signal SIG") + (name != nullptr ? name : "?");
        if (!ending.source.empty())
            text += " at " + ending.source;
        if (!ending.instruction.empty())
            text += (ending.source.empty() ? " at " : ": ") + ending.instruction;
        return text;
    }
    case Ending::deadlock: {
        std::string text = "deadlock:";
        const char *separator = " ";
        for (const Stuck &stuck : stuckThreads(run, places)) {
            text += separator + stuck.words;
            separator = ", ";
        }
        return text;
    }
    case Ending::bound:
        return "bound: " + ending.message;
    case Ending::passes:
        return "passes made";
    default:
        return "running";
    }
}

// The program's output in one cell: its newlines as \n, every other control character
// escaped.
std::string shownOutput(const std::string &printed) {
    std::string shown;
    for (size_t at = 0; at < printed.size();) {
        const size_t end = std::min(printed.find('\n', at), printed.size());
        shown += visible(printed.substr(at, end - at));
        if (end < printed.size())
            shown += "\\n";
        at = end + 1;
    }
    return shown;
}

std::string cell(const std::string &text, size_t width) {
    if (text.size() <= width)
        return text + std::string(width - text.size(), ' ');
    return text.substr(0, width - 3) + "...";
}
