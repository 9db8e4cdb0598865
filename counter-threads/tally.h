// The trace vocabulary that the counter programs and their checker share: the counter's
// type, one step of it, and the report line that follows every change.
#pragma once

#include <stdint.h>

// The shared counter: a 32-bit two's-complement value that wraps at its limits.
typedef int32_t Count;

// Signed overflow is undefined, so a step is taken in unsigned arithmetic, which wraps by
// definition; converting the result back to the signed type is modular since C++20.
constexpr Count stepUp(Count value) {
    return static_cast<Count>(static_cast<uint32_t>(value) + 1U);
}
constexpr Count stepDown(Count value) {
    return static_cast<Count>(static_cast<uint32_t>(value) - 1U);
}

// The report lines, printf formats that the compiler checks against the value at each
// call. Both labels are five characters long, colon and space included.
inline constexpr char incReport[] = "Inc: %d\n";
inline constexpr char decReport[] = "Dec: %d\n";
inline constexpr int labelLength = 5;
