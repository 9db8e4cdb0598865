// Where in the program's source an instruction comes from, from the DWARF line table of a
// program built with debug information (-g). Read with elfutils' libdw where it was found at
// build time; without it, or without debug information, no line is known.
#pragma once

#include <stdint.h>

#include <string>

// "race.c:12" for the instruction at `address` as linked (not as loaded), or empty.
std::string sourceLine(const char *program, uint64_t address);
