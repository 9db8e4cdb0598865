// Running a schedule of a program that forks, and showing each step.
#include "answers.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "diagnose.h"
#include "names.h"
#include "processes.h"
#include "watch.h"

namespace {

// The next steps, typed at the terminal; empty when the user ends (Enter, or end of input).
std::string ask(const Request &request, const std::string &taken) {
    const char *all = letters(request.kind);
    for (;;) {
        printf("step %zu: who goes next, %c (%s) or %c (%s)? (Enter ends) ", taken.size() + 1,
               all[0], whoTakes(request.kind, all[0]), all[1], whoTakes(request.kind, all[1]));
        flushOutput(1);
        char line[4096];
        waitForInput();
        const ssize_t got = read(STDIN_FILENO, line, sizeof line - 1);
        line[got > 0 ? got : 0] = '\0';
        if (got <= 0)
            putchar('\n');
        std::string steps;
        std::string why;
        const std::string typed = line;
        if (typed.find_first_not_of(" \t\r\n") == std::string::npos)
            return "";
        if (parseSchedule((taken + typed).c_str(), request.kind, request.name.c_str(), steps, why))
            return steps.substr(taken.size());
        printf("  %s\n", why.c_str());
    }
}

// The step line's printed column: the line, or how many. Here and in every other place
// where interleave shows what the program printed, a control character is escaped.
std::string shown(const std::string &printed) {
    const auto lines = std::count(printed.begin(), printed.end(), '\n');
    if (lines > 1)
        return std::string("(").append(std::to_string(lines)).append(" lines)");
    return visible(printed.substr(0, printed.find('\n')));
}

bool row(const Request &request, size_t number, const char *who, const std::string &what,
         const std::string &state, const std::string &printed) {
    if (request.linesOnly) {
        fwrite(printed.data(), 1, printed.size(), stdout);
        return !ferror(stdout);
    }
    // What a step printed is in its words (prints "Parent: ") and under "lines printed":
    // no column of its own, so that the row fits 80 columns, the processes folded under
    // their column where they would not.
    char line[512];
    snprintf(line, sizeof line, "%4zu  %-6s  %-20s  %s", number, who, what.c_str(), state.c_str());
    puts(folded(line, 36).c_str());
    return !ferror(stdout);
}

void printLines(const std::string &all) {
    puts(all.empty() ? "lines printed: none" : "lines printed:");
    for (size_t at = 0; at < all.size();) {
        const size_t end = all.find('\n', at);
        printf("  %s\n", visible(all.substr(at, end - at)).c_str());
        at = end == std::string::npos ? all.size() : end + 1;
    }
}

} // namespace

namespace {

[[noreturn]] void writeError() {
    giveUp("write error", errno);
}

void header(const Request &request) {
    if (request.linesOnly)
        return;
    printf("%s, %s%s\n", request.name.c_str(),
           request.steps.empty() ? "each step as it is asked for" : "schedule ",
           request.steps.c_str());
    puts("step  who     does                  processes after it");
}

// The steps still to take: the rest of the schedule, or what is typed next.
bool nextStep(const Request &request, std::string &waiting, std::string &taken) {
    if (waiting.empty() && request.steps.empty())
        waiting = ask(request, taken);
    if (waiting.empty())
        return false;
    taken += waiting[0];
    waiting.erase(0, 1);
    return true;
}

std::string doneBy(const ProcessStep &step) {
    const std::string status = std::to_string(step.status);
    switch (step.what) {
    case ProcessStep::forks:
        return "forks";
    case ProcessStep::prints:
        return step.printed.empty() ? "prints nothing" : "prints \"" + shown(step.printed) + "\"";
    case ProcessStep::exits:
        return "exits " + status;
    case ProcessStep::execs:
        return "execs " + visible(step.program);
    case ProcessStep::execFails:
        return "exec fails: " + status;
    case ProcessStep::lists:
        return "lists, exits " + status;
    case ProcessStep::hasEnded:
        break;
    }
    return "has ended";
}

int runProcesses(const Request &request, Output &output) {
    ProcessRun run;
    run.start(request.path, request.argv, output);
    header(request);
    std::string all;
    std::string taken;
    std::string waiting = request.steps;
    Moments moments;
    while ((run.canMove('P') || run.canMove('C')) && nextStep(request, waiting, taken)) {
        const char letter = taken.back();
        const ProcessStep step = run.step(letter);
        all += step.printed;
        moments.note(step, taken.size());
        if (!row(request, taken.size(), whoTakes(Kind::processes, letter), doneBy(step),
                 step.processes, step.printed))
            writeError();
        if (step.what == ProcessStep::exits && !request.linesOnly)
            puts("      the parent has ended: here a shell prints its prompt");
    }
    if (!request.linesOnly) {
        if (request.steps.empty())
            printf("schedule taken: %s\n", taken.empty() ? "none" : taken.c_str());
        printLines(all);
        printf("prompt and listing: %s\n", moments.promptAndListing());
    }
    if (fflush(stdout) != 0 || ferror(stdout))
        writeError();
    return 0;
}

} // namespace

int answer(const Request &request) {
    Output output;
    output.open();
    return runProcesses(request, output);
}
