// Races of a run, found on its whole path once it has ended: for each step, the last step of
// another thread that it depends on without an order between them through other steps.
#include "races.h"

#include <algorithm>

namespace {

// Whether step `later` could have come before `earlier`, from the state before `earlier`: a
// lock taken after its release could not (the release is what let it go), nor a join before
// the end it waits for, nor a wake before its signal.
bool reversible(const Choice &earlier, const Choice &later) {
    // A store's arrival in memory cannot come before the store. (A buffered store touches
    // its own place alone: the arrival's is the one store it depends on.)
    if (later.kind == StepKind::flush && earlier.kind == StepKind::store)
        return false;
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
               const std::vector<int> &before, const Actors &actors, Reduction &reduction) {
    Choice &choice = path[j];
    std::vector<int> leading;
    for (const int candidate : choice.enabled) {
        bool leads = candidate == thread;
        for (size_t k = j + 1; k < i && !leads; ++k)
            leads = path[k].taken == candidate &&
                    before[actors.slot(candidate)] >= static_cast<int>(k) + 1;
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

Actors::Actors(const std::vector<Choice> &path, const std::vector<Choice> &pending) {
    for (const auto *steps : {&path, &pending})
        for (const Choice &choice : *steps) {
            actors.push_back(choice.taken);
            if (choice.created >= 0)
                actors.push_back(choice.created);
            actors.insert(actors.end(), choice.enabled.begin(), choice.enabled.end());
        }
    std::sort(actors.begin(), actors.end());
    actors.erase(std::unique(actors.begin(), actors.end()), actors.end());
}

size_t Actors::slot(int actor) const {
    return static_cast<size_t>(std::lower_bound(actors.begin(), actors.end(), actor) -
                               actors.begin());
}

std::vector<std::vector<int>> clocksOf(const std::vector<Choice> &path, const Actors &actors) {
    const size_t slots = actors.size();
    std::vector<std::vector<int>> clocks(path.size(), std::vector<int>(slots, 0));
    std::vector<std::vector<int>> own(slots, std::vector<int>(slots, 0));
    for (size_t i = 0; i < path.size(); ++i) {
        const size_t actor = actors.slot(path[i].taken);
        std::vector<int> clock = own[actor];
        for (size_t j = 0; j < i; ++j)
            if (path[j].taken != path[i].taken && !independent(path[j].touches, path[i].touches))
                for (size_t t = 0; t < slots; ++t)
                    clock[t] = std::max(clock[t], clocks[j][t]);
        clock[actor] = static_cast<int>(i) + 1;
        clocks[i] = clock;
        own[actor] = clock;
        if (path[i].created >= 0) // a thread starts after its making
            own[actors.slot(path[i].created)] = clock;
    }
    return clocks;
}

// The races of `step`, taken at `i` (or at the end, for one not taken), with the steps before
// it, `before` its thread's clock before it.
static void racesOf(std::vector<Choice> &path, size_t i, const Choice &step,
                    const std::vector<int> &before, const Actors &actors, Reduction &reduction) {
    for (size_t j = i; j-- > 0;) {
        const int other = path[j].taken;
        if (other == step.taken || independent(path[j].touches, step.touches) ||
            before[actors.slot(other)] >= static_cast<int>(j) + 1)
            continue;
        if (!reversible(path[j], step))
            continue; // what let it go, not a race: the one before may be
        backtrack(path, j, i, step.taken, before, actors, reduction);
        // A wait or a lock raced with a release may race with the take before it too, where
        // the release would not let the other order begin.
        if (!takes(step.kind) || !releases(path[j].kind))
            return;
    }
}

void addBacktracks(std::vector<Choice> &path, const std::vector<Choice> &pending,
                   Reduction &reduction) {
    const Actors actors(path, pending);
    const std::vector<std::vector<int>> clocks = clocksOf(path, actors);
    std::vector<std::vector<int>> own(actors.size(), std::vector<int>(actors.size(), 0));
    for (size_t i = 0; i < path.size(); ++i) {
        const size_t actor = actors.slot(path[i].taken);
        racesOf(path, i, path[i], own[actor], actors, reduction);
        own[actor] = clocks[i];
        if (path[i].created >= 0)
            own[actors.slot(path[i].created)] = clocks[i];
    }
    // At the end, each thread's step that it could not take.
    for (const Choice &step : pending)
        racesOf(path, path.size(), step, own[actors.slot(step.taken)], actors, reduction);
}
