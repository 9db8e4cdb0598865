// One complete schedule of --all: the forced start, then the first letter that can move at
// each step, until every worker has made its passes, or nothing can move.
#include "counters.h"
#include "every.h"
#include "outcome.h"
#include "processes.h"
#include "watch.h"

namespace {

// A worker has made its passes when it has changed the counter and reported that many
// times, and holds no lock: its pass is over, its post included.
bool passesMade(const CounterRun &run, int worker, unsigned long passes) {
    return run.changes(worker) >= passes && run.lines(worker) >= passes &&
           run.locksHeld(worker) == 0;
}

// The workers that a schedule may choose next: neither blocked nor done with their passes.
std::string movable(const CounterRun &run, unsigned long passes) {
    std::string found;
    for (int worker = 0; worker < CounterRun::workers; ++worker)
        if (run.canMove(worker) && !passesMade(run, worker, passes))
            found += workerLetters[worker];
    return found;
}

// The next letter, forced by the start of the schedule or the first that can move; notes
// the one that could have gone instead. Empty when nothing can move.
char choose(Outcome &outcome, const std::string &prefix, const std::string &letters) {
    const size_t at = outcome.schedule.size();
    if (at < prefix.size() && letters.find(prefix[at]) == std::string::npos)
        giveUp("the schedule " + prefix + " did not run the same way twice");
    if (letters.empty())
        return '\0';
    const char letter = at < prefix.size() ? prefix[at] : letters[0];
    outcome.schedule += letter;
    outcome.others += at < prefix.size() || letters.size() == 1 ? '.' : letters[1];
    return letter;
}

Outcome counterLeaf(const char *path, char *const *argv, Image &image, unsigned long passes,
                    const std::string &prefix, Output &output) {
    CounterRun run;
    run.start(path, argv, image, output);
    Outcome outcome;
    Tally tally;
    std::string all;
    for (char letter; (letter = choose(outcome, prefix, movable(run, passes))) != '\0';) {
        const int worker = letter == 'I' ? 0 : 1;
        const CounterStep step = run.step(worker);
        tally.account(worker, step.event);
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

Outcome processLeaf(const char *path, char *const *argv, const std::string &prefix,
                    Output &output) {
    ProcessRun run;
    run.start(path, argv, output);
    Outcome outcome;
    Moments moments;
    for (char letter; (letter = choose(outcome, prefix,
                                       std::string(run.canMove('P') ? "P" : "") +
                                           (run.canMove('C') ? "C" : ""))) != '\0';)
        moments.note(run.step(letter), outcome.schedule.size());
    outcome.lineFirst = moments.line < moments.listing;
    outcome.promptFirst = moments.exit < moments.listing;
    return outcome;
}

} // namespace

Outcome runToEnd(const char *path, char *const *argv, Kind kind, Image &image, unsigned long passes,
                 const std::string &prefix) {
    Output output;
    output.open();
    return kind == Kind::counter ? counterLeaf(path, argv, image, passes, prefix, output)
                                 : processLeaf(path, argv, prefix, output);
}
