// loosetally, guardtally and any program of their shape, held one step at a time: main
// starts two workers with pthread_create and they change one counter. interleave finds all
// of it in the program itself, so a stripped copy, or a learner's own with other names, is
// held like the built one.
//
// A step takes one worker through its next event and on until just before the one after:
// an event is an access to the counter (a load, a store, or one instruction that does both)
// or a call that takes or gives back a lock (sem_wait, sem_post, pthread_mutex_lock,
// pthread_mutex_unlock). What lies between two events (arithmetic, printf) belongs to the
// step before it. A lock call that must wait enters a futex wait in the kernel: the worker
// is blocked, and stays where it is until a call of the other's wakes it.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "image.h"
#include "tally.h"
#include "tracee.h"

enum class Event : uint8_t { none, load, store, change, lock, unlock };

// What one step did.
struct CounterStep {
    Event event = Event::none;
    const char *call = nullptr; // the lock routine called
    bool blocked = false;       // the call waits in the kernel
    bool stillBlocked = false;  // chosen while blocked: nothing moved
    bool woken = false;         // a call that waited, now woken, went on
    int woke = -1;              // the worker that a call of this step woke
    Count value = 0;            // loaded or stored
    char loadedInto[8] = {};
    std::string instruction; // an access's, as disassembled
    std::string printed;
    Count counter = 0; // after the step
    bool ended = false;
};

class CounterRun {
  public:
    static constexpr int workers = 2; // I, the first started, and D, the second

    // Starts the program at `path` with the argument vector `argv` and holds both workers at
    // their routines' first instructions, neither having touched the counter.
    void start(const char *path, char *const *argv, Image &program, Output &output);
    CounterStep step(int index);
    // Neither blocked nor ended: a step of it would move it.
    bool canMove(int worker) const;
    bool deadlocked() const;
    unsigned changes(int worker) const { return held[worker].changes; }
    unsigned lines(int worker) const { return held[worker].lines; }
    unsigned locksHeld(int worker) const { return held[worker].locksHeld; }
    Count counter();

  private:
    // Where a worker stands: in its own code with no event ahead yet, on an access to the
    // counter, at a lock routine's first instruction, inside a library call, asleep in the
    // kernel, or ended.
    enum class At : uint8_t { between, access, lockCall, inCall, asleep, ended };
    // How a library call that a worker runs comes to a stop, if it does.
    enum class Stop : uint8_t { running, returned, lockEntry, asleep, ended };
    // The futex call that a worker makes: the entry's arguments, read again at its exit.
    struct Futex {
        uint64_t address = 0;
        uint64_t op = 0;
    };
    struct Worker {
        pid_t tid = 0;
        At at = At::between;
        int lock = -1;              // the lock routine of the call it is in, if any
        uint64_t returnAddress = 0; // of the library call it is in
        uint64_t futex = 0;         // where it sleeps
        unsigned sleptAt = 0;
        unsigned changes = 0;
        unsigned lines = 0;
        unsigned locksHeld = 0;
    };
    void advance(int index);
    Stop finishCall(int index, bool event);
    Stop end(Worker &worker);
    Stop systemCall(Worker &worker, Futex &futex);
    Stop trapped(int index);
    Stop sleep(Worker &worker, uint64_t futex);
    void wake(uint64_t futex, int64_t woken);
    void access(Worker &worker, CounterStep &step);
    void lockCall(int index, CounterStep &step);
    bool touchesCounter(const Instruction &instruction, const Registers &registers) const;
    int lockAt(uint64_t address) const;

    Tracee tracee;
    Image *image = nullptr;
    Output *output = nullptr;
    uint64_t count = 0; // the counter's address
    Worker held[workers];
    uint64_t locks[4] = {};
    unsigned sleeps = 0;
    int wokeLast = -1;
};

inline constexpr const char *workerNames[] = {"Inc", "Dec"};
inline constexpr char workerLetters[] = {'I', 'D'};

// The parts of starting a counter run that find what it holds (holding.cpp).
struct Started {
    pid_t workers[CounterRun::workers];
    uint64_t routines[CounterRun::workers];
};
Started holdWorkers(Tracee &tracee, Image &image);
uint64_t findCounter(const Tracee &tracee, Image &image,
                     const uint64_t (&routines)[CounterRun::workers]);
// The lock routines that a step knows, in the order of CounterRun's table.
inline constexpr const char *lockRoutines[] = {"sem_wait", "sem_post", "pthread_mutex_lock",
                                               "pthread_mutex_unlock"};
inline constexpr bool lockTakes[] = {true, false, true, false};
