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

// The next letter typed at the terminal, or 0 at its end or a q.
char ask(const Execution &run, const std::vector<int> &can) {
    std::string offered;
    for (const int thread : can)
        offered += std::string(offered.empty() ? "" : ", ") + run.threads()[static_cast<size_t>(thread)].letter;
    for (;;) {
        printf("next (%s; q to stop)? ", offered.c_str());
        fflush(stdout);
        waitForInput();
        char line[64];
        if (fgets(line, sizeof line, stdin) == nullptr)
            return 0;
        const char letter = static_cast<char>(toupper(static_cast<unsigned char>(line[0])));
        if (letter == 'Q')
            return 0;
        if (byLetter(run, letter) >= 0)
            return letter;
        printf("no thread %s here\n", visible(std::string(1, line[0])).c_str());
    }
}

// A small generator of the same numbers on every machine, for --seed.
uint32_t nextRandom(uint32_t &state) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
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
               asking ? "asked step by step" : request.seeded ? ("drawn from seed " + std::to_string(request.seed)).c_str() : request.schedule.c_str(), "");
    RunRecord record;
    size_t letter = 0;
    uint32_t random = request.seed * 2654435761U + 1;
    unsigned long drawn = 0;
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
            char wanted = 0;
            if (request.seeded) {
                if (drawn++ >= request.seededSteps)
                    break;
                thread = can[nextRandom(random) % can.size()];
            } else if (asking) {
                wanted = ask(run, can);
                if (wanted == 0)
                    break;
            } else if (letter < request.schedule.size()) {
                wanted = request.schedule[letter];
            } else {
                break;
            }
            if (wanted != 0) {
                const int named = byLetter(run, wanted);
                if (named >= 0)
                    unstarted = 0;
                if (named >= 0 && std::find(can.begin(), can.end(), named) != can.end()) {
                    thread = named;
                    ++letter;
                } else if (named >= 0) {
                    ++letter; // it cannot go: said, and nothing moves
                    if (!request.linesOnly)
                        printf("%4s  %c  %s\n", "", wanted, describeWait(named, run, places).c_str());
                    continue;
                } else if (!asking && ++unstarted <= mostBeforeStart) {
                    // Not started yet: the first that can go goes, until it is.
                    thread = can.front();
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
    printf("\nlines printed:%s\n", record.printed.empty() ? " none" : "");
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
        counted.counter = run.over() ? 0 : run.valueAt(lens.counter);
        const CounterOutcome o = counterOutcome(lens, counted);
        printf("counter: %d after %u change%s; %u lost\ntallycheck: %s, breaks %lu\n", o.final,
               o.changes, o.changes == 1 ? "" : "s", o.lost, o.verdict.c_str(), o.breaks);
        bad = bad || !changes.lost.empty();
    } else {
        uint64_t where = 0;
        if (lostUpdates(record.steps, where) > 0) {
            printf("lost: an update to %s was overwritten by a stale one\n", after.name(where, 4).c_str());
            bad = true;
        }
    }
    if (fflush(stdout) != 0 || ferror(stdout))
        giveUp("write error", errno);
    return bad ? 1 : 0;
}
