// Processors that interleave does not hold programs on yet. Everything else of it builds
// and runs there: the schedules, the questions and the command line.
#include <sys/utsname.h>

#include "arch.h"

bool holdsPrograms() {
    return false;
}

const char *processorName() {
    static utsname machine;
    return uname(&machine) == 0 ? machine.machine : "this processor";
}

uint64_t programCounter(const Registers &) {
    return 0;
}

void setProgramCounter(Registers &, uint64_t) {}

uint64_t returnAddressSlot(const Registers &) {
    return 0;
}

uint64_t callArgument(const Registers &, unsigned) {
    return 0;
}

uint64_t systemCallArgument(const Registers &, unsigned) {
    return 0;
}

void setCallArgument(Registers &, unsigned, uint64_t) {}

uint64_t stackPointer(const Registers &) {
    return 0;
}

void setStackPointer(Registers &, uint64_t) {}

uint64_t returnValue(const Registers &) {
    return 0;
}

void setReturnValue(Registers &, uint64_t) {}

long systemCallNumber(const Registers &) {
    return -1;
}

void skipSystemCall(Registers &) {}

void setSystemCallResult(Registers &, long) {}

void forgetFlags(Registers &) {}

bool decodeInstruction(const uint8_t *, size_t, uint64_t, Instruction &) {
    return false;
}

uint64_t operandAddress(const Instruction &, const MemoryOperand &, const Registers &) {
    return 0;
}

bool fixedAddress(const Instruction &, const MemoryOperand &, uint64_t &) {
    return false;
}
