// One complete schedule of --all: the forced start, then the first letter that can move at
// each step, until every worker has made its passes, or nothing can move.
#include <errno.h>
#include <string.h>

#include "counters.h"
#include "every.h"
#include "outcome.h"
#include "processes.h"
#include "watch.h"

namespace {

// A worker has made its passes when it has changed the counter and reported that many
// times, and holds no lock: its pass is over, its post included.
bool passesMade(CounterRun &run, int worker, unsigned long passes) {
    return run.changes(worker) >= passes && run.lines(worker) >= passes &&
           run.locksHeld(worker) == 0;
}

Outcome counterLeaf(const char *path, Image &image, unsigned long passes,
                    const std::string &prefix, Output &output) {
    CounterRun run;
    run.start(path, image, output);
    Outcome outcome;
    Tally tally;
    std::string all;
    for (;;) {
        std::string movable;
        for (int worker = 0; worker < CounterRun::workers; ++worker)
            if (run.canMove(worker) && !passesMade(run, worker, passes))
                movable += workerLetters[worker];
        const size_t at = outcome.schedule.size();
        if (at < prefix.size() && movable.find(prefix[at]) == std::string::npos)
            giveUp("the schedule %s did not run the same way twice", prefix.c_str());
        if (movable.empty())
            break;
        const char letter = at < prefix.size() ? prefix[at] : movable[0];
        outcome.schedule += letter;
        outcome.others += at < prefix.size() || movable.size() == 1 ? '.' : movable[1];
        const int worker = letter == 'I' ? 0 : 1;
        const CounterStep step = run.step(worker);
        if (step.event == Event::load || step.event == Event::change)
            tally.load(worker);
        if (step.event == Event::store || step.event == Event::change)
            tally.store(worker);
        all += step.printed;
    }
    outcome.deadlock = !passesMade(run, 0, passes) || !passesMade(run, 1, passes);
    outcome.final = run.counter();
    outcome.changes = static_cast<unsigned>(tally.made().size());
    outcome.lost = static_cast<unsigned>(tally.lost().size());
    const Verdict verdict = check(all);
    outcome.lines = verdict.lines;
    outcome.breaks = verdict.breaks;
    outcome.verdict = verdict.verdict;
    return outcome;
}

Outcome processLeaf(const char *path, const std::string &prefix, Output &output) {
    ProcessRun run;
    run.start(path, output);
    Outcome outcome;
    size_t line = 0;
    size_t exited = 0;
    size_t listed = 0;
    for (;;) {
        const std::string movable = std::string(run.canMove('P') ? "P" : "") +
                                    (run.canMove('C') ? "C" : "");
        const size_t at = outcome.schedule.size();
        if (movable.empty())
            break;
        const char letter = at < prefix.size() ? prefix[at] : movable[0];
        outcome.schedule += letter;
        outcome.others += at < prefix.size() || movable.size() == 1 ? '.' : movable[1];
        const ProcessStep step = run.step(letter);
        line = step.what == ProcessStep::prints ? at + 1 : line;
        exited = step.what == ProcessStep::exits ? at + 1 : exited;
        listed = step.what == ProcessStep::lists ? at + 1 : listed;
    }
    outcome.lineFirst = line < listed;
    outcome.promptFirst = exited < listed;
    return outcome;
}

} // namespace

Outcome runToEnd(const char *path, Kind kind, Image &image, unsigned long passes,
                 const std::string &prefix) {
    Output output;
    if (!output.open())
        giveUp("cannot open a pseudo-terminal for the program's output: %s", strerror(errno));
    return kind == Kind::counter ? counterLeaf(path, image, passes, prefix, output)
                                 : processLeaf(path, prefix, output);
}
