// What runs come to, in-process: the changes a counter program makes and loses, the orders of
// two workers' steps that one run stands for, updates lost in any program, and schedules
// spelt as -s reads them.
#include <stdio.h>

#include <string>
#include <vector>

#include "lens.h"
#include "lost_updates.h"
#include "names.h"

#include "../../tests/checks.h"

namespace {

constexpr uint64_t counter = 0x4000;

Step access(int thread, StepKind kind, uint64_t before, uint64_t value) {
    Step step;
    step.thread = thread;
    step.kind = kind;
    step.address = counter;
    step.size = 4;
    step.before = before;
    step.value = value;
    return step;
}

Choice choice(int thread, std::vector<int> enabled, bool writes, int created = -1) {
    Choice made;
    made.taken = thread;
    made.enabled = std::move(enabled);
    made.touches = {{counter, 4, writes}};
    made.created = created;
    return made;
}

void changes() {
    const CounterLens lens{true, counter, 1, 2};
    // I loads 0, D loads 0, D stores -1, I stores 1: D's change is lost.
    const std::vector<Step> race = {access(1, StepKind::load, 0, 0),
                                    access(2, StepKind::load, 0, 0),
                                    access(2, StepKind::store, 0, static_cast<uint64_t>(-1)),
                                    access(1, StepKind::store, static_cast<uint64_t>(-1), 1)};
    Changes made = changesOf(lens, race);
    check(made.made.size() == 2 && made.lost.size() == 1 && made.lost[0] == 1,
          "a store over a change made since its load loses that change, counted once");
    // The same two, one after the other: nothing lost.
    const std::vector<Step> apart = {
        access(1, StepKind::load, 0, 0), access(1, StepKind::store, 0, 1),
        access(2, StepKind::load, 1, 1), access(2, StepKind::store, 1, 0)};
    made = changesOf(lens, apart);
    check(made.made.size() == 2 && made.lost.empty(), "changes apart lose nothing");
    // Indivisible changes by one (a fetch-add) lose nothing, even after a report's load.
    const std::vector<Step> fetchAdd = {
        access(1, StepKind::update, 0, 1), access(1, StepKind::load, 1, 1),
        access(2, StepKind::update, 1, 0), access(1, StepKind::update, 0, 1)};
    check(changesOf(lens, fetchAdd).lost.empty(), "a fetch-add after a report loses nothing");
    // An exchange of a value computed from a load is a store from that load.
    const std::vector<Step> exchange = {access(1, StepKind::load, 0, 0),
                                        access(2, StepKind::update, 0, static_cast<uint64_t>(-1)),
                                        access(1, StepKind::update, static_cast<uint64_t>(-1), 1)};
    check(changesOf(lens, exchange).lost.size() == 1, "an exchange of a stale sum loses a change");
}

// Under store buffers a store counts when it reaches memory, and a worker sees its own.
void buffered() {
    const CounterLens lens{true, counter, 1, 2};
    auto store = [](int thread, uint64_t value) {
        Step step = access(thread, StepKind::store, 0, value);
        step.buffered = true;
        return step;
    };
    auto arrives = [](int thread, uint64_t before, uint64_t value) {
        return access(thread, StepKind::flush, before, value);
    };
    // I loads 0 and buffers 1; D loads 0 from memory, buffers -1; both arrive: one lost.
    const std::vector<Step> race = {access(1, StepKind::load, 0, 0),
                                    store(1, 1),
                                    access(2, StepKind::load, 0, 0),
                                    store(2, static_cast<uint64_t>(-1)),
                                    arrives(1, 0, 1),
                                    arrives(2, 1, static_cast<uint64_t>(-1))};
    check(changesOf(lens, race).lost.size() == 1, "a change still in a buffer is not seen");
    uint64_t where = 0;
    check(lostUpdates(race, where) == 1, "nor as an update of any program");
    // I buffers 1, then loads its own 1 and buffers 2; both arrive, then D: nothing lost.
    Step own = access(1, StepKind::load, 0, 1);
    own.forwarded = true;
    const std::vector<Step> apart = {access(1, StepKind::load, 0, 0),
                                     store(1, 1),
                                     own,
                                     store(1, 2),
                                     arrives(1, 0, 1),
                                     arrives(1, 1, 2),
                                     access(2, StepKind::load, 2, 2),
                                     store(2, 1),
                                     arrives(2, 2, 1)};
    check(changesOf(lens, apart).lost.empty() && lostUpdates(apart, where) == 0,
          "a worker's load of its own buffered store loses nothing");
}

void updates() {
    uint64_t where = 0;
    const std::vector<Step> race = {
        access(1, StepKind::load, 0, 0), access(2, StepKind::load, 0, 0),
        access(2, StepKind::store, 0, 1), access(1, StepKind::store, 1, 1)};
    check(lostUpdates(race, where) == 1 && where == counter, "a stale increment is a lost update");
    // Peterson's turn: stored by each thread, never from its own load plus one.
    const std::vector<Step> turn = {access(1, StepKind::load, 1, 1),
                                    access(2, StepKind::store, 1, 0),
                                    access(1, StepKind::store, 0, 1)};
    check(lostUpdates(turn, where) == 0, "a flag set to a constant loses no update");
}

void orders() {
    // Two workers of three steps each, none touching what the other does: every order.
    std::vector<Choice> path;
    path.reserve(6);
    for (int i = 0; i < 3; ++i)
        path.push_back(choice(1, {1, 2}, false));
    for (int i = 0; i < 3; ++i)
        path.push_back(choice(2, {1, 2}, false));
    check(ordersOf(path, 1, 2) == 20, "six steps that commute stand for 20 orders");
    // Every step a store of one place: one order only.
    for (Choice &step : path)
        step.touches[0].writes = true;
    check(ordersOf(path, 1, 2) == 1, "six stores of one place stand for their one order");
}

void spelling() {
    std::vector<Thread> threads(3);
    threads[0].letter = 'M';
    threads[1].letter = 'I';
    threads[2].letter = 'D';
    // M starts I (forced), then M and I can go: M starts D, named by the next letter: left out.
    const std::vector<Choice> path = {choice(0, {0}, false, 1), choice(0, {0, 1}, false, 2),
                                      choice(2, {0, 1, 2}, false), choice(1, {1, 2}, false),
                                      choice(2, {2}, false)};
    check(spell(path, threads) == "DI",
          "forced steps and starts that the next letter implies are left out, got " +
              spell(path, threads));
}

void naming() {
    check(plainName("_ZL9incThreadPv") == "incThread", "a C++ routine by its plain name");
    check(plainName("c") == "c", "a C name is not demangled into a type");
    check(plainName("_ZL5count.0") == "count", "clang's suffix for a static's copy is left out");
    check(plainName("_ZN12_GLOBAL__N_15countE") == "count", "a name in an anonymous namespace");
    check(plainName("_ZZL4workPvE5calls") == "calls", "a static local by its own name");
}

} // namespace

int main() {
    changes();
    buffered();
    updates();
    orders();
    spelling();
    naming();
    if (failures == 0)
        puts("lens: all checks hold");
    return failures == 0 ? 0 : 1;
}
