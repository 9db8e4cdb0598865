// Taking one schedule step by step and showing it.
#include "one_schedule.h"

#include <errno.h>
#include <stdio.h>

#include <algorithm>
#include <optional>
#include <set>

#include "describe.h"
#include "lens.h"
#include "letters.h"
#include "lost_updates.h"
#include "names.h"
#include "outcome_text.h"
#include "page.h"
#include "watch.h"

namespace {

// The letter of who took a step: its thread, or for a store's arrival in memory its buffer.
char whoTook(const Step &step, const Execution &run) {
    return letterOf(step.kind == StepKind::flush ? bufferOf(step.thread) : step.thread,
                    run.threads());
}

// `text` with each `from` as `to`: an entry "x = 1" held as one word while a line is folded.
std::string keptWhole(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

struct Shown {
    unsigned number = 0;
    bool instructions = false;
    bool linesOnly = false;
    std::string buffers = "buffers: all empty"; // as last shown
};

void show(Shown &shown, const Step &step, const Execution &run, const Places &places,
          const std::string &text) {
    if (shown.linesOnly) {
        fputs(step.printed.c_str(), stdout);
        return;
    }
    const char who = whoTook(step, run);
    std::string line = text;
    if (run.threads()[static_cast<size_t>(step.thread)].state == ThreadState::spinning)
        line += "; then waits: it would re-read what nobody changed";
    std::string printed = step.printed;
    if (!printed.empty() && printed.back() == '\n')
        printed.pop_back();
    printed = visible(printed);
    char row[96];
    snprintf(row, sizeof row, "%4u  %c    ", ++shown.number, who);
    if (11 + std::max<size_t>(line.size(), 50) + 2 + printed.size() <= 80)
        printf("%s%-50s  %s\n", row, line.c_str(), printed.c_str());
    else // within the screen: the words folded, what the step printed on a line of its own
        printf("%s\n", folded(row + line, 11).c_str());
    if (11 + std::max<size_t>(line.size(), 50) + 2 + printed.size() > 80 && !printed.empty())
        printf("%*s%s\n", printed.size() <= 17 ? 63 : 11, "", printed.c_str());
    if (shown.instructions && !step.instruction.empty())
        printf("         %s\n", step.instruction.c_str());
    if (run.storeBuffers()) {
        const std::string held = bufferText(run, places);
        if (held != shown.buffers)
            printf(
                "%11s%s\n", "",
                keptWhole(folded(keptWhole(held, " = ", "\x01=\x01"), 13, 69), "\x01=\x01", " = ")
                    .c_str());
        shown.buffers = held;
    }
}

// The run's end, or where it stopped: the outcome's first line, and who waits for what.
// Returns whether the run failed.
bool ending(const Execution &run, const RunRecord &record, const Places &after,
            RunOutcome &outcome) {
    if (!run.over()) {
        outcome.lines.emplace_back("stopped: the schedule ends here");
        for (size_t i = 0; i < run.threads().size(); ++i)
            if (!run.canTake(static_cast<int>(i)) && run.threads()[i].state != ThreadState::ended)
                outcome.waits.push_back(describeWait(static_cast<int>(i), run, after));
        return false;
    }
    outcome.lines.push_back("outcome: " + endingText(record, after));
    if (record.ending.kind == Ending::deadlock) {
        const std::vector<Stuck> stuck = stuckThreads(record, after);
        outcome.cycle = deadlockCycle(stuck);
        for (const Stuck &one : stuck) // the others held up by it: main's join
            if (std::find(outcome.cycle.begin(), outcome.cycle.end(), one.words) ==
                outcome.cycle.end())
                outcome.waits.push_back(one.words);
    }
    return failed(record.ending);
}

// What the run came to: its threads, its lines, its end or where it stopped, and for a
// counter program the counter against the changes made. Returns whether it failed.
bool summarise(const Execution &run, const RunRecord &record, const Letters &letters,
               RunOutcome &outcome) {
    const Places after(run);
    std::string threads = "threads:";
    for (const Thread &thread : run.threads())
        threads.append(" ")
            .append(1, thread.letter)
            .append(" ")
            .append(thread.name.empty() ? "(no name)" : thread.name);
    printf("%s\n", folded(threads, 2).c_str());
    if (letters.asking)
        printf("%s\n",
               folded("schedule taken: " +
                          (letters.next == 0 ? std::string("none")
                                             : grouped(letters.schedule.substr(0, letters.next))),
                      2)
                   .c_str());
    printf("lines printed:%s\n", record.printed.empty() ? " none" : "");
    for (size_t at = 0; at < record.printed.size();) {
        const size_t end = std::min(record.printed.find('\n', at), record.printed.size());
        printf("  %s\n", visible(record.printed.substr(at, end - at)).c_str());
        at = end + 1;
    }
    bool bad = ending(run, record, after, outcome);
    std::vector<std::string> &lines = outcome.lines;
    printf("%s\n", folded(lines.back(), 2).c_str());
    if (!run.over()) // at a deadlock, the outcome says who waits
        for (const std::string &wait : outcome.waits)
            printf("  %s\n", folded(wait, 4).c_str());
    const CounterLens lens = lensOf(record);
    uint64_t where = 0;
    if (lens.on) {
        const CounterOutcome o = counterOutcome(lens, record);
        lines.push_back("counter: " + std::to_string(o.final) + " after " +
                        std::to_string(o.changes) + " change" + (o.changes == 1 ? "" : "s") + "; " +
                        std::to_string(o.lost) + " lost");
        lines.push_back("tallycheck: " + o.verdict + ", breaks " + std::to_string(o.breaks));
        bad = bad || o.lost > 0;
    } else if (lostUpdates(record.steps, where) > 0) {
        lines.push_back("lost: an update to " + after.name(where, 4) +
                        " was overwritten by a stale one");
        bad = true;
    }
    for (size_t i = 1; i < lines.size(); ++i)
        printf("%s\n", folded(lines[i], 2).c_str());
    return bad;
}

} // namespace

int answerSchedule(Image &image, const AnswerRequest &request) {
    // Opened first: a page that cannot be written is said before the run.
    std::optional<SchedulePage> page;
    if (request.page != nullptr)
        page.emplace(request.page, request.instructions);
    Output output;
    output.open();
    Execution run;
    std::set<uint64_t> sharedStack; // found as the run goes: later accesses there are steps
    const Limits limits{request.bounds.memory, &sharedStack, request.bounds.stepsPerThread,
                        request.bounds.passes};
    run.start(request.path, request.argv, image, output, limits);
    Shown shown{0, request.instructions, request.linesOnly};
    if (!request.linesOnly)
        printf("%s\nstep  who  does%48sprinted\n",
               folded(request.shown + ", schedule " +
                          (request.asking ? "asked step by step" : grouped(request.schedule)),
                      2)
                   .c_str(),
               "");
    RunRecord record;
    Letters letters{request.schedule, request.asking, request.linesOnly};
    while (!run.over()) {
        const std::vector<int> can = run.takeable();
        if (can.empty()) {
            if (run.settle())
                break;
            continue;
        }
        const int thread = letters.choose(run, can, Places(run));
        if (thread == Letters::stop)
            break;
        if (thread == Letters::again)
            continue;
        const Step step = run.take(thread);
        record.steps.push_back(step);
        record.printed += step.printed;
        const Places now(run);
        const std::string does = describe(step, run, now);
        show(shown, step, run, now, does);
        if (page)
            page->step(step, whoTook(step, run), does, run, now);
    }
    record.threads = run.threads();
    record.ending = run.ending();
    record.errors = run.errorText();
    RunOutcome outcome;
    const bool bad = !request.linesOnly && summarise(run, record, letters, outcome);
    if (page)
        page->finish(
            request.shown + ", schedule " +
                (request.asking ? letters.schedule.substr(0, letters.next) : request.schedule),
            run, record, outcome, Places(run));
    if (fflush(stdout) != 0 || ferror(stdout))
        giveUp("write error", errno);
    return bad ? 1 : 0;
}
