// One thread of a held program, as the model sees it between steps.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "step.h"

enum class ThreadState : uint8_t {
    ready,    // its next step can be taken
    blocked,  // its next step is a call that would wait: a lock held, a semaphore at 0
    spinning, // it re-read memory that nobody has changed since: it waits for a store
    asleep,   // asleep in the kernel inside a library call (a read of an empty pipe)
    done,     // made the passes asked of it: it takes no more steps
    ended
};

// A store waiting in its thread's store buffer: the bytes it wrote, where, and by what.
struct Buffered {
    uint64_t address = 0;
    std::vector<uint8_t> bytes;
    uint64_t pc = 0;
    std::string instruction;
    uint64_t place = 0; // its own place, which its store and its arrival touch

    // What its arrival in memory touches: the bytes it writes, and its own place.
    std::vector<Touch> arrival() const { return {{address, bytes.size(), true}, {place, 1, true}}; }
};

struct Thread {
    pid_t tid = 0;
    uint64_t routine = 0; // where it started, 0 for main
    uint64_t handle = 0;  // its pthread_t
    std::string name;     // its routine's name, "main", or empty where there is none
    char letter = '?';
    ThreadState state = ThreadState::ready;
    Step next;             // the step it stands before
    uint64_t stackLow = 0; // its own stack: accesses there are its alone
    uint64_t stackHigh = 0;
    uint64_t stale = 0; // a split read-modify-write: the value its load half saw
    bool halfDone = false;
    // What it has read since it last changed anything: (instruction, address) and the
    // number of stores to that address by then. The same read again, with no store since,
    // is a spin.
    std::map<std::pair<uint64_t, uint64_t>, std::pair<uint64_t, uint64_t>> readSince;
    std::vector<uint64_t> waitsOn; // a spinning thread: the addresses that can wake it
    int heldBy = -1;               // at a deadlock: who holds what it waits for
    bool signalled = false;        // in a condition wait: a signal came
    uint64_t returnAddress = 0;    // of the library call it is in
    uint64_t snapshot = 0;         // its registers and frame before its next step, hashed
    bool lastCalled = false;       // its last instruction of its own called or jumped away
    bool keepNext = false;         // its step left it before the next part of the same call
    bool sleepy = false;           // in a system call that may sleep
    uint64_t loopHead = 0;         // where its first step is: a pass ends back there
    unsigned holding = 0;          // locks and semaphores taken and not given back
    unsigned steps = 0;
    unsigned lines = 0;
    unsigned changes = 0;
    std::deque<Buffered> buffer; // under store buffers: its stores not yet in memory
    uint64_t bufferedSoFar = 0;
    bool inSystemCall = false;
    bool skipSystemCall = false;
    long skippedResult = 0;
};
