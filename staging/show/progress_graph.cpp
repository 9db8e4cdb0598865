// Collecting runs into the progress graph of two threads.
#include "progress_graph.h"

#include <string.h>

#include <algorithm>
#include <map>

#include "class_grid.h"
#include "holding.h"

namespace {

// What a step touches, by name: the memory, or the lock (a condition wait's, its mutex).
std::string placeOf(const Step &step, const Places &places) {
    if (isMemory(step.kind))
        return places.name(step.address, step.size);
    if (takesLock(step) || releasesLock(step))
        return lockOf(step, places);
    if (step.routine == Routine::none || step.kind == StepKind::create ||
        step.kind == StepKind::join || step.kind == StepKind::end || step.kind == StepKind::exit)
        return "";
    return places.object(step.address, step.routine);
}

// Whether a step writes a value of its thread's own over what is there: a store, or an
// exchange, which is how a compiler may store an atomic at -O0 (not an add made whole,
// which changes what is there instead).
bool storesOver(const Step &step) {
    return step.kind == StepKind::store ||
           (step.kind == StepKind::update && step.instruction.rfind("xchg", 0) == 0);
}

// A step in a few words, for an axis.
std::string labelOf(const Step &step, const std::string &place) {
    switch (step.kind) {
    case StepKind::load:
        return "load " + place;
    case StepKind::store:
        return "store " + place;
    case StepKind::update:
        return storesOver(step) ? "store " + place + " (xchg)" : "change " + place + " whole";
    case StepKind::end:
        return "end";
    default:
        break;
    }
    // pthread_mutex_lock is "lock", pthread_cond_wait "cond_wait": short enough for an axis.
    std::string call = step.routine == Routine::none ? "call" : Routines::name(step.routine);
    for (const char *prefix : {"pthread_", "mutex_"})
        if (call.rfind(prefix, 0) == 0)
            call.erase(0, strlen(prefix));
    return place.empty() ? call : call + "(" + place + ")";
}

} // namespace

bool ProgressGraph::choose(const RunRecord &first, std::string &why) {
    std::vector<int> taking;
    for (size_t i = 1; i < first.threads.size(); ++i)
        if (std::any_of(first.steps.begin(), first.steps.end(),
                        [i](const Step &step) { return step.thread == static_cast<int>(i); }))
            taking.push_back(static_cast<int>(i));
    if (taking.size() == 1)
        taking.insert(taking.begin(), 0);
    if (taking.size() != 2) {
        why = "the graph shows two threads, and this program runs " +
              std::to_string(taking.size() + 1) + " that take steps";
        return false;
    }
    for (size_t side = 0; side < 2; ++side) {
        const Thread &thread = first.threads[static_cast<size_t>(taking[side])];
        axes[side].thread = taking[side];
        axes[side].letter = thread.letter;
        axes[side].name = thread.name;
    }
    return true;
}

// Whether a run's steps of the axis's thread are the axis's, or begin them; an axis that
// they go on from grows.
bool ProgressGraph::follow(Axis &axis, const std::vector<Step> &steps, const Places &places) {
    Axis theirs;
    for (const Step &step : steps) {
        if (step.thread != axis.thread)
            continue;
        theirs.places.push_back(placeOf(step, places));
        theirs.steps.push_back(labelOf(step, theirs.places.back()));
        theirs.taken.push_back(step);
    }
    const size_t common = std::min(theirs.steps.size(), axis.steps.size());
    if (!std::equal(theirs.steps.begin(), theirs.steps.begin() + static_cast<long>(common),
                    axis.steps.begin()))
        return false;
    if (theirs.steps.size() > axis.steps.size()) {
        axis.steps = theirs.steps;
        axis.places = theirs.places;
        axis.taken = theirs.taken;
    }
    return true;
}

void ProgressGraph::resize(OutcomeEdges &outcome) const {
    for (auto *grid : {&outcome.right, &outcome.down, &outcome.ends}) {
        grid->resize(across() + 1);
        for (std::vector<bool> &column : *grid)
            column.resize(down() + 1, false);
    }
}

bool ProgressGraph::add(const RunRecord &run, size_t outcome, const Places &places,
                        std::string &why) {
    for (Axis &side : axes)
        if (!follow(side, run.steps, places)) {
            why = std::string(1, side.letter) +
                  "'s steps differ from run to run (a loop that waits?)";
            return false;
        }
    if (edges.size() <= outcome)
        edges.resize(outcome + 1);
    OutcomeEdges &into = edges[outcome];
    resize(into);
    const ClassGrid grid(run.path, axes[0].thread, axes[1].thread);
    const auto to = grid.waysTo();
    const auto on = grid.waysOn();
    for (size_t x = 0; x <= grid.across(); ++x)
        for (size_t y = 0; y <= grid.down(); ++y) {
            if (to[x][y] == 0)
                continue;
            if (grid.right(x, y) && on[x + 1][y] > 0)
                into.right[x][y] = true;
            if (grid.downward(x, y) && on[x][y + 1] > 0)
                into.down[x][y] = true;
        }
    if (grid.across() < across() || grid.down() < down())
        into.ends[grid.across()][grid.down()] = true;
    into.paths += to[grid.across()][grid.down()];
    return true;
}

void ProgressGraph::finish() {
    for (OutcomeEdges &outcome : edges)
        resize(outcome);
    // Each thread's load of a place followed, among its steps at that place, by its store.
    std::vector<std::pair<size_t, size_t>> pairs[2];
    for (size_t side = 0; side < 2; ++side) {
        std::map<uint64_t, size_t> lastLoad;
        const std::vector<Step> &steps = axes[side].taken;
        for (size_t i = 0; i < steps.size(); ++i) {
            if (!isMemory(steps[i].kind))
                continue;
            const auto found = lastLoad.find(steps[i].address);
            if (storesOver(steps[i]) && found != lastLoad.end())
                pairs[side].emplace_back(found->second, i);
            if (steps[i].kind == StepKind::load)
                lastLoad[steps[i].address] = i;
            else
                lastLoad.erase(steps[i].address);
        }
    }
    regions.clear();
    for (const auto &[loadA, storeA] : pairs[0])
        for (const auto &[loadB, storeB] : pairs[1])
            if (axes[0].taken[loadA].address == axes[1].taken[loadB].address)
                regions.push_back({loadA + 1, storeA, loadB + 1, storeB, axes[0].places[loadA]});
}

bool ProgressGraph::reached(size_t x, size_t y, const std::vector<OutcomeKey> &keys,
                            unsigned which) const {
    for (size_t k = 0; k < edges.size(); ++k) {
        const OutcomeEdges &e = edges[k];
        if ((which & (k < keys.size() && keys[k].failing ? 2U : 1U)) == 0 || e.paths == 0)
            continue;
        if ((x == 0 && y == 0) || e.right[x][y] || e.down[x][y] || e.ends[x][y] ||
            (x > 0 && e.right[x - 1][y]) || (y > 0 && e.down[x][y - 1]))
            return true;
    }
    return false;
}

std::vector<std::string> ProgressGraph::heldBy(const Axis &axis, size_t x) {
    std::vector<std::string> held; // as locksHeld, by the names the axis keeps
    for (size_t i = 0; i < x && i < axis.taken.size(); ++i)
        holdAfter(held, axis.taken[i], axis.places[i]);
    return held;
}

std::string ProgressGraph::bothHold(size_t x, size_t y) const {
    const std::vector<std::string> a = heldBy(axes[0], x);
    for (const std::string &lock : heldBy(axes[1], y))
        if (std::find(a.begin(), a.end(), lock) != a.end())
            return lock;
    return "";
}
