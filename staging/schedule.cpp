// Reading, drawing and spelling schedules.
#include "schedule.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

// A pass of a loosetally worker: its load, its store, and its report.
static constexpr unsigned long passSteps = 3;
static constexpr unsigned long passesAfterRace = 20;

const char *letters(Kind kind) {
    return kind == Kind::counter ? "ID" : "PC";
}

const char *whoTakes(Kind kind, char letter) {
    if (kind == Kind::counter)
        return "thread";
    return letter == 'P' ? "parent" : "child";
}

bool parseNumber(const char *text, unsigned long most, unsigned long &number) {
    number = 0;
    if (*text == '\0')
        return false;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        const auto digit = static_cast<unsigned long>(*p - '0');
        if (digit > most || number > (most - digit) / 10)
            return false;
        number = number * 10 + digit;
    }
    return true;
}

namespace {

std::string stepsOf(Kind kind) {
    const char *all = letters(kind);
    return std::string(1, all[0]) + " (" + whoTakes(kind, all[0]) + ") and " + all[1] + " (" +
           whoTakes(kind, all[1]) + ")";
}

bool checkSpawn(const std::string &steps, std::string &why) {
    const size_t parent = steps.find('P');
    const size_t child = steps.find('C');
    if (static_cast<unsigned long>(std::count(steps.begin(), steps.end(), 'P')) > parentSteps)
        why = "spawnlist's parent has only 3 steps";
    else if (static_cast<unsigned long>(std::count(steps.begin(), steps.end(), 'C')) > childSteps)
        why = "spawnlist's child has only 2 steps";
    else if (child != std::string::npos && (parent == std::string::npos || child < parent))
        why = "the child exists only after the parent's fork: a P comes first";
    return why.empty();
}

// splitmix64: a small generator whose every output is fixed by its seed, everywhere.
uint64_t nextDraw(uint64_t &state) {
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

} // namespace

// Why `c` is no step of the program `name`.
std::string notAStep(char c, Kind kind, const char *name) {
    char shown[8];
    snprintf(shown, sizeof shown, c > ' ' && c < 0x7f ? "'%c'" : "'\\x%02x'",
             static_cast<unsigned char>(c));
    return std::string(shown) + " is not a step of " + name + ": " +
           (kind == Kind::counter ? "a thread's letter is one from A to Z"
                                  : "its steps are " + stepsOf(kind));
}

// The count after a letter, read past: 1 without one, one past the most when too large.
unsigned long repeatsAt(const char *&p) {
    const char *digits = p;
    while (*p >= '0' && *p <= '9')
        ++p;
    unsigned long repeats = 1;
    if (p != digits && !parseNumber(std::string(digits, p).c_str(), mostSteps, repeats))
        repeats = mostSteps + 1;
    return repeats;
}

// A thread's letter from A to Z, or one of the letters of a program that forks.
bool isStep(Kind kind, char letter) {
    if (kind == Kind::counter)
        return letter >= 'A' && letter <= 'Z';
    return letter != '\0' && strchr(letters(kind), letter) != nullptr;
}

bool parseSchedule(const char *text, Kind kind, const char *name, std::string &steps,
                   std::string &why, bool buffers) {
    steps.clear();
    for (const char *p = text; *p != '\0';) {
        const char c = *p++;
        if (c == ' ' || c == '\t' || c == '\n' || c == ',')
            continue;
        const bool small = c >= 'a' && c <= 'z';
        const char letter = small ? static_cast<char>(c - 'a' + 'A') : c;
        if (!isStep(kind, letter)) {
            why = notAStep(c, kind, name);
            return false;
        }
        const unsigned long repeats = repeatsAt(p);
        if (repeats > mostSteps - steps.size()) {
            why = "a schedule has at most " + std::to_string(mostSteps) + " steps";
            return false;
        }
        steps.append(repeats, small && buffers ? c : letter); // small: a store buffer
    }
    if (steps.empty() && kind != Kind::counter) {
        why = "a schedule has at least one step";
        return false;
    }
    return kind != Kind::processes || checkSpawn(steps, why);
}

std::string seededSchedule(Kind kind, uint32_t seed, unsigned long length) {
    uint64_t state = seed;
    if (kind == Kind::processes) {
        // The parent's fork first, then its other two steps and the child's two, shuffled.
        std::string rest = "PPCC";
        for (size_t i = rest.size() - 1; i > 0; --i)
            std::swap(rest[i], rest[nextDraw(state) % (i + 1)]);
        return "P" + rest;
    }
    return seededLetters("ID", seed, length);
}

std::string seededLetters(const std::string &letters, uint32_t seed, unsigned long length) {
    uint64_t state = seed;
    std::string steps;
    for (unsigned long i = 0; i < length && !letters.empty(); ++i)
        steps += letters[nextDraw(state) % letters.size()];
    return steps;
}

std::string raceSchedule(char held, unsigned long changes) {
    const char other = held == 'I' ? 'D' : 'I';
    std::string steps(1, held);
    steps.append(changes * passSteps, other).append(1, held);
    steps.append(passSteps, other).append(1, held);
    return steps.append(passesAfterRace * passSteps, held);
}
