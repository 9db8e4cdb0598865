// Reading a schedule's letters, or asking for them, as a run goes.
#include "letters.h"

#include <ctype.h>
#include <stdio.h>

#include <algorithm>

#include "command_line.h"
#include "describe.h"
#include "explorer.h"
#include "names.h"
#include "watch.h"

namespace {

// Steps that the first thread able to go may take while a letter waits for its thread to start.
constexpr unsigned mostBeforeStart = 64;

// Who a letter names: a thread; under store buffers a small letter names its thread's buffer.
int byLetter(const Execution &run, char letter) {
    const bool buffer = run.storeBuffers() && islower(static_cast<unsigned char>(letter));
    const char wanted =
        buffer ? static_cast<char>(toupper(static_cast<unsigned char>(letter))) : letter;
    for (size_t i = 0; i < run.threads().size(); ++i)
        if (run.threads()[i].letter == wanted)
            return buffer ? bufferOf(static_cast<int>(i)) : static_cast<int>(i);
    return -1;
}

// The letters of a line typed at the terminal, up to a q; empty, with a word why, where one
// names no thread of the run. Case matters only where a small letter names a store buffer.
std::string lettersOf(const Execution &run, const char *line) {
    std::string letters;
    for (const char *at = line; *at != '\0' && *at != '\n'; ++at) {
        const char letter =
            run.storeBuffers() ? *at : static_cast<char>(toupper(static_cast<unsigned char>(*at)));
        if (letter == 'Q' || letter == 'q')
            break;
        if (letter == ' ' || letter == ',')
            continue;
        if (byLetter(run, letter) < 0) {
            printf("no thread %s here\n", visible(std::string(1, *at)).c_str());
            return "";
        }
        letters += letter;
    }
    return letters;
}

// The next letters typed at the terminal; empty at its end, an empty line or a q. A letter
// of no thread of the run is refused, and asked for again.
std::string ask(const Execution &run, const std::vector<int> &can) {
    std::string offered;
    for (const int actor : can)
        offered += std::string(offered.empty() ? "" : ", ") + letterOf(actor, run.threads());
    for (;;) {
        printf("next (%s; q to stop)? ", offered.c_str());
        fflush(stdout);
        waitForInput();
        char line[256];
        if (fgets(line, sizeof line, stdin) == nullptr)
            return "";
        std::string letters = lettersOf(run, line);
        if (!letters.empty() || line[0] == '\n' || line[0] == 'q' || line[0] == 'Q')
            return letters;
    }
}

} // namespace

int Letters::choose(const Execution &run, const std::vector<int> &can, const Places &places) {
    if (can.size() == 1)
        return can.front(); // no choice: no letter
    if (asking && next == schedule.size())
        schedule += ask(run, can);
    if (next == schedule.size())
        return stop;
    const char wanted = schedule[next];
    const int named = byLetter(run, wanted);
    if (named >= 0)
        unstarted = 0;
    if (named >= 0 && std::find(can.begin(), can.end(), named) != can.end()) {
        ++next;
        return named;
    }
    if (named >= 0) {
        ++next; // it cannot go: said, and nothing moves
        const std::string why =
            isBuffer(named)
                ? std::string(1, static_cast<char>(toupper(wanted))) + "'s buffer is empty"
                : describeWait(named, run, places);
        if (!quiet)
            printf("%4s  %c  %s\n", "", wanted, why.c_str());
        return again;
    }
    if (++unstarted <= mostBeforeStart)
        return can.front(); // not started yet: the first that can go goes, until it is
    if (!asking) {          // the schedule is wrong, as a usage error is: status 2
        fflush(stdout);
        usageError("the schedule names thread " + visible(std::string(1, wanted)) +
                   ", which has not started");
    }
    printf("no thread %c has started; the letters after it are dropped\n", wanted);
    schedule.erase(next);
    unstarted = 0;
    return again;
}
