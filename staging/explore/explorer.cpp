// The exploration's loop: runs, one after another, each a fresh start of the program.
#include "explorer.h"

#include <ctype.h>
#include <time.h>

#include <algorithm>

#include "watch.h"

namespace {

double now() {
    timespec clock;
    clock_gettime(CLOCK_MONOTONIC, &clock);
    return static_cast<double>(clock.tv_sec) + static_cast<double>(clock.tv_nsec) / 1e9;
}

bool contains(const std::vector<int> &set, int thread) {
    return std::find(set.begin(), set.end(), thread) != set.end();
}

} // namespace

// Without a choice to follow: the thread of the step before, so as not to preempt it; else
// the first that can go. Never one asleep.
int Explorer::choose(const Choice &choice) {
    if (contains(choice.enabled, choice.last) && !choice.asleep(choice.last))
        return choice.last;
    const auto awake = std::find_if(choice.enabled.begin(), choice.enabled.end(),
                                    [&choice](int thread) { return !choice.asleep(thread); });
    return awake != choice.enabled.end() ? *awake : -1;
}

// The state at `depth`: followed from the run before, or new, with the thread to take there
// chosen. False when every thread that could go there is asleep.
bool Explorer::reach(size_t depth, const std::vector<int> &enabled, int last,
                     unsigned preemptions) {
    if (depth < choices.size()) {
        if (choices[depth].enabled != enabled)
            giveUp("the program did not run the same way twice: its threads could go in a "
                   "different order at step " +
                   std::to_string(depth + 1));
        return true;
    }
    Choice fresh;
    fresh.enabled = enabled;
    fresh.last = last;
    fresh.preemptions = preemptions;
    if (depth > 0)
        fresh.sleep = sleepAfter(choices[depth - 1]);
    fresh.taken = choose(fresh);
    if (fresh.taken < 0)
        return false;
    choices.push_back(fresh);
    return true;
}

// Each thread's step that it could not take when the run ended, as a choice not taken.
std::vector<Choice> Explorer::pendingOf(const std::vector<Thread> &threads) {
    std::vector<Choice> pending;
    for (const Thread &thread : threads) {
        if (thread.state == ThreadState::ended || thread.state == ThreadState::done ||
            thread.next.thread < 0)
            continue;
        Choice waiting;
        waiting.taken = thread.next.thread;
        waiting.kind = thread.next.kind;
        waiting.touches = thread.next.touches;
        pending.push_back(waiting);
    }
    // Each store buffer's oldest store, not yet in memory.
    for (size_t i = 0; i < threads.size(); ++i) {
        if (threads[i].buffer.empty())
            continue;
        Choice arrival;
        arrival.taken = bufferOf(static_cast<int>(i));
        arrival.kind = StepKind::flush;
        arrival.touches = threads[i].buffer.front().arrival();
        pending.push_back(arrival);
    }
    return pending;
}

bool Explorer::runOnce(RunRecord &record) {
    Output output;
    output.open();
    Execution run;
    Limits limits;
    limits.stepsPerThread = bounds.stepsPerThread;
    limits.passes = bounds.passes;
    limits.memory = bounds.memory;
    limits.sharedStack = &sharedStack;
    run.start(path, argv, image, output, limits);
    size_t depth = 0;
    int last = -1;
    unsigned preemptions = 0;
    for (; !run.over(); ++depth) {
        const std::vector<int> enabled = run.takeable();
        if (enabled.empty()) {
            if (run.settle())
                break;
            --depth;
            continue;
        }
        if (!reach(depth, enabled, last, preemptions)) {
            // Every thread that could go is asleep: what follows is an order already run.
            // The races of the steps taken so far are still to be found, as no other run
            // may take them in this order.
            addBacktracks(choices, pendingOf(run.threads()), reduction);
            return false;
        }
        Choice &choice = choices[depth];
        const Step step = run.take(choice.taken);
        choice.touches = step.touches;
        choice.kind = step.kind;
        choice.created =
            step.kind == StepKind::create && step.object > 0 ? static_cast<int>(step.object) : -1;
        preemptions = choice.preemptions + (choice.preempts(choice.taken) ? 1U : 0U);
        last = choice.taken;
        record.printed += step.printed;
        record.steps.push_back(step);
    }
    choices.resize(depth);
    addBacktracks(choices, pendingOf(run.threads()), reduction);
    record.ending = run.ending();
    record.errors = run.errorText();
    record.threads = run.threads();
    record.path = choices;
    record.schedule = spell(choices, record.threads);
    return true;
}

Exploration Explorer::explore(const std::function<void(const RunRecord &)> &each,
                              const std::function<void(const Exploration &)> &progress, size_t most,
                              const std::function<void()> &restart) {
    reduction.preemptionBound = bounds.preemptions;
    Exploration done;
    const double start = now();
    for (;;) {
        RunRecord record;
        const size_t shared = sharedStack.size();
        const bool complete = runOnce(record);
        if (sharedStack.size() != shared) {
            choices.clear();
            reduction = Reduction{};
            reduction.preemptionBound = bounds.preemptions;
            done = Exploration{};
            restart();
            continue;
        }
        if (complete) {
            ++done.runs;
            each(record);
        } else {
            ++done.redundant;
        }
        progress(done);
        // The deepest state with a thread still to try.
        size_t depth = choices.size();
        while (depth > 0) {
            Choice &choice = choices[depth - 1];
            std::vector<int> &todo = choice.backtrack;
            todo.erase(
                std::remove_if(todo.begin(), todo.end(),
                               [&choice](int t) { return choice.asleep(t) || t == choice.taken; }),
                todo.end());
            if (!todo.empty())
                break;
            --depth;
        }
        if (depth == 0 || (most != 0 && done.runs >= most))
            return done;
        if (bounds.seconds > 0 && now() - start > bounds.seconds) {
            done.timedOut = true;
            return done;
        }
        Choice &choice = choices[depth - 1];
        choice.done.push_back({choice.taken, choice.touches});
        choice.taken = choice.backtrack.back();
        choice.backtrack.pop_back();
        choices.resize(depth);
    }
}

char letterOf(int actor, const std::vector<Thread> &threads) {
    const char letter = threads[static_cast<size_t>(ownerOf(actor))].letter;
    return isBuffer(actor) ? static_cast<char>(tolower(static_cast<unsigned char>(letter)))
                           : letter;
}

std::string spell(const std::vector<Choice> &path, const std::vector<Thread> &threads) {
    std::string letters;
    // Which step of the path each letter stands for, to see what it created.
    std::vector<const Choice *> chosen;
    for (const Choice &choice : path)
        if (choice.enabled.size() > 1)
            chosen.push_back(&choice);
    for (size_t i = 0; i < chosen.size(); ++i) {
        const Choice &choice = *chosen[i];
        const bool starts = choice.created >= 0 && i + 1 < chosen.size() &&
                            chosen[i + 1]->taken == choice.created &&
                            choice.taken == choice.enabled.front();
        if (!starts)
            letters += letterOf(choice.taken, threads);
    }
    return letters;
}
