// The schedules that interleave runs: one letter a step, read from the command line, drawn
// from a seed, or spelt as a race; and what the kinds of program it holds take as steps.
#pragma once

#include <stdint.h>

#include <string>

// What interleave holds: two worker threads that share a counter, or a process that forks.
enum class Kind : uint8_t { counter, processes };

// The letters of `kind`'s steps and who takes them: I and D, or P and C.
const char *letters(Kind kind);
const char *whoTakes(Kind kind, char letter);

// The most steps that a schedule may have, and a seeded schedule.
inline constexpr unsigned long mostSteps = 10000;
inline constexpr unsigned long mostDrawnSteps = 1000;
// spawnlist's parent forks, prints its line and exits; its child execs and lists.
inline constexpr unsigned parentSteps = 3;
inline constexpr unsigned childSteps = 2;

// Reads a schedule: one letter a step, in either case; a letter followed by a count is that
// many steps (I3 is III); spaces and commas are ignored. With `buffers`, a small letter is
// kept small: it names a thread's store buffer. False, with the reason in `why`, when it is
// no schedule of `kind`; `name` is the program's, for the reason.
bool parseSchedule(const char *text, Kind kind, const char *name, std::string &steps,
                   std::string &why, bool buffers = false);
// A valid schedule drawn from `seed`: the same for the same seed on every machine.
std::string seededSchedule(Kind kind, uint32_t seed, unsigned long length);
// `length` letters drawn from `letters` by `seed`: the same on every machine.
std::string seededLetters(const std::string &letters, uint32_t seed, unsigned long length);
// The race on demand: `held` (I or D) loads the counter and is held before its store while
// the other worker alone makes `changes` changes; its store then wipes them out. The other
// changes the counter once more before the held worker loads it for its report, which is
// late; then the held worker alone makes twenty more passes.
std::string raceSchedule(char held, unsigned long changes);
// Reads a decimal number of ASCII digits alone, at most `most`.
bool parseNumber(const char *text, unsigned long most, unsigned long &number);
