// Feeds arbitrary bytes to the trace checker, in reads of sizes the fuzzer chooses, and
// compares every field of the result with a small reference checker that works another way:
// it splits the whole input into lines first, tells a well-formed line by printing its value
// back, and steps the counter in 64-bit arithmetic. The first two bytes of an input are not
// trace: one chooses the context radius, the other the read sizes. With its high bit clear,
// the reads are of up to 48 bytes and cut many lines. With it set, the first read takes as
// many bytes as its low bits say, plus one, and the rest comes in one read: a first break
// early on ends the context, and the fast path then follows a run through carry after carry.
// Every break's row and the runs by length are compared too.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "tracecheck.h"

namespace {

struct Line {
    uint64_t number;
    std::string_view text;
};

struct Reference {
    Trace trace;
    std::vector<Line> context; // the first break among the lines around it
    std::vector<Break> breaks;
};

// The rows that the checker reports as it goes.
std::vector<Break> breaksSeen;
void seeBreak(const Break &row) {
    breaksSeen.push_back(row);
}

// The bin of a run's length, found by doubling.
size_t binOf(uint64_t length) {
    size_t bin = 0;
    while (length >= uint64_t{2} << bin)
        ++bin;
    return bin;
}

// The counter's wrap-around, worked out in 64-bit arithmetic.
Count wrap(int64_t value) {
    int64_t low = value % 0x100000000;
    if (low < INT32_MIN)
        low += 0x100000000;
    if (low > INT32_MAX)
        low -= 0x100000000;
    return static_cast<Count>(low);
}

bool wellFormed(std::string_view text, Label &label, Count &value) {
    if (text.size() < 6 || text.substr(3, 2) != ": ")
        return false;
    label = text.starts_with("Inc")   ? Label::inc
            : text.starts_with("Dec") ? Label::dec
                                      : Label::none;
    const std::string digits(text.substr(5));
    char *end;
    const long long parsed = strtoll(digits.c_str(), &end, 10);
    if (label == Label::none || parsed < INT32_MIN || parsed > INT32_MAX ||
        std::to_string(parsed) != digits)
        return false;
    value = static_cast<Count>(parsed);
    return true;
}

// What a quote of the line must hold: its first 40 bytes, and whether more follow.
Quote quoted(uint64_t number, std::string_view text) {
    Quote quote;
    quote.line = number;
    quote.cut = text.size() > sizeof quote.text;
    quote.length = text.copy(quote.text, sizeof quote.text);
    return quote;
}

// The input's lines, and its unfinished last line: one of them if it is longer than any
// report line (so malformed), else the tail.
std::vector<Line> splitLines(std::string_view input, Trace &trace) {
    std::vector<Line> lines;
    size_t start = 0;
    for (size_t newline; (newline = input.find('\n', start)) != std::string_view::npos;
         start = newline + 1)
        lines.push_back({lines.size() + 1, input.substr(start, newline - start)});
    const std::string_view rest = input.substr(start);
    if (rest.size() > 17)
        lines.push_back({lines.size() + 1, rest});
    else if (!rest.empty())
        trace.tail = quoted(lines.size() + 1, rest);
    trace.lines = lines.size();
    return lines;
}

void countByLength(const std::vector<uint64_t> &runLengths, Trace &trace) {
    for (const uint64_t length : runLengths) {
        ++trace.runLengths[binOf(length)].runs;
        trace.runLengths[binOf(length)].lines += length;
    }
}

std::vector<Line> around(const std::vector<Line> &lines, uint64_t at, size_t radius) {
    std::vector<Line> near;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(near), [&](const Line &line) {
        return line.number + radius >= at && line.number <= at + radius;
    });
    return near;
}

Reference check(std::string_view input, size_t radius) {
    Reference result;
    Trace &trace = result.trace;
    const std::vector<Line> lines = splitLines(input, trace);

    Label runLabel = Label::none;
    Run run;
    std::vector<uint64_t> runLengths;
    for (const Line &line : lines) {
        Label label;
        Count value;
        if (!wellFormed(line.text, label, value)) {
            if (trace.malformed++ == 0)
                trace.firstMalformed = quoted(line.number, line.text);
            continue;
        }
        const int64_t expected = int64_t{trace.last} + (label == Label::inc ? 1 : -1);
        const bool broke = value != wrap(expected);
        if (broke && trace.breaks++ == 0)
            trace.firstBreak = quoted(line.number, line.text);
        if (label != runLabel) {
            ++trace.runs;
            run = {0, line.number, label};
            runLabel = label;
            runLengths.push_back(0);
        }
        ++runLengths.back();
        if (++run.length > trace.longestRun.length)
            trace.longestRun = run;
        trace.last = value;
        ++(label == Label::inc ? trace.incs : trace.decs);
        if (broke)
            result.breaks.push_back(
                {line.number, label, value, wrap(expected),
                 wrap(int64_t{value} - (int64_t(trace.incs) - int64_t(trace.decs)))});
    }
    countByLength(runLengths, trace);
    if (trace.breaks > 0)
        result.context = around(lines, trace.firstBreak.line, radius);
    return result;
}

// The bytes that read number `read` asks for, of an input of `size` bytes, by the pattern:
// with its high bit clear, 1 to 48; with it set, a first read of the low bits plus one,
// then the rest.
size_t readWanted(unsigned pattern, size_t read, size_t size) {
    if ((pattern & 0x80) == 0)
        return 1 + (pattern * (read + 1) * 2654435761U >> 7) % 48;
    return read == 0 ? 1 + (pattern & 0x7f) : size;
}

[[noreturn]] void mismatch(const char *field) {
    fprintf(stderr, "tallycheck and the reference differ in %s\n", field);
    abort();
}

void expectSame(const Quote &got, const Quote &want, const char *field) {
    if (got.line != want.line || got.length != want.length || got.cut != want.cut ||
        memcmp(got.text, want.text, got.length) != 0)
        mismatch(field);
}

void expectSameBreaks(const std::vector<Break> &want) {
    if (breaksSeen.size() != want.size())
        mismatch("the number of break rows");
    for (size_t i = 0; i < want.size(); ++i) {
        const Break &row = breaksSeen[i];
        if (row.line != want[i].line || row.label != want[i].label || row.value != want[i].value ||
            row.expected != want[i].expected || row.drift != want[i].drift)
            mismatch("a break row");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    const size_t radius = data[0] % 4;
    const unsigned readPattern = data[1];
    const std::string_view input(reinterpret_cast<const char *>(data) + 2, size - 2);

    Context context;
    if (!context.reserve(radius))
        abort();
    breaksSeen.clear();
    TraceChecker checker(&context, seeBreak);
    for (size_t at = 0, read = 0; at < input.size(); ++read) {
        const size_t want = readWanted(readPattern, read, input.size());
        const size_t got = std::min({want, input.size() - at, TraceChecker::readSize});
        memcpy(checker.readSpace(), input.data() + at, got);
        checker.take(got);
        at += got;
    }
    checker.finish();

    const Trace &got = checker.trace();
    const Reference reference = check(input, radius);
    const Trace &want = reference.trace;
    if (got.lines != want.lines || got.incs != want.incs || got.decs != want.decs)
        mismatch("the line counts");
    if (got.breaks != want.breaks || got.malformed != want.malformed)
        mismatch("breaks or malformed lines");
    if (got.last != want.last ||
        drift(got) != wrap(int64_t{want.last} - (int64_t(want.incs) - int64_t(want.decs))))
        mismatch("the last value or the drift");
    if (got.runs != want.runs || got.longestRun.length != want.longestRun.length ||
        got.longestRun.line != want.longestRun.line ||
        got.longestRun.label != want.longestRun.label)
        mismatch("the runs");
    for (size_t bin = 0; bin < runBins; ++bin)
        if (got.runLengths[bin].runs != want.runLengths[bin].runs ||
            got.runLengths[bin].lines != want.runLengths[bin].lines)
            mismatch("the runs by length");
    expectSameBreaks(reference.breaks);
    expectSame(got.firstBreak, want.firstBreak, "the first break");
    expectSame(got.firstMalformed, want.firstMalformed, "the first malformed line");
    expectSame(got.tail, want.tail, "the tail");

    if (got.breaks > 0) {
        std::vector<Quote> around;
        for (size_t i = 0; i < context.beforeCount(); ++i)
            around.push_back(context.before(i));
        around.push_back(got.firstBreak);
        for (size_t i = 0; i < context.afterCount(); ++i)
            around.push_back(context.after(i));
        if (around.size() != reference.context.size())
            mismatch("the number of context lines");
        for (size_t i = 0; i < around.size(); ++i)
            expectSame(around[i], quoted(reference.context[i].number, reference.context[i].text),
                       "a context line");
    }
    return 0;
}
