// One run of a held program: started afresh, its threads held between steps, and a step of
// the thread chosen taken at a time. Which thread goes next is for the caller (a schedule, an
// explorer, a learner at the terminal); what a step is, and whether a thread can take one,
// is decided here.
#pragma once

#include <stdint.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "image.h"
#include "step.h"
#include "thread.h"
#include "tracee.h"

class Output;

// How a run ended, when it has.
struct Ending {
    enum Kind : uint8_t { running, exited, signalled, deadlock, bound, passes };
    Kind kind = running;
    int status = 0;  // an exit's status, or the signal's number
    uint64_t pc = 0; // where a signal struck
    std::string instruction;
    std::string source;  // where it struck in the program's source, where known
    std::string message; // what the program wrote to its standard error, kept short
};

struct Limits {
    MemoryOrder memory = MemoryOrder::sequential;
    // A thread's own stack is its alone, but for the 8-byte granules of it that another
    // thread has touched (a local whose address main handed a worker): those are shared,
    // their accesses steps. Kept by the caller from run to run; a run adds what it finds.
    std::set<uint64_t> *sharedStack = nullptr;
    unsigned stepsPerThread = 400;
    unsigned passes = 0; // a counter program's passes of each worker; 0: no such bound
};

class Execution {
  public:
    Execution() = default;
    ~Execution();
    Execution(const Execution &) = delete;
    Execution &operator=(const Execution &) = delete;

    // Starts `argv` from `path` and holds main before its first step.
    void start(const char *path, char *const *argv, Image &image, Output &output,
               const Limits &limits);
    const std::vector<Thread> &threads() const { return held; }
    // Who can take a step: threads, by index, and under store buffers each thread's buffer
    // that holds a store (bufferOf).
    bool canTake(int actor) const;
    std::vector<int> takeable() const;
    // Takes the step that `actor` stands before; a thread is then held before its next one.
    Step take(int actor);
    bool storeBuffers() const { return limit.memory == MemoryOrder::storeBuffers; }
    const Ending &ending() const { return end; }
    bool over() const { return end.kind != Ending::running; }
    // When no thread can take a step: ends the run as a deadlock, or as the passes made; or,
    // where a thread asleep in the kernel wakes meanwhile, returns false, for the run to go on.
    bool settle();
    // The thread that holds the mutex or spin lock at `address`, or -1.
    int holder(uint64_t address) const;
    // The value of a 4-byte location, now.
    int32_t valueAt(uint64_t address) const;
    const std::string &errorText() const { return stderrText; }
    const std::vector<ElfFile::Symbol> &programSymbols() const { return program->file().symbols(); }
    uint64_t loadBias() const { return bias; }

  private:
    enum class Ran : uint8_t { running, returned, asleep, over };
    struct NewThread {
        pid_t tid = 0;
        uint64_t routine = 0;
        bool stopped = false;   // its first stop has come
        bool running = false;   // let go to its routine
        bool atRoutine = false; // stopped there
    };

    // Own code (execution.cpp).
    void advance(int index);
    bool classify(int index, const Instruction &instruction, const Registers &registers);
    bool outside(int index, const Registers &registers);
    void step1(int index, bool entersKernel = false);
    bool sharedAddress(const Thread &thread, uint64_t address) const;
    void findStack(Thread &thread);
    int indexOf(pid_t tid) const;
    Thread &at(int index) { return held[static_cast<size_t>(index)]; }
    // Steps (take.cpp).
    void memoryStep(int index, Step &step);
    // Store buffers (buffers.cpp).
    Step flush(int index);
    void buffer(int index, Step &step, const std::vector<uint8_t> &before);
    std::vector<uint8_t> bytesAt(uint64_t address, size_t size) const;
    std::vector<uint8_t> storeStart(const Step &step) const;
    void overlayBuffer(int index, Step &step, std::vector<Buffered> &saved);
    void restore(const std::vector<Buffered> &saved);
    bool holdForBuffer(int index, StepKind kind, uint64_t pc, const char *instruction);
    uint64_t readValue(uint64_t address, unsigned size) const;
    void stored(uint64_t address);
    void checkSpin(int index);
    void checkBounds(int index);
    void takeErrors();
    // Library calls (library.cpp).
    Ran runCall(int index, uint64_t returnAddress);
    Ran goOn(int index);
    Ran stoppedInCall(int index, int status, int &signal);
    pid_t stopOrSleep(pid_t tid, int &status);
    static void systemCall(Thread &thread);
    void wakeSleepers();
    void awake(Thread &thread);
    void other(pid_t who, int status);
    NewThread &newThread(pid_t tid);
    void born(pid_t parent, int status);
    // Synchronisation (calls.cpp).
    void callStep(int index, Routine routine, const Registers &registers);
    void call(int index, Step &step);
    bool wouldBlock(int index) const;
    bool mutexFree(uint64_t mutex, const Thread &thread) const;
    int byHandle(uint64_t handle) const;
    void emulateReturn(int index, long value);
    void callInstead(int index, Routine routine, uint64_t argument, bool pushReturn);
    void account(int index, const Step &step, bool took);
    void barrier(int index, Step &step);
    void create(int index, Step &step);
    // Threads' lives (lifecycle.cpp).
    void holdNewThreads();
    void adopt(const NewThread &born);
    std::string nameOf(uint64_t routine) const;
    char letterFor(const std::string &name) const;
    void finish(int index, const Step &step);
    void gone(int index, int status);
    void finishProcess(int leaderStatus = -1);
    void crash(int index, int signal);

    Tracee process;
    std::string file; // the program's, for its debug information
    Image *program = nullptr;
    Output *output = nullptr;
    Routines routines;
    Limits limit;
    uint64_t bias = 0;
    bool sanitized = false;
    std::vector<AddressRange> readOnly;      // the program's file, as loaded
    std::vector<AddressRange> privateRanges; // its tables of library addresses
    std::vector<Thread> held;
    Ending end;
    std::map<uint64_t, uint64_t> stores;          // stores to each 8-byte granule, for spins
    std::vector<NewThread> newThreads;            // cloned, not yet threads of the model
    uint64_t creating = 0;                        // the routine of the pthread_create under way
    std::map<uint64_t, std::vector<int>> waiters; // condition variables: who waits, in order
    std::map<uint64_t, int> barrierRound;
    std::map<uint64_t, int> barrierArrived;
    std::map<uint64_t, std::vector<int>> readers; // read-write locks: who reads
    std::map<uint64_t, int> writer;
    std::map<uint64_t, int> spinHolder;
    // Whether the step being taken ran anything that can write (library code, a system call),
    // so that its output is to be collected; a step of loads and stores alone cannot.
    bool mayHavePrinted = true;
    int errors = -1;        // the program's standard error, read in turn
    std::string stderrText; // what it wrote there
};
