// The model that interleave holds a program in: threads that take steps. A step is one event
// of one thread, something another thread could see or be held up by, and everything the
// thread does after it up to the next such event (arithmetic, its own stack, a printf).
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "routines.h"

enum class StepKind : uint8_t {
    load,   // a load of memory that another thread can reach
    store,  // a store to it
    update, // one indivisible read-modify-write: a lock prefix, xchg
    // The C library's synchronisation, each call one step.
    lock,
    trylock,
    unlock,
    readLock, // a read-write lock taken to read
    semWait,
    semTrywait,
    semPost,
    condWait, // releases the mutex and sleeps until signalled
    condWake, // woken: takes the mutex again and returns
    condSignal,
    condBroadcast,
    barrier,
    create,
    join,
    sleep, // sleep, usleep, nanosleep: returns at once, a point where others may run
    end,   // the thread's routine returns, or it calls pthread_exit
    exit,  // the process ends: main returns, or a thread calls exit
    wakes, // a library call asleep in the kernel has woken: it goes on
    // Under store buffers:
    flush,      // the oldest store of a thread's buffer reaches memory
    fence,      // a fence (mfence, a locked instruction on its own memory), its buffer empty
    libraryCall // a call into other library code, its buffer emptied first
};

// The order in which memory takes the threads' stores. Sequential consistency: each store
// at once, in one order with every load. x86's total store order: each thread's stores wait
// in its own store buffer, first in first out, and its later loads may go ahead of them.
enum class MemoryOrder : uint8_t { sequential, storeBuffers };

// What a step touches, for telling which steps commute: two steps of different threads are
// independent when no range that one writes overlaps a range that the other touches.
struct Touch {
    uint64_t address;
    uint64_t size;
    bool writes;
};

// Places that are not memory but order steps all the same, each a range of its own far from
// any address a program has: a thread's life (created, ended) and the program's output.
inline constexpr uint64_t threadPlace = 0xffff'0000'0000'0000;
inline constexpr uint64_t outputPlace = 0xffff'ff00'0000'0000;
inline constexpr uint64_t everywhere = ~uint64_t{0};
// Each buffered store has a place of its own, which only its store and its arrival in memory
// touch: the one comes before the other, and neither orders anything else.
inline constexpr uint64_t bufferPlace = 0xffff'fe00'0000'0000;

struct Step {
    int thread = -1;
    StepKind kind = StepKind::load;
    uint64_t pc = 0;      // where the event is: the instruction, or the call's return address
    uint64_t address = 0; // the memory or the synchronisation object
    unsigned size = 0;
    uint64_t value = 0;              // loaded, stored, or after an update
    uint64_t before = 0;             // an update's value before it
    uint64_t object = 0;             // a second object: a condition wait's mutex, a created thread
    Routine routine = Routine::none; // the call, for a step that is one
    int result = 0;                  // a call's result where it tells (trylock's, a join's thread)
    bool half = false;               // the load half of a read-modify-write that is not indivisible
    bool buffered = false;           // a store that went into its thread's store buffer
    bool forwarded = false;          // a load that saw its own thread's buffered store
    std::string instruction;
    std::string printed; // the program's output during the step
    std::vector<Touch> touches;
};

bool independent(const std::vector<Touch> &a, const std::vector<Touch> &b);
bool isMemory(StepKind kind);
// Whether a step waits for its thread's store buffer to empty first, as the processor makes
// locked instructions, fences and system calls wait (the library's synchronisation is made
// of them).
bool drains(StepKind kind);

// Who takes a step: a thread, by its index, or a thread's store buffer (whose step sends its
// oldest store to memory), numbered far above any thread.
inline constexpr int firstBuffer = 1 << 20;
inline int bufferOf(int thread) {
    return firstBuffer + thread;
}
inline bool isBuffer(int actor) {
    return actor >= firstBuffer;
}
inline int ownerOf(int actor) {
    return isBuffer(actor) ? actor - firstBuffer : actor;
}
