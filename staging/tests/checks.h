// The in-process tests' one helper: a check that, when it does not hold, says what failed and
// is counted, so that a test goes on to its other checks and fails at its end.
#pragma once

#include <stdio.h>

#include <string>

inline int failures = 0;

inline void check(bool holds, const std::string &what) {
    if (!holds) {
        fprintf(stderr, "FAIL: %s\n", what.c_str());
        ++failures;
    }
}
