// Texts from outside (a program's name, an option, a line the program printed) as interleave
// shows them: quoted for the shell where a command is to be typed again, and with their
// control characters escaped everywhere, so that none reaches the terminal.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

// As the shell would need it typed: bare when safe, else in quotes, $'...' where it holds
// control characters.
std::string shellQuoted(const std::string &text);
// The text with each control character, and each byte that is not ASCII, as \xNN.
std::string visible(const std::string &text);
// A line of prose folded at its spaces to fit `width` columns, each line after the first
// indented by `indent`; a word longer than a line stays whole.
std::string folded(const std::string &line, size_t indent, size_t width = 80);
// A long schedule in groups of ten letters, so that it folds within the screen and still
// reads as the same schedule (spaces between letters do not count); a short one as it is.
std::string grouped(const std::string &letters);
// An address or a wait status as C writes it in hexadecimal: 0x...
std::string hex(uint64_t value);
// What getopt_long's answer `option` (':' or '?') says of `argument`, the option typed.
std::string optionError(int option, const char *argument);
// The program that `operand` names: a name is looked up on PATH, a path is taken as it is.
// Empty, with the reason, when there is none to run.
std::string findProgram(const char *operand, std::string &why);
// A symbol as its source names it: a C++ name demangled, without its parameters or scope
// (incThread for _ZL9incThreadPv, count for (anonymous namespace)::count).
std::string plainName(const std::string &symbol);
