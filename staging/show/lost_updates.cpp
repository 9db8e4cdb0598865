// Updates lost in any program: a store that writes what its thread loaded, changed by one,
// over another thread's change made since that load. Under store buffers a store is judged
// when it reaches memory.
#include "lost_updates.h"

#include <deque>
#include <map>
#include <utility>

namespace {

// What a thread loaded from a place, at which step, and the first change that another
// thread has made there since (none: `changed` false).
struct Seen {
    uint64_t value = 0;
    size_t load = 0;
    bool changed = false;
    size_t change = 0;
};
// By (thread, address), whose last access was a load.
using Loads = std::map<std::pair<int, uint64_t>, Seen>;

// Under store buffers, a store not yet in memory, with what its thread had loaded from there.
struct Waiting {
    Step store;
    bool loaded = false;
    Seen seen;
};

// Whether a store (or a swap, not a change by one made indivisibly) writes what its thread
// loaded, changed by one, over another thread's change made since the load.
bool overwritesStale(const Step &step, const Seen *seen) {
    const auto change = static_cast<int32_t>(step.value - step.before);
    const bool indivisibleChange = step.kind == StepKind::update && (change == 1 || change == -1);
    if (step.kind == StepKind::load || indivisibleChange || seen == nullptr || !seen->changed)
        return false;
    const auto delta = static_cast<int64_t>(step.value - seen->value);
    return step.half || delta == 1 || delta == -1;
}

// Following a run's memory steps: each thread's last loads, its stores still buffered, and
// the updates lost so far.
struct Following {
    Loads loads;
    std::map<int, std::deque<Waiting>> buffered;
    std::vector<LostUpdate> lost;

    // A change in memory, by step `at`, changes what the other threads loaded from there,
    // for their stores to come and for those waiting in their buffers.
    void changes(const Step &step, size_t at) {
        auto mark = [&step, at](int thread, uint64_t address, Seen &seen) {
            if (address == step.address && thread != step.thread && step.value != seen.value &&
                !seen.changed) {
                seen.changed = true;
                seen.change = at;
            }
        };
        for (auto &[key, seen] : loads)
            mark(key.first, key.second, seen);
        for (auto &[thread, waiting] : buffered)
            for (Waiting &store : waiting)
                if (store.loaded)
                    mark(thread, store.store.address, store.seen);
    }

    void check(const Step &store, const Seen *seen, size_t at) {
        if (overwritesStale(store, seen))
            lost.push_back({seen->load, at, seen->change, store.address});
    }

    // A buffered store reaching memory, judged against what its thread had loaded.
    void arrives(const Step &arrival, size_t at) {
        std::deque<Waiting> &waiting = buffered[arrival.thread];
        if (waiting.empty())
            return;
        const Waiting waited = waiting.front();
        waiting.pop_front();
        Step store = waited.store;
        store.before = arrival.before;
        check(store, waited.loaded ? &waited.seen : nullptr, at);
        changes(arrival, at);
    }

    void take(const Step &step, size_t at) {
        const auto key = std::make_pair(step.thread, step.address);
        const auto found = loads.find(key);
        const Seen *seen = found != loads.end() ? &found->second : nullptr;
        if (step.kind == StepKind::load) {
            loads[key] = {step.value, at, false, 0};
        } else if (step.buffered) { // judged when it reaches memory
            buffered[step.thread].push_back({step, seen != nullptr, seen ? *seen : Seen{}});
            loads.erase(key);
        } else if (step.kind == StepKind::flush) {
            arrives(step, at);
        } else {
            check(step, seen, at);
            loads.erase(key);
            if (step.kind == StepKind::store || step.value != step.before)
                changes(step, at);
        }
    }
};

} // namespace

std::vector<LostUpdate> lostUpdatesOf(const std::vector<Step> &steps) {
    Following following;
    for (size_t at = 0; at < steps.size(); ++at)
        if (isMemory(steps[at].kind))
            following.take(steps[at], at);
    return following.lost;
}

unsigned lostUpdates(const std::vector<Step> &steps, uint64_t &where) {
    const std::vector<LostUpdate> lost = lostUpdatesOf(steps);
    if (!lost.empty())
        where = lost.front().address;
    return static_cast<unsigned>(lost.size());
}
