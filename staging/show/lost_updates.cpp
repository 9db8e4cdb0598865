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

unsigned lostUpdates(const std::vector<Step> &steps, uint64_t &where) {
    Loads loads;
    std::map<int, std::deque<Waiting>> buffered;
    unsigned lost = 0;
    auto check = [&lost, &where](const Step &step, const Seen *seen) {
        if (overwritesStale(step, seen) && lost++ == 0)
            where = step.address;
    };
    for (const Step &step : steps) {
        if (!isMemory(step.kind))
            continue;
        const auto key = std::make_pair(step.thread, step.address);
        const auto found = loads.find(key);
        if (step.kind == StepKind::load) {
            loads[key] = {step.value, false};
            continue;
        }
        if (step.buffered) { // judged when it reaches memory
            Waiting store{step, found != loads.end(),
                          found != loads.end() ? found->second : Seen{}};
            buffered[step.thread].push_back(store);
            loads.erase(key);
            continue;
        }
        if (step.kind == StepKind::flush) {
            std::deque<Waiting> &waiting = buffered[step.thread];
            if (waiting.empty())
                continue;
            const Waiting arrived = waiting.front();
            waiting.pop_front();
            Step store = arrived.store;
            store.before = step.before;
            check(store, arrived.loaded ? &arrived.seen : nullptr);
            changeLoads(step, loads, buffered);
            continue;
        }
        check(step, found != loads.end() ? &found->second : nullptr);
        loads.erase(key);
        if (step.kind == StepKind::store || step.value != step.before)
            changeLoads(step, loads, buffered);
    }
    return lost;
}
