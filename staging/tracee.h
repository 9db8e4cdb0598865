// One run of a program held under ptrace: started by interleave itself, its threads and
// processes stopped and let go one at a time, its memory read and its code patched with
// breakpoints. Nothing here uses the processor's debug registers: only software
// breakpoints and single steps, which behave the same on every machine.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "arch.h"
#include "watch.h"

class Tracee {
  public:
    Tracee() = default;
    Tracee(const Tracee &) = delete;
    Tracee &operator=(const Tracee &) = delete;
    ~Tracee() { kill(); }

    // Starts the program at `path` with the argument vector `argv` (argv[0] as the user
    // gave the program, then its own arguments, ended by a null pointer), its standard
    // output on `output`'s terminal, its standard input on /dev/null and its standard error
    // on a pipe whose reading end (non-blocking) it returns; and holds it at its first
    // instruction, just after its exec. Gives up with the reason when it cannot.
    int start(const char *path, char *const *argv, Output &output);
    // The same, with no arguments (argv[0] is `path`), and its standard error not kept.
    void start(const char *path, Output &output);
    // Puts back, in the memory of a process forked from the held one, the code that the
    // breakpoints replace there.
    void removeBreakpointsIn(pid_t child) const;
    bool write(uint64_t address, const void *from, size_t length) const;
    pid_t pid() const { return leader; }
    // Kills every process of the run and collects them all.
    void kill();

    // Lets `tid` go with the ptrace request `how` (PTRACE_CONT, PTRACE_SYSCALL), delivering
    // `signal`, and returns its next wait status, reading the program's output meanwhile.
    int run(pid_t tid, int how, int signal = 0);
    int waitFor(pid_t tid);
    // Waits for whichever thread or process of the run stops first.
    pid_t waitForAny(int &status);
    // Where the program's own code starts, as the kernel told the dynamic linker.
    uint64_t entryPoint() const;
    // Runs the program from its exec to its entry point, where its own code starts and the
    // dynamic linker has loaded its libraries; returns that address. Gives up with what the
    // program did instead (it exited, it crashed), in words that say what to look at.
    uint64_t runToEntry();

    bool read(uint64_t address, void *into, size_t length) const;
    uint64_t readWord(uint64_t address) const;
    int32_t readInt(uint64_t address) const;
    // The program's code as it stands in the file, without the breakpoints put in it.
    bool readCode(uint64_t address, uint8_t *into, size_t length) const;

    void insertBreakpoint(uint64_t address);
    void removeBreakpoint(uint64_t address);
    void removeBreakpoints();
    bool isBreakpoint(uint64_t address) const;
    // After `tid` trapped on a breakpoint: puts its program counter back on the
    // breakpoint's address and returns it, or 0 when it trapped elsewhere.
    uint64_t trappedAt(pid_t tid) const;

  private:
    struct Breakpoint {
        uint64_t address;
        uint8_t saved[breakpointLength];
    };
    void openMemory();

    void begin(const char *path, char *const *argv, Output &output, int errors);

    std::string program; // its path, as the messages name it
    pid_t leader = -1;
    int memory = -1;
    Output *output = nullptr;
    std::vector<Breakpoint> breakpoints;
};

// What is done to one thread of a held program, whichever run it belongs to: let go with the
// ptrace request `how` (PTRACE_CONT, PTRACE_SYSCALL), delivering `signal`; one instruction
// (it must not stand on a breakpoint); its registers read and set.
void resume(pid_t tid, int how, int signal = 0);
void singleStep(pid_t tid);
Registers registersOf(pid_t tid);
void setRegistersOf(pid_t tid, const Registers &registers);
inline uint64_t programCounterOf(pid_t tid) {
    return programCounter(registersOf(tid));
}

// What a wait status says that a thread or process did, in words: "exited with status 1",
// "was killed by SIGSEGV (Segmentation fault)", "stopped by SIGINT (Interrupt)".
std::string described(int status);
// A signal by its name and its description: "SIGSEGV (Segmentation fault)".
std::string signalNamed(int signal);

// Whether a wait status is a stop of PTRACE_EVENT `event`.
inline bool isEvent(int status, int event) {
    return status >> 8 == (5 /* SIGTRAP */ | (event << 8));
}
