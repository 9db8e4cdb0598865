// What interleave needs of the processor, and nothing else: the breakpoint instruction, the
// registers it reads and sets, and one instruction decoded by the disassembler library into
// what the scheduler asks of it (where it reads or writes memory, where it may go next).
// Everything particular to one processor is behind these declarations, in one file.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/user.h>

typedef struct user_regs_struct Registers;

// Whether interleave holds programs on the processor it was built for.
bool holdsPrograms();
const char *processorName();

#if defined(__x86_64__)
// int3: one byte. After it traps, the program counter stands just past it.
inline constexpr uint8_t breakpointInstruction[] = {0xcc};
inline constexpr uint64_t pcAfterBreakpoint = 1;
#else
inline constexpr uint8_t breakpointInstruction[] = {0};
inline constexpr uint64_t pcAfterBreakpoint = 0;
#endif
inline constexpr size_t breakpointLength = sizeof breakpointInstruction;

uint64_t programCounter(const Registers &registers);
void setProgramCounter(Registers &registers, uint64_t address);
// Where a routine's return address is, on the stack, at the routine's first instruction.
uint64_t returnAddressSlot(const Registers &registers);
// The integer argument `index` (from 0) of a call, at the called routine's first instruction.
uint64_t callArgument(const Registers &registers, unsigned index);
// The argument `index` (from 0) of a system call, at its entry.
uint64_t systemCallArgument(const Registers &registers, unsigned index);
void setCallArgument(Registers &registers, unsigned index, uint64_t value);
uint64_t stackPointer(const Registers &registers);
void setStackPointer(Registers &registers, uint64_t address);
// What a routine returns, once it has; and the same set, as if it had returned it.
uint64_t returnValue(const Registers &registers);
void setReturnValue(Registers &registers, uint64_t value);
// At a system call's entry: its number, and the call made none at all; at its exit, its
// result set.
long systemCallNumber(const Registers &registers);
void skipSystemCall(Registers &registers);
void setSystemCallResult(Registers &registers, long result);
// The registers without the condition flags, which arithmetic on a loop's counter may leave
// different without the thread's state differing in anything that it reads again.
void forgetFlags(Registers &registers);

// A memory operand: base + index * scale + displacement, of `size` bytes.
struct MemoryOperand {
    int base = 0;
    int index = 0;
    int scale = 1;
    int64_t displacement = 0;
    bool threadLocal = false; // relative to a segment: thread-local storage, never shared
    unsigned size = 0;
    bool reads = false;
    bool writes = false;
};

enum class Flow : uint8_t {
    next,   // on to the next instruction
    call,   // a call: into the target, back to the next instruction
    jump,   // only to the target
    branch, // to the target or on to the next instruction
    end     // nowhere that the instruction itself says: a return, a jump through a register
};

struct Instruction {
    uint64_t address = 0;
    unsigned length = 0;
    char text[200] = {};     // as disassembled: mnemonic and operands
    char loadedInto[8] = {}; // the register that a load from memory fills, if any
    Flow flow = Flow::next;
    bool targetKnown = false;
    uint64_t target = 0;
    unsigned memoryCount = 0;
    MemoryOperand memory[2];
    // Indivisible on a multiprocessor: a lock prefix, or xchg with memory (locked always).
    bool atomic = false;
    // Waits until its processor's store buffer has emptied into memory: an atomic instruction,
    // or a full fence.
    bool fences = false;
    bool systemCall = false; // enters the kernel, which may write the program's output
    bool returns = false;    // a return: where it goes is on the stack
};

// Decodes the instruction whose bytes start at `code` (at most `size` of them), which the
// program has at `address`. False when the bytes are no instruction.
bool decodeInstruction(const uint8_t *code, size_t size, uint64_t address, Instruction &out);
// The address that `operand` of `instruction` refers to, with `registers` as they stand
// before the instruction runs.
uint64_t operandAddress(const Instruction &instruction, const MemoryOperand &operand,
                        const Registers &registers);
// Whether `operand` refers to the same address whatever the registers hold (relative to the
// instruction itself, or absolute), and which.
bool fixedAddress(const Instruction &instruction, const MemoryOperand &operand, uint64_t &address);
