// Races of a run, found on its whole path once it has ended: for each step, the last step of
// another thread that it depends on without an order between them through other steps.
#include "races.h"

#include <algorithm>

namespace {

// Whether step `later` could have come before `earlier`, from the state before `earlier`: a
// lock taken after its release could not (the release is what let it go), nor a join before
// the end it waits for, nor a wake before its signal.
bool reversible(const Choice &earlier, const Choice &later) {
    if (later.kind == StepKind::lock || later.kind == StepKind::readLock)
        return earlier.kind != StepKind::unlock;
    if (later.kind == StepKind::join)
        return earlier.kind != StepKind::end;
    if (later.kind == StepKind::condWake)
        return earlier.kind != StepKind::condSignal && earlier.kind != StepKind::condBroadcast;
    return true;
}

bool takes(StepKind kind) {
    return kind == StepKind::lock || kind == StepKind::readLock || kind == StepKind::trylock ||
           kind == StepKind::semWait || kind == StepKind::semTrywait;
}

bool releases(StepKind kind) {
    return kind == StepKind::unlock || kind == StepKind::semPost || kind == StepKind::condWait;
}

// Thread `thread` to be tried from the state of `at`, or, where the preemption bound does not
// allow it there, from the last state before it where switching to it is no preemption.
void schedule(std::vector<Choice> &path, size_t at, int thread, Reduction &reduction) {
    Choice &choice = path[at];
    if (choice.tried(thread) || choice.asleep(thread))
        return;
    if (choice.preemptions + (choice.preempts(thread) ? 1U : 0U) <= reduction.preemptionBound) {
        choice.backtrack.push_back(thread);
        return;
    }
    reduction.cut = true;
    for (size_t before = at; before-- > 0;) {
        Choice &earlier = path[before];
        const bool can = std::find(earlier.enabled.begin(), earlier.enabled.end(), thread) !=
                         earlier.enabled.end();
        if (can && !earlier.preempts(thread)) {
            if (!earlier.tried(thread) && !earlier.asleep(thread))
                earlier.backtrack.push_back(thread);
            return;
        }
    }
}

// The race of step `i` (by `thread`, touching `touches`) with the step at `j`: which thread to
// try first at the state before `j`. One that can go there and leads to `i`: the thread
// itself, or one whose later step happens before `i`; failing that, every one that can go.
void backtrack(std::vector<Choice> &path, size_t j, size_t i, int thread,
               const std::vector<int> &before, Reduction &reduction) {
    Choice &choice = path[j];
    std::vector<int> leading;
    for (const int candidate : choice.enabled) {
        bool leads = candidate == thread;
        for (size_t k = j + 1; k < i && !leads; ++k)
            leads = path[k].taken == candidate &&
                    before[static_cast<size_t>(candidate)] >= static_cast<int>(k) + 1;
        if (leads)
            leading.push_back(candidate);
    }
    if (std::any_of(leading.begin(), leading.end(),
                    [&choice](int candidate) { return choice.tried(candidate); }))
        return;
    if (!leading.empty()) {
        schedule(path, j, leading.front(), reduction);
        return;
    }
    for (const int candidate : choice.enabled)
        schedule(path, j, candidate, reduction);
}

} // namespace

std::vector<std::vector<int>> clocksOf(const std::vector<Choice> &path, size_t threads) {
    std::vector<std::vector<int>> clocks(path.size(), std::vector<int>(threads, 0));
    std::vector<std::vector<int>> own(threads, std::vector<int>(threads, 0));
    for (size_t i = 0; i < path.size(); ++i) {
        const auto thread = static_cast<size_t>(path[i].taken);
        std::vector<int> clock = own[thread];
        for (size_t j = 0; j < i; ++j)
            if (path[j].taken != path[i].taken && !independent(path[j].touches, path[i].touches))
                for (size_t t = 0; t < threads; ++t)
                    clock[t] = std::max(clock[t], clocks[j][t]);
        clock[thread] = static_cast<int>(i) + 1;
        clocks[i] = clock;
        own[thread] = clock;
        if (path[i].created >= 0 && static_cast<size_t>(path[i].created) < threads)
            own[static_cast<size_t>(path[i].created)] = clock; // a thread starts after its making
    }
    return clocks;
}

// The races of `step`, taken at `i` (or at the end, for one not taken), with the steps before
// it, `before` its thread's clock before it.
static void racesOf(std::vector<Choice> &path, size_t i, const Choice &step,
                    const std::vector<int> &before, Reduction &reduction) {
    for (size_t j = i; j-- > 0;) {
        const int other = path[j].taken;
        if (other == step.taken || independent(path[j].touches, step.touches) ||
            before[static_cast<size_t>(other)] >= static_cast<int>(j) + 1)
            continue;
        if (!reversible(path[j], step))
            continue; // what let it go, not a race: the one before may be
        backtrack(path, j, i, step.taken, before, reduction);
        // A wait or a lock raced with a release may race with the take before it too, where
        // the release would not let the other order begin.
        if (!takes(step.kind) || !releases(path[j].kind))
            return;
    }
}

void addBacktracks(std::vector<Choice> &path, const std::vector<Choice> &pending,
                   Reduction &reduction) {
    size_t threads = 0;
    for (const Choice &choice : path)
        threads = std::max(threads, static_cast<size_t>(choice.taken) + 1);
    for (const Choice &choice : pending)
        threads = std::max(threads, static_cast<size_t>(choice.taken) + 1);
    const std::vector<std::vector<int>> clocks = clocksOf(path, threads);
    std::vector<std::vector<int>> own(threads, std::vector<int>(threads, 0));
    for (size_t i = 0; i < path.size(); ++i) {
        racesOf(path, i, path[i], own[static_cast<size_t>(path[i].taken)], reduction);
        own[static_cast<size_t>(path[i].taken)] = clocks[i];
        if (path[i].created >= 0 && static_cast<size_t>(path[i].created) < threads)
            own[static_cast<size_t>(path[i].created)] = clocks[i];
    }
    // At the end, each thread's step that it could not take.
    for (const Choice &step : pending)
        racesOf(path, path.size(), step, own[static_cast<size_t>(step.taken)], reduction);
}
