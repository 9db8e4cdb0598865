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

// What the path knows of the order of its steps: the clock of each step taken, and of the
// step `i` whose races are sought (taken, or at the end one not taken).
struct Order {
    const std::vector<Choice> &path;
    const std::vector<std::vector<int>> &clocks;
    const std::vector<int> &last; // the clock of step i, its own dependences included
    const Actors &actors;
    size_t i;

    // Whether step `a` happens before step `b` (a < b <= i).
    bool before(size_t a, size_t b) const {
        const std::vector<int> &clock = b == i ? last : clocks[b];
        return clock[actors.slot(path[a].taken)] >= static_cast<int>(a) + 1;
    }
};

// The race of step `i` (by `thread`) with the step at `j`: which thread to try first at the
// state before `j`, so that `i` can come before it. The steps after `j` that do not follow
// from it, then `i`, are an order to run instead; a thread that can go at `j` and whose first
// step there has none of them before it can begin that order. Where one of those has been
// tried there, the race is covered; else the first that is not asleep there is tried (one
// asleep has been tried at a state above, from which that order was run). Where none can go
// at `j`, every thread that can is tried.
void backtrack(std::vector<Choice> &path, size_t j, int thread, const Order &order,
               Reduction &reduction) {
    Choice &choice = path[j];
    std::vector<size_t> instead; // the steps after j that do not follow from it
    for (size_t k = j + 1; k < order.i; ++k)
        if (!order.before(j, k))
            instead.push_back(k);
    instead.push_back(order.i);
    std::vector<int> initials;
    for (const int candidate : choice.enabled) {
        const auto first = std::find_if(instead.begin(), instead.end(), [&](size_t k) {
            return k == order.i ? candidate == thread : path[k].taken == candidate;
        });
        if (first != instead.end() &&
            std::none_of(instead.begin(), first, [&](size_t k) { return order.before(k, *first); }))
            initials.push_back(candidate);
    }
    if (std::any_of(initials.begin(), initials.end(),
                    [&choice](int candidate) { return choice.tried(candidate); }))
        return;
    const auto awake = std::find_if(initials.begin(), initials.end(),
                                    [&choice](int candidate) { return !choice.asleep(candidate); });
    if (awake != initials.end()) {
        schedule(path, j, *awake, reduction);
        return;
    }
    if (!initials.empty())
        return;
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
// it, `before` its thread's clock before it. Every earlier step that it depends on with no
// order between them races with it, not only the last: two loads of a place, in either order,
// each race with a store after them. An earlier one that happens before a race already taken
// is left out, as reversing that race reverses it too.
static void racesOf(std::vector<Choice> &path, const Choice &step, const std::vector<int> &before,
                    const Order &order, Reduction &reduction) {
    std::vector<size_t> covering; // the races taken whose reversal covers those before them
    for (size_t j = order.i; j-- > 0;) {
        const int other = path[j].taken;
        const size_t slot = order.actors.slot(other);
        if (other == step.taken || independent(path[j].touches, step.touches) ||
            before[slot] >= static_cast<int>(j) + 1)
            continue;
        if (!reversible(path[j], step))
            continue; // what let it go, not a race: the one before may be
        if (std::any_of(covering.begin(), covering.end(),
                        [&](size_t later) { return order.before(j, later); }))
            continue;
        backtrack(path, j, step.taken, order, reduction);
        // A wait or a lock raced with a release may race with the take before it too, where
        // the release would not let the other order begin: a release covers nothing.
        if (!takes(step.kind) || !releases(path[j].kind))
            covering.push_back(j);
    }
}

void addBacktracks(std::vector<Choice> &path, const std::vector<Choice> &pending,
                   Reduction &reduction) {
    const Actors actors(path, pending);
    const std::vector<std::vector<int>> clocks = clocksOf(path, actors);
    std::vector<std::vector<int>> own(actors.size(), std::vector<int>(actors.size(), 0));
    for (size_t i = 0; i < path.size(); ++i) {
        const size_t actor = actors.slot(path[i].taken);
        racesOf(path, path[i], own[actor], Order{path, clocks, clocks[i], actors, i}, reduction);
        own[actor] = clocks[i];
        if (path[i].created >= 0)
            own[actors.slot(path[i].created)] = clocks[i];
    }
    // At the end, each thread's step that it could not take, its clock made as a taken
    // step's would be.
    for (const Choice &step : pending) {
        const size_t actor = actors.slot(step.taken);
        std::vector<int> last = own[actor];
        for (size_t k = 0; k < path.size(); ++k)
            if (path[k].taken != step.taken && !independent(path[k].touches, step.touches))
                for (size_t t = 0; t < last.size(); ++t)
                    last[t] = std::max(last[t], clocks[k][t]);
        last[actor] = static_cast<int>(path.size()) + 1;
        racesOf(path, step, own[actor], Order{path, clocks, last, actors, path.size()}, reduction);
    }
}
