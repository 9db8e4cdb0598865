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
// slack after it so that comparing a label, or loading a predicted line's two words, at the
// end of the data never reaches past it.
constexpr size_t slack = 16;
static_assert(slack >= labelLength);
char buffer[quoteLimit + TraceChecker::readSize + slack];

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

// ---- The fast path: following a run by predicting its next line ----
//
// Within a consistent run, each next line is known before it is read: the same label, the
// value one step on. printf writes a value one way only and parseLine accepts only that way,
// so a line is well formed, consistent and of the run's label exactly when its bytes are the
// predicted text: matching it checks it in full. The text is held as two 8-byte words with
// a mask of its length, which fits every report line of up to 16 bytes (all but values of
// -1000000000 and below, left to the full parse), so a line costs two loads and a few
// compares. The prediction starts from the text of a line just parsed in full and steps on
// like an odometer: the last digit moves by one, an addition to its word; every tenth step
// it wraps round and the tens digit moves with it, another addition. Where the hundreds digit, the
// length or the sign would change, or the value would wrap at a limit, the run is given
// back to the full parse for one line, and followed again from there. The words are built
// with memcpy from byte tables, so this holds for either byte order. A word may run past the
// line, even past the data, into the buffer's slack: the mask ignores those bytes.

// Two words from p.
[[gnu::always_inline]] inline void load(uint64_t (&words)[2], const void *p) {
    memcpy(words, p, sizeof words);
}

// Windows into these give, for a line of n bytes, n bytes of ones, and a one in the byte of
// its last digit or of its tens digit.
constexpr unsigned char ones[32] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
constexpr unsigned char unit[32] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

// The text of a run's lines, stepping on from the line just parsed.
struct Odometer {
    uint64_t text[2];  // the line's bytes, and what follows them
    uint64_t mask[2];  // all ones over the line's bytes
    uint64_t step[2];  // the last digit one on, up or down
    uint64_t carry[2]; // the last digit from 9 to 0 and the tens one up, or back
    int room;          // steps of the last digit before it wraps round
};

// How many steps the odometer can take from `value`, whose text ends in the last digit at
// `digit`: the magnitude grows away from 0 until the hundreds digit would carry, the length
// change or the value wrap; it shrinks towards 0 until the hundreds digit would borrow, the
// length change or the sign go ("-1" to "0").
int64_t stepsLeft(const char *digit, bool up, Count value) {
    const int last = *digit - '0';
    const bool tens = digit[-1] >= '0';
    const bool hundreds = tens && digit[-2] >= '0';
    const int lastTwo = last + (tens ? 10 * (digit[-1] - '0') : 0);
    if (up ? value >= 0 : value < 0) {
        const int64_t toLimit = up ? (int64_t{INT32_MAX} - value) : (int64_t{value} - INT32_MIN);
        const int64_t left = (tens ? 99 : 9) - lastTwo;
        return toLimit < left ? toLimit : left;
    }
    if (value == 0)
        return 0;
    return hundreds ? lastTwo : tens ? lastTwo - 10 : lastTwo - (value < 0);
}

// Sets the odometer to the line of `length` bytes at `line`.
Odometer startOdometer(const char *line, size_t length, bool up, Count value) {
    Odometer odometer;
    uint64_t tensUnit[2];
    load(odometer.text, line);
    load(odometer.mask, ones + 16 - length);
    load(odometer.step, unit + 17 - length);
    load(tensUnit, unit + 18 - length);
    const int last = line[length - 2] - '0';
    const bool grows = up ? value >= 0 : value < 0;
    odometer.room = grows ? 9 - last : last;
    for (int i = 0; i < 2; ++i) {
        const uint64_t digit = odometer.step[i];
        odometer.carry[i] = grows ? tensUnit[i] - 9 * digit : 9 * digit - tensUnit[i];
        odometer.step[i] = grows ? digit : 0 - digit;
    }
    return odometer;
}

} // namespace

// Follows the run on from the line [line, p), just parsed in full and well formed, while
// the lines from p match their prediction, and counts them. Returns where the first line
// that does not match starts, for the full parse.
const char *TraceChecker::followRun(const char *line, const char *p, const char *end, Label label) {
    const auto length = static_cast<size_t>(p - line);
    if (length > 16)
        return p;
    const bool up = label == Label::inc;
    Count value = result.last;
    const Odometer odometer = startOdometer(line, length, up, value);
    uint64_t text0 = odometer.text[0];
    uint64_t text1 = odometer.text[1];
    int room = odometer.room;
    uint64_t matched = 0;
    for (int64_t left = stepsLeft(p - 2, up, value); left > 0 && p < end; --left) {
        text0 += room == 0 ? odometer.carry[0] : odometer.step[0];
        text1 += room == 0 ? odometer.carry[1] : odometer.step[1];
        room = room == 0 ? 9 : room - 1;
        uint64_t words[2];
        load(words, p);
        if ((((words[0] ^ text0) & odometer.mask[0]) | ((words[1] ^ text1) & odometer.mask[1])) !=
            0)
            break;
        p += length;
        ++matched;
        value = up ? stepUp(value) : stepDown(value);
    }
    result.lines += matched;
    (up ? result.incs : result.decs) += matched;
    result.last = value;
    return p;
}

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
[[gnu::always_inline]] inline void TraceChecker::startRun(Label label) {
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

// Counts the well-formed line [p, newline) as a step of the counter.
[[gnu::always_inline]] inline void TraceChecker::countStep(const char *p, const char *newline,
                                                           Label label, Count value) {
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

// Checks the complete lines in [p, end); the byte before end is a newline. Every line is
// parsed in full here, the reference path, but on the predicting path for the lines of a
// long run that match their prediction. The path with context also hands each line to it.
template <TraceChecker::Path path> void TraceChecker::checkLines(const char *p, const char *end) {
    while (p < end) {
        ++result.lines;
        Label label;
        Count value;
        const char *newline = parseLine(p, label, value);
        if (newline == nullptr) {
            newline = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
            countMalformed(p, static_cast<size_t>(newline - p));
        } else {
            countStep(p, newline, label, value);
            // A run that has lasted is likely to go on: follow it by prediction. Short runs
            // end before that, and skip the cost of setting up a prediction that fails.
            if constexpr (path == Path::predicting) {
                if (result.incs + result.decs - runStart >= predictAfter) {
                    p = followRun(p, newline + 1, end, label);
                    continue;
                }
            }
        }
        if constexpr (path == Path::context)
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
        const uint64_t runs = result.runs;
        const uint64_t wellFormed = result.incs + result.decs;
        if (wantsContext())
            checkLines<Path::context>(p, last + 1);
        else if (predicting)
            checkLines<Path::predicting>(p, last + 1);
        else
            checkLines<Path::full>(p, last + 1);
        // Prediction pays where runs are long. Where they were short in this read, the
        // next is parsed in full, by the reference loop alone.
        predicting = result.incs + result.decs - wellFormed >= longRun * (result.runs - runs);
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
