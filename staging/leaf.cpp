// One complete schedule of a forking program's --all: the first letter that can move at each
// step, until nothing can move.
#include "every.h"
#include "processes.h"
#include "watch.h"

namespace {

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

Outcome runToEnd(const char *path, char *const *argv, const std::string &prefix) {
    Output output;
    output.open();
    return processLeaf(path, argv, prefix, output);
}
