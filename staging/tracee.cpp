// Holding a program under ptrace: stopping and resuming its threads, reading its memory and
// patching its code. Starting it is in launch.cpp.
#include "tracee.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "names.h"
#include "watch.h"

void Tracee::openMemory() {
    char name[64];
    snprintf(name, sizeof name, "/proc/%d/mem", leader);
    if (memory >= 0)
        close(memory);
    memory = open(name, O_RDWR | O_CLOEXEC);
    if (memory < 0)
        lostHold("cannot reach the program's memory", errno);
}

void Tracee::removeBreakpointsIn(pid_t child) const {
    char name[64];
    snprintf(name, sizeof name, "/proc/%d/mem", child);
    const int fd = open(name, O_RDWR | O_CLOEXEC);
    for (const Breakpoint &point : breakpoints)
        if (fd >= 0)
            (void)!pwrite(fd, point.saved, breakpointLength, static_cast<off_t>(point.address));
    if (fd >= 0)
        close(fd);
}

void Tracee::kill() {
    if (leader <= 0)
        return;
    endHeld(leader);
    if (memory >= 0)
        close(memory);
    memory = -1;
    leader = -1;
    breakpoints.clear();
}

void resume(pid_t tid, int how, int signal) {
    if (ptrace(static_cast<__ptrace_request>(how), tid, nullptr, signal) != 0)
        lostHold("lost hold of the program: ptrace", errno);
}

int Tracee::waitFor(pid_t tid) {
    int status;
    waitForStop(tid, output, status);
    return status;
}

pid_t Tracee::waitForAny(int &status) {
    return waitForStop(-1, output, status);
}

int Tracee::run(pid_t tid, int how, int signal) {
    resume(tid, how, signal);
    return waitFor(tid);
}

void singleStep(pid_t tid) {
    // One instruction prints nothing, but a system call may block: the wait still watches
    // the signals that end interleave.
    resume(tid, PTRACE_SINGLESTEP);
    int status;
    waitForStop(tid, nullptr, status);
    if (!WIFSTOPPED(status) || WSTOPSIG(status) != SIGTRAP)
        lostHold("lost hold of the program: a thread " + described(status) + " in a single step");
}

Registers registersOf(pid_t tid) {
    Registers registers;
    iovec vector = {&registers, sizeof registers};
    if (ptrace(PTRACE_GETREGSET, tid, NT_PRSTATUS, &vector) != 0)
        lostHold("cannot read the program's registers", errno);
    return registers;
}

void setRegistersOf(pid_t tid, const Registers &registers) {
    iovec vector = {const_cast<Registers *>(&registers), sizeof registers};
    if (ptrace(PTRACE_SETREGSET, tid, NT_PRSTATUS, &vector) != 0)
        lostHold("cannot set the program's registers", errno);
}

bool Tracee::read(uint64_t address, void *into, size_t length) const {
    return pread(memory, into, length, static_cast<off_t>(address)) == static_cast<ssize_t>(length);
}

bool Tracee::write(uint64_t address, const void *from, size_t length) const {
    return pwrite(memory, from, length, static_cast<off_t>(address)) ==
           static_cast<ssize_t>(length);
}

uint64_t Tracee::readWord(uint64_t address) const {
    uint64_t word = 0;
    if (!read(address, &word, sizeof word))
        lostHold("cannot read the program's memory at " + hex(address));
    return word;
}

int32_t Tracee::readInt(uint64_t address) const {
    int32_t value = 0;
    if (!read(address, &value, sizeof value))
        lostHold("cannot read the program's memory at " + hex(address));
    return value;
}

bool Tracee::readCode(uint64_t address, uint8_t *into, size_t length) const {
    if (!read(address, into, length))
        return false;
    for (const Breakpoint &point : breakpoints)
        for (size_t i = 0; i < breakpointLength; ++i)
            if (point.address + i >= address && point.address + i < address + length)
                into[point.address + i - address] = point.saved[i];
    return true;
}

void Tracee::insertBreakpoint(uint64_t address) {
    if (isBreakpoint(address))
        return;
    Breakpoint point = {address, {}};
    if (!read(address, point.saved, breakpointLength) ||
        !write(address, breakpointInstruction, breakpointLength))
        cannotHold(program, "it has no code at " + hex(address) +
                                ", where its ELF file puts a routine: the file is damaged");
    breakpoints.push_back(point);
}

void Tracee::removeBreakpoint(uint64_t address) {
    for (size_t i = 0; i < breakpoints.size(); ++i) {
        if (breakpoints[i].address != address)
            continue;
        if (!write(address, breakpoints[i].saved, breakpointLength))
            lostHold("cannot remove a breakpoint", errno);
        breakpoints.erase(breakpoints.begin() + static_cast<long>(i));
        return;
    }
}

void Tracee::removeBreakpoints() {
    while (!breakpoints.empty())
        removeBreakpoint(breakpoints.back().address);
}

bool Tracee::isBreakpoint(uint64_t address) const {
    return std::any_of(breakpoints.begin(), breakpoints.end(),
                       [address](const Breakpoint &point) { return point.address == address; });
}

uint64_t Tracee::trappedAt(pid_t tid) const {
    Registers now = registersOf(tid);
    const uint64_t address = ::programCounter(now) - pcAfterBreakpoint;
    if (!isBreakpoint(address))
        return 0;
    setProgramCounter(now, address);
    setRegistersOf(tid, now);
    return address;
}
