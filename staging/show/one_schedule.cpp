// Taking one schedule step by step and showing it.
#include "one_schedule.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "describe.h"
#include "lens.h"
#include "names.h"
#include "outcome_text.h"
#include "watch.h"

namespace {

// Steps that the first thread able to go may take while a letter waits for its thread to start.
constexpr unsigned mostBeforeStart = 64;

int byLetter(const Execution &run, char letter) {
    for (size_t i = 0; i < run.threads().size(); ++i)
        if (run.threads()[i].letter == letter)
            return static_cast<int>(i);
    return -1;
}

// The next letters typed at the terminal; empty at its end, an empty line or a q.
std::string ask(const Execution &run, const std::vector<int> &can) {
    std::string offered;
    for (const int thread : can)
        offered += std::string(offered.empty() ? "" : ", ") +
                   run.threads()[static_cast<size_t>(thread)].letter;
    printf("next (%s; Enter or q ends)? ", offered.c_str());
    fflush(stdout);
    waitForInput();
    char line[256];
    if (fgets(line, sizeof line, stdin) == nullptr)
        return "";
    std::string letters;
    for (const char *at = line; *at != '\0'; ++at) {
        const char letter = static_cast<char>(toupper(static_cast<unsigned char>(*at)));
        if (letter == 'Q')
            return "";
        if (letter >= 'A' && letter <= 'Z')
            letters += letter;
    }
    return letters;
}

struct Shown {
    unsigned number = 0;
    bool instructions = false;
    bool linesOnly = false;
};

void show(Shown &shown, const Step &step, const Execution &run, const Places &places,
          const std::string &text) {
    if (shown.linesOnly) {
        fputs(step.printed.c_str(), stdout);
        return;
    }
    const char who = run.threads()[static_cast<size_t>(step.thread)].letter;
    std::string line = text;
    if (run.threads()[static_cast<size_t>(step.thread)].state == ThreadState::spinning)
        line += "; then waits: it would re-read what nobody changed";
    std::string printed = step.printed;
    if (!printed.empty() && printed.back() == '\n')
        printed.pop_back();
    printf("%4u  %c    %-50s  %s\n", ++shown.number, who, line.c_str(), visible(printed).c_str());
    if (shown.instructions && !step.instruction.empty())
        printf("         %s\n", step.instruction.c_str());
    (void)places;
}

} // namespace

int answerSchedule(Image &image, const AnswerRequest &request) {
    Output output;
    output.open();
    Execution run;
    Limits limits;
    limits.stepsPerThread = request.bounds.stepsPerThread;
    limits.passes = request.bounds.passes;
    run.start(request.path, request.argv, image, output, limits);
    Places places(run);
    Shown shown{0, request.instructions, request.linesOnly};
    const bool asking = request.asking;
    if (!request.linesOnly)
        printf("%s, schedule %s\nstep  who  does%48sprinted\n", request.shown.c_str(),
               asking ? "asked step by step" : request.schedule.c_str(), "");
    RunRecord record;
    size_t letter = 0;
    std::string schedule = request.schedule;
    unsigned unstarted = 0; // steps taken while the letter's thread has not started
    while (!run.over()) {
        const std::vector<int> can = run.takeable();
        if (can.empty()) {
            if (run.settle())
                break;
            continue;
        }
        int thread = can.front();
        if (can.size() > 1) {
            if (asking && letter == schedule.size())
                schedule += ask(run, can);
            if (letter == schedule.size())
                break;
            const char wanted = schedule[letter];
            {
                const int named = byLetter(run, wanted);
                if (named >= 0)
                    unstarted = 0;
                if (named >= 0 && std::find(can.begin(), can.end(), named) != can.end()) {
                    thread = named;
                    ++letter;
                } else if (named >= 0) {
                    ++letter; // it cannot go: said, and nothing moves
                    if (!request.linesOnly)
                        printf("%4s  %c  %s\n", "", wanted,
                               describeWait(named, run, places).c_str());
                    continue;
                } else if (++unstarted <= mostBeforeStart) {
                    // Not started yet: the first that can go goes, until it is.
                    thread = can.front();
                } else if (asking) {
                    printf("no thread %c has started; the letters after it are dropped\n", wanted);
                    schedule.erase(letter);
                    unstarted = 0;
                    continue;
                } else {
                    giveUp("the schedule names thread " + visible(std::string(1, wanted)) +
                           ", which has not started");
                }
            }
        }
        const Step step = run.take(thread);
        record.steps.push_back(step);
        record.printed += step.printed;
        Places now(run);
        show(shown, step, run, now, describe(step, run, now));
    }
    record.threads = run.threads();
    record.ending = run.ending();
    record.errors = run.errorText();
    if (request.linesOnly) {
        if (fflush(stdout) != 0 || ferror(stdout))
            giveUp("write error", errno);
        return 0;
    }
    Places after(run);
    printf("threads:");
    for (const Thread &thread : run.threads())
        printf(" %c %s", thread.letter, thread.name.empty() ? "(no name)" : thread.name.c_str());
    printf("\n");
    if (asking)
        printf("schedule taken: %s\n", letter == 0 ? "none" : schedule.substr(0, letter).c_str());
    printf("lines printed:%s\n", record.printed.empty() ? " none" : "");
    for (size_t at = 0; at < record.printed.size();) {
        const size_t end = std::min(record.printed.find('\n', at), record.printed.size());
        printf("  %s\n", visible(record.printed.substr(at, end - at)).c_str());
        at = end + 1;
    }
    bool bad = false;
    if (run.over()) {
        printf("outcome: %s\n", endingText(record, after).c_str());
        bad = failed(record.ending);
    } else {
        printf("stopped: the schedule ends here\n");
        for (size_t i = 0; i < run.threads().size(); ++i)
            if (!run.canTake(static_cast<int>(i)) && run.threads()[i].state != ThreadState::ended)
                printf("  %s\n", describeWait(static_cast<int>(i), run, after).c_str());
    }
    const CounterLens lens = lensOf(record);
    if (lens.on) {
        const Changes changes = changesOf(lens, record.steps);
        RunRecord counted = record;
        const CounterOutcome o = counterOutcome(lens, counted);
        printf("counter: %d after %u change%s; %u lost\ntallycheck: %s, breaks %lu\n", o.final,
               o.changes, o.changes == 1 ? "" : "s", o.lost, o.verdict.c_str(), o.breaks);
        bad = bad || !changes.lost.empty();
    } else {
        uint64_t where = 0;
        if (lostUpdates(record.steps, where) > 0) {
            printf("lost: an update to %s was overwritten by a stale one\n",
                   after.name(where, 4).c_str());
            bad = true;
        }
    }
    if (fflush(stdout) != 0 || ferror(stdout))
        giveUp("write error", errno);
    return bad ? 1 : 0;
}
