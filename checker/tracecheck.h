// Reading and checking one counter trace as it arrives, read by read: the stream logic of
// tallycheck, kept apart from its command line and summary so that a fuzz harness can feed
// it directly.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "tally.h"

// A line is quoted in a summary by its first quoteLimit bytes.
inline constexpr size_t quoteLimit = 40;

// One line of the trace, kept for the summary.
struct Quote {
    uint64_t line = 0; // 0 while nothing is kept
    size_t length = 0; // bytes kept, at most quoteLimit
    bool cut = false;  // the line goes on past what is kept
    char text[quoteLimit] = {};

    void keep(uint64_t number, const char *from, size_t size);
};

enum class Label : uint8_t { none, inc, dec };

// A run is a maximal stretch of consecutive well-formed lines with one label: one worker's
// uninterrupted turn at the counter. Malformed lines neither end nor join a run.
struct Run {
    uint64_t length = 0;
    uint64_t line = 0; // where it starts
    Label label = Label::none;
};

// Runs by length in powers of two: bin k holds the runs of 2^k to 2^(k+1)-1 lines.
inline constexpr int runBins = 64;
struct RunBin {
    uint64_t runs = 0;
    uint64_t lines = 0;
};

struct Trace {
    uint64_t lines = 0; // complete lines, and an unfinished last line that is malformed
    uint64_t incs = 0;
    uint64_t decs = 0;
    uint64_t breaks = 0;
    uint64_t malformed = 0;
    uint64_t runs = 0;
    Count last = 0; // value of the last well-formed line; the counter starts at 0
    Run longestRun;
    RunBin runLengths[runBins];
    Quote firstBreak;
    Quote firstMalformed;
    Quote tail; // a last line without its newline: the producer was stopped mid-line
};

// The changes that were lost, net: every well-formed line reports one change, so with none
// lost the trace ends at (Inc - Dec), taken with the counter's wrap-around.
constexpr Count drift(const Trace &trace) {
    return static_cast<Count>(
        static_cast<uint32_t>(trace.last) -
        (static_cast<uint32_t>(trace.incs) - static_cast<uint32_t>(trace.decs)));
}

// One break: the line, what it reports, what the line before predicts, and the drift after it.
struct Break {
    uint64_t line;
    Label label;
    Count value;
    Count expected;
    Count drift;
};

// The lines around the first break: up to `radius` lines before it, kept in a ring while no
// step has broken, and up to `radius` lines after it.
class Context {
  public:
    Context() = default;
    Context(const Context &) = delete;
    Context &operator=(const Context &) = delete;
    ~Context();

    // Makes room for `lines` lines on each side; false when memory is short.
    bool reserve(size_t lines);
    // Forgets the lines of the previous trace.
    void clear();
    // Whether lines are still wanted, given the trace as checked so far.
    bool collecting(const Trace &trace) const { return trace.breaks == 0 || afterSeen < radius; }
    // Takes note of line `number` of the trace, which has just been checked.
    void see(const Trace &trace, uint64_t number, const char *text, size_t length);

    size_t beforeCount() const { return seen < radius ? seen : radius; }
    // The lines before the break, oldest first.
    const Quote &before(size_t index) const;
    size_t afterCount() const { return afterSeen; }
    const Quote &after(size_t index) const { return kept[radius + index]; }

  private:
    size_t radius = 0;
    uint64_t seen = 0; // lines seen before the break
    size_t afterSeen = 0;
    Quote *kept = nullptr; // the ring of lines before the break, then the lines after it
};

// Checks one trace. Each read puts its bytes at readSpace(); take() checks them. Lines may
// be cut anywhere by the reads. All checkers read through one block, so only one trace is
// checked at a time.
class TraceChecker {
  public:
    static constexpr size_t readSize = size_t{256} * 1024;

    // `around` keeps the context of the first break, and `onBreak` is told of every break as
    // it is found; either may be null.
    explicit TraceChecker(Context *around = nullptr, void (*onBreak)(const Break &) = nullptr)
        : context(around), breakSeen(onBreak) {}
    char *readSpace() const;
    // Checks the `got` bytes that the last read put at readSpace().
    void take(size_t got);
    // Ends the trace: an unfinished last line is kept as its tail, the last run closed.
    void finish();
    const Trace &trace() const { return result; }

  private:
    // Every line parsed in full; each also handed to the context; or long runs followed by
    // prediction, the rest parsed in full.
    enum class Path : uint8_t { full, context, predicting };
    template <Path path> void checkLines(const char *p, const char *end);
    bool wantsContext() const { return context != nullptr && context->collecting(result); }
    void countMalformed(const char *line, size_t length);
    void countUnfinished(const char *line, size_t length);
    void startRun(Label label);
    void countStep(const char *p, const char *newline, Label label, Count value);
    const char *followRun(const char *line, const char *p, const char *end, Label label);

    // Lines of a run parsed in full before the rest of it is followed by prediction.
    static constexpr uint64_t predictAfter = 2;
    // The mean run, in lines, from which prediction pays: below it, a prediction set up at
    // a run's third line fails too soon to make up for its cost. The runs of one read decide
    // the path of the next, so a trace of short runs is parsed by the reference loop alone.
    static constexpr uint64_t longRun = 4;
    bool predicting = true;

    Trace result;
    Context *context;
    void (*breakSeen)(const Break &);
    size_t held = 0;       // bytes of an unfinished line carried to the next read
    bool skipping = false; // inside an overlong line that is already counted as malformed
    Label runLabel = Label::none;
    uint64_t runStart = 0; // well-formed lines before the current run
    uint64_t runLine = 0;
};
