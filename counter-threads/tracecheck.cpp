// The checker reads straight into one large block and checks the lines in place, in one
// pass and constant memory: it must outrun the programs it checks.
#include "tracecheck.h"

#include <stdlib.h>
#include <string.h>

namespace {

// "Dec: -2147483648\n" is the longest report line: an unfinished last line longer than
// that is malformed, not a truncated one.
constexpr size_t longestLine = 17;

// An unfinished line is carried to the next read until it is longer than a quote: then it
// is malformed whatever follows, it has been seen far enough to be quoted, and the rest of
// it is skipped. So the block needs room for a carried line before what a read brings, and
// slack after it so that comparing a label at the end of the data never reaches past it.
char buffer[quoteLimit + TraceChecker::readSize + labelLength];

// Parses one report line at p. Returns its newline and sets label and value, or returns
// nullptr when the line is not exactly "Inc: N\n" or "Dec: N\n" with N as printf's %d
// writes a 32-bit value: no plus sign, no leading zeros or spaces, no "-0". A newline must
// follow p somewhere, so the digit loop stops in time; a magnitude that wraps in a long
// run of digits is rejected by the length.
[[gnu::always_inline]] inline const char *parseLine(const char *p, Label &label, Count &value) {
    if (memcmp(p, incReport, labelLength) == 0)
        label = Label::inc;
    else if (memcmp(p, decReport, labelLength) == 0)
        label = Label::dec;
    else
        return nullptr;
    p += labelLength;
    const bool negative = *p == '-';
    p += negative;
    const char *digits = p;
    uint64_t magnitude = 0;
    for (unsigned digit; (digit = static_cast<unsigned char>(*p - '0')) < 10; ++p)
        magnitude = magnitude * 10 + digit;
    const ptrdiff_t length = p - digits;
    if (*p != '\n' || length == 0 || length > 10 || (length > 1 && *digits == '0') ||
        (negative && magnitude == 0) || magnitude > 2147483647U + (negative ? 1U : 0U))
        return nullptr;
    const auto bits = static_cast<uint32_t>(magnitude);
    value = static_cast<Count>(negative ? 0U - bits : bits);
    return p;
}

} // namespace

void Quote::keep(uint64_t number, const char *from, size_t size) {
    line = number;
    cut = size > quoteLimit;
    length = cut ? quoteLimit : size;
    memcpy(text, from, length);
}

Context::~Context() {
    free(kept);
}

bool Context::reserve(size_t lines) {
    free(kept);
    radius = lines;
    // One more than needed, so that -C 0 is not a request for nothing, which may fail.
    kept = static_cast<Quote *>(calloc(2 * radius + 1, sizeof(Quote)));
    clear();
    return kept != nullptr;
}

void Context::clear() {
    seen = 0;
    afterSeen = 0;
}

void Context::see(const Trace &trace, uint64_t number, const char *text, size_t length) {
    if (trace.breaks == 0) {
        if (radius > 0)
            kept[seen % radius].keep(number, text, length);
        ++seen;
    } else if (number != trace.firstBreak.line && afterSeen < radius) {
        kept[radius + afterSeen++].keep(number, text, length);
    }
}

const Quote &Context::before(size_t index) const {
    return kept[(seen - beforeCount() + index) % radius];
}

char *TraceChecker::readSpace() const {
    return buffer + held;
}

void TraceChecker::countMalformed(const char *line, size_t length) {
    if (result.malformed++ == 0)
        result.firstMalformed.keep(result.lines, line, length);
}

// Counts an unfinished line that is malformed whatever follows: one longer than a quote, or
// a last line longer than any report line. `length` is what of it has arrived.
void TraceChecker::countUnfinished(const char *line, size_t length) {
    ++result.lines;
    countMalformed(line, length);
    if (wantsContext())
        context->see(result, result.lines, line, length);
}

// Ends the current run, if there is one, and starts one with `label`.
void TraceChecker::startRun(Label label) {
    const uint64_t wellFormed = result.incs + result.decs;
    if (runLabel != Label::none) {
        const uint64_t length = wellFormed - runStart;
        RunBin &bin = result.runLengths[63 - __builtin_clzll(length)];
        ++bin.runs;
        bin.lines += length;
        if (length > result.longestRun.length)
            result.longestRun = {length, runLine, runLabel};
    }
    runLabel = label;
    runStart = wellFormed;
    runLine = result.lines;
    result.runs += label != Label::none;
}

// Checks the complete lines in [p, end); the byte before end is a newline. The variant
// with context also hands each line to it; the other is the hot loop.
template <bool withContext> void TraceChecker::checkLines(const char *p, const char *end) {
    while (p < end) {
        ++result.lines;
        Label label;
        Count value;
        const char *newline = parseLine(p, label, value);
        if (newline == nullptr) {
            newline = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
            countMalformed(p, static_cast<size_t>(newline - p));
        } else {
            const bool up = label == Label::inc;
            const Count expected = up ? stepUp(result.last) : stepDown(result.last);
            const bool broke = value != expected;
            if (broke && result.breaks++ == 0)
                result.firstBreak.keep(result.lines, p, static_cast<size_t>(newline - p));
            if (label != runLabel)
                startRun(label);
            result.last = value;
            ++(up ? result.incs : result.decs);
            if (broke && breakSeen != nullptr)
                breakSeen({result.lines, label, value, expected, drift(result)});
        }
        if constexpr (withContext)
            context->see(result, result.lines, p, static_cast<size_t>(newline - p));
        p = newline + 1;
    }
}

void TraceChecker::take(size_t got) {
    const char *p = buffer;
    const char *end = buffer + held + got;
    if (skipping) {
        p = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
        if (p == nullptr) {
            held = 0;
            return;
        }
        ++p;
        skipping = false;
    }
    if (const auto *last =
            static_cast<const char *>(memrchr(p, '\n', static_cast<size_t>(end - p)))) {
        if (wantsContext())
            checkLines<true>(p, last + 1);
        else
            checkLines<false>(p, last + 1);
        p = last + 1;
    }
    held = static_cast<size_t>(end - p);
    if (held > quoteLimit) {
        countUnfinished(p, held);
        skipping = true;
        held = 0;
    }
    memmove(buffer, p, held);
}

void TraceChecker::finish() {
    if (held > longestLine)
        countUnfinished(buffer, held);
    else if (held > 0)
        result.tail.keep(result.lines + 1, buffer, held);
    held = 0;
    startRun(Label::none);
}
