// Updates lost in any program: a store that writes what its thread loaded, changed by one,
// over another thread's change made since that load. Under store buffers a store is judged
// when it reaches memory.
#include "lost_updates.h"

#include <deque>
#include <map>
#include <utility>

namespace {

// (thread, address), whose last access was a load: the value it loaded, and whether another
// thread has changed it since.
using Seen = std::pair<uint64_t, bool>;
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
    if (step.kind == StepKind::load || indivisibleChange || seen == nullptr || !seen->second)
        return false;
    const auto delta = static_cast<int64_t>(step.value - seen->first);
    return step.half || delta == 1 || delta == -1;
}

// A change in memory changes what the other threads loaded from there, for their stores to
// come and for those waiting in their buffers.
void changeLoads(const Step &step, Loads &loads, std::map<int, std::deque<Waiting>> &buffered) {
    auto mark = [&step](int thread, uint64_t address, Seen &seen) {
        if (address == step.address && thread != step.thread && step.value != seen.first)
            seen.second = true;
    };
    for (auto &[key, seen] : loads)
        mark(key.first, key.second, seen);
    for (auto &[thread, waiting] : buffered)
        for (Waiting &store : waiting)
            if (store.loaded)
                mark(thread, store.store.address, store.seen);
}

} // namespace

namespace {

// Following a run's memory steps: each thread's last loads, its stores still buffered, and
// the updates lost so far.
struct Following {
    Loads loads;
    std::map<int, std::deque<Waiting>> buffered;
    unsigned lost = 0;
    uint64_t where = 0;

    void check(const Step &store, const Seen *seen) {
        if (!overwritesStale(store, seen))
            return;
        where = lost++ == 0 ? store.address : where; // the first
    }

    // A buffered store reaching memory, judged against what its thread had loaded.
    void arrives(const Step &arrival) {
        std::deque<Waiting> &waiting = buffered[arrival.thread];
        if (waiting.empty())
            return;
        const Waiting waited = waiting.front();
        waiting.pop_front();
        Step store = waited.store;
        store.before = arrival.before;
        check(store, waited.loaded ? &waited.seen : nullptr);
        changeLoads(arrival, loads, buffered);
    }

    void take(const Step &step) {
        const auto key = std::make_pair(step.thread, step.address);
        const auto found = loads.find(key);
        const Seen *seen = found != loads.end() ? &found->second : nullptr;
        if (step.kind == StepKind::load) {
            loads[key] = {step.value, false};
        } else if (step.buffered) { // judged when it reaches memory
            buffered[step.thread].push_back({step, seen != nullptr, seen ? *seen : Seen{}});
            loads.erase(key);
        } else if (step.kind == StepKind::flush) {
            arrives(step);
        } else {
            check(step, seen);
            loads.erase(key);
            if (step.kind == StepKind::store || step.value != step.before)
                changeLoads(step, loads, buffered);
        }
    }
};

} // namespace

unsigned lostUpdates(const std::vector<Step> &steps, uint64_t &where) {
    Following following;
    for (const Step &step : steps)
        if (isMemory(step.kind))
            following.take(step);
    if (following.lost > 0)
        where = following.where;
    return following.lost;
}
