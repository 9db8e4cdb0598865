// The counter's step must wrap at both limits of the 32-bit range without signed overflow.
// Every check is a constant expression, where undefined behaviour does not compile: this file
// is part of every build, so a step that breaks one of them stops the build itself.
#include <stdint.h>

#include "tally.h"

static_assert(stepUp(INT32_MAX) == INT32_MIN);
static_assert(stepDown(INT32_MIN) == INT32_MAX);
static_assert(stepUp(-1) == 0 && stepDown(0) == -1);
static_assert(stepDown(stepUp(12345)) == 12345);
