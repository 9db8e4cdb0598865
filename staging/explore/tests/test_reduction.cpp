// The reduction in-process, on paths made by hand: which steps commute, the order that
// happens-before gives them, and where each race puts the other order to be tried.
#include <stdio.h>

#include <algorithm>

#include <string>
#include <vector>

#include "races.h"

#include "../../tests/checks.h"

namespace {

constexpr uint64_t x = 0x1000;
constexpr uint64_t y = 0x2000;

Touch reads(uint64_t at) {
    return {at, 4, false};
}

Touch writes(uint64_t at) {
    return {at, 4, true};
}

Choice step(int thread, std::vector<int> enabled, std::vector<Touch> touches,
            StepKind kind = StepKind::store, int last = -1) {
    Choice choice;
    choice.taken = thread;
    choice.enabled = std::move(enabled);
    choice.touches = std::move(touches);
    choice.kind = kind;
    choice.last = last;
    return choice;
}

bool tries(const Choice &choice, int thread) {
    return std::find(choice.backtrack.begin(), choice.backtrack.end(), thread) !=
           choice.backtrack.end();
}

void commuting() {
    check(independent({reads(x)}, {reads(x)}), "two loads of one place commute");
    check(!independent({reads(x)}, {writes(x)}), "a load and a store of one place do not");
    check(independent({writes(x)}, {writes(y)}), "stores to different places commute");
    check(!independent({{x, 8, true}}, {{x + 4, 4, false}}), "overlapping ranges do not");
    check(independent({{x, 4, true}}, {{x + 4, 4, true}}), "adjacent ranges do");
    check(!independent({{0, everywhere, true}}, {reads(y)}),
          "the process's end touches everything");
}

void races() {
    // 0 stores x, then 1 loads x: the load could have come first.
    std::vector<Choice> path = {step(0, {0, 1}, {writes(x)}),
                                step(1, {0, 1}, {reads(x)}, StepKind::load, 0)};
    Reduction reduction;
    addBacktracks(path, {}, reduction);
    check(tries(path[0], 1), "a load after another thread's store is tried before it");
    check(!reduction.cut, "no bound, nothing cut");

    // Two loads: no race.
    path = {step(0, {0, 1}, {reads(x)}, StepKind::load),
            step(1, {0, 1}, {reads(x)}, StepKind::load, 0)};
    addBacktracks(path, {}, reduction);
    check(path[0].backtrack.empty(), "two loads are no race");

    // 0 stores x, 1 stores y, 1 loads x after 0's store reached it through y? No: ordered
    // through a third place. 0: x then y; 1: loads y then x. 1's load of x follows 0's store
    // of x through y, so only the race on y remains.
    path = {step(0, {0, 1}, {writes(x)}), step(0, {0, 1}, {writes(y)}),
            step(1, {0, 1}, {reads(y)}, StepKind::load, 0),
            step(1, {0, 1}, {reads(x)}, StepKind::load, 1)};
    addBacktracks(path, {}, reduction);
    check(tries(path[1], 1), "the race on y is tried");
    check(!tries(path[0], 1), "the ordered pair on x is not");

    // Locks: 0 locks, unlocks; 1 locks. The lock after the unlock is no race with the unlock,
    // but with the first lock.
    path = {step(0, {0, 1}, {writes(x)}, StepKind::lock),
            step(0, {0}, {writes(x)}, StepKind::unlock),
            step(1, {0, 1}, {writes(x)}, StepKind::lock, 0)};
    addBacktracks(path, {}, reduction);
    check(tries(path[0], 1), "a lock races with the lock before the release");
    check(!tries(path[1], 1), "not with the release");

    // A bound of no preemption: the other order at a state where 0 could go on is left out,
    // and said to be.
    path = {step(0, {0, 1}, {writes(x)}, StepKind::store, 0),
            step(0, {0, 1}, {writes(y)}, StepKind::store, 0),
            step(1, {0, 1}, {reads(y)}, StepKind::load, 0)};
    Reduction bounded;
    bounded.preemptionBound = 0;
    addBacktracks(path, {}, bounded);
    check(!tries(path[1], 1) && bounded.cut, "a preemption past the bound is cut, and said");

    // A thread that could not take its step at the end races too: its blocked lock.
    path = {step(0, {0, 1}, {writes(x)}, StepKind::lock)};
    Choice blocked = step(1, {}, {writes(x)}, StepKind::lock);
    addBacktracks(path, {blocked}, reduction);
    check(tries(path[0], 1), "a lock that waited at the end is tried first");
}

// Store buffers: a buffer is an actor of its own, far above the threads' numbers, and a
// buffered store's arrival is ordered after that store alone.
void buffers() {
    const int buffer0 = bufferOf(0);
    const Touch entry{bufferPlace, 1, true};
    // 0 buffers a store to x; its buffer sends it; 1 loads x.
    std::vector<Choice> path = {step(0, {0, 1}, {entry}),
                                step(buffer0, {0, 1, buffer0}, {writes(x), entry}, StepKind::flush),
                                step(1, {0, 1}, {reads(x)}, StepKind::load, buffer0)};
    Reduction reduction;
    addBacktracks(path, {}, reduction);
    check(tries(path[1], 1), "a load races with the arrival of another thread's store");
    check(!tries(path[0], buffer0) && !tries(path[0], 1),
          "neither the arrival nor the load is tried before the store itself");
    // The clocks have a slot for the buffer: the load follows the arrival, which follows the
    // store.
    const Actors actors(path, {});
    const auto clocks = clocksOf(path, actors);
    check(actors.size() == 3 && clocks[2][actors.slot(0)] == 1,
          "the load happens after the store, through its arrival");
}

void sleeping() {
    Choice choice = step(0, {0, 1, 2}, {writes(x)});
    choice.done = {{1, {reads(y)}}, {2, {reads(x)}}};
    const std::vector<Tried> after = sleepAfter(choice);
    check(after.size() == 1 && after[0].thread == 1,
          "a tried thread sleeps on past a step it commutes with, not one it does not");
}

} // namespace

int main() {
    commuting();
    races();
    buffers();
    sleeping();
    if (failures == 0)
        puts("reduction: all checks hold");
    return failures == 0 ? 0 : 1;
}
