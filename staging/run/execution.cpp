// A run of a held program: its start, and its threads taken through their own code an
// instruction at a time up to each next step.
#include "execution.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

#include "names.h"
#include "watch.h"

namespace {

// Instructions of its own code that a thread may run between two steps: past this it is
// taken to run for ever without touching anything shared.
constexpr unsigned instructionsPerStep = 200000;
// AddressSanitizer's shadow memory, which its checks read before each access: never shared.
constexpr uint64_t shadowLow = 0x7fff8000;
constexpr uint64_t shadowHigh = 0x10007fff8000;

} // namespace

Execution::~Execution() {
    if (errors >= 0)
        close(errors);
}

void Execution::start(const char *path, char *const *argv, Image &image, Output &out,
                      const Limits &limits) {
    program = &image;
    file = path;
    output = &out;
    limit = limits;
    errors = process.start(path, argv, out);
    const pid_t main = process.pid();
    const uint64_t entry = process.runToEntry();
    image.loaded(process, entry);
    routines.find(image);
    bias = entry - image.file().entry();
    sanitized = image.file().uses("__asan_init");
    readOnly.clear();
    const std::vector<AddressRange> segments = image.file().segments(PF_R);
    std::transform(segments.begin(), segments.end(), std::back_inserter(readOnly),
                   [this](const AddressRange &range) {
                       return AddressRange{range.start + bias, range.end + bias};
                   });
    // A sanitizer's options, copied into the program's data by the linker, are read by its
    // checks before each access: never shared.
    for (const auto &[name, address] : image.file().definedData())
        if (sanitized && (name.rfind("__asan", 0) == 0 || name.rfind("__ubsan", 0) == 0))
            privateRanges.push_back({address + bias, address + bias + 8});
    for (const char *name : {".got", ".got.plt"}) {
        const AddressRange got = image.file().section(name);
        if (got.end > got.start)
            privateRanges.push_back({got.start + bias, got.end + bias});
    }
    Thread first;
    first.tid = main;
    first.name = "main";
    first.letter = 'M';
    held.push_back(first);
    // Straight to the C library's start, which is handed main: the program's own start-up
    // code before it touches nothing that a thread could share, there being none yet.
    const uint64_t libraryStart = routines.address(Routine::startMain);
    if (libraryStart != 0) {
        process.insertBreakpoint(libraryStart);
        const int started = process.run(main, PTRACE_CONT);
        if (!WIFSTOPPED(started) || process.trappedAt(main) != libraryStart)
            giveUp("the program did not reach the C library's start");
        process.removeBreakpoint(libraryStart);
    }
    findStack(held[0]);
    advance(0);
}

int Execution::indexOf(pid_t tid) const {
    for (size_t i = 0; i < held.size(); ++i)
        if (held[i].tid == tid)
            return static_cast<int>(i);
    return -1;
}

// Its stack is the mapping that holds its stack pointer.
void Execution::findStack(Thread &thread) {
    const uint64_t sp = stackPointer(registersOf(thread.tid));
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/maps", process.pid());
    FILE *maps = fopen(path, "re");
    char line[512];
    while (maps != nullptr && fgets(line, sizeof line, maps) != nullptr) {
        char *dash = nullptr;
        const unsigned long low = strtoul(line, &dash, 16);
        const unsigned long high = *dash == '-' ? strtoul(dash + 1, nullptr, 16) : 0;
        if (sp >= low && sp < high) {
            thread.stackLow = low;
            thread.stackHigh = high;
        }
    }
    if (maps != nullptr)
        fclose(maps);
}

bool Execution::sharedAddress(const Thread &thread, uint64_t address) const {
    std::set<uint64_t> *const stacks = limit.sharedStack;
    if (address >= thread.stackLow && address < thread.stackHigh)
        return stacks != nullptr && stacks->count(address >> 3) != 0;
    const bool onAnotherStack = std::any_of(held.begin(), held.end(), [address](const Thread &t) {
        return address >= t.stackLow && address < t.stackHigh;
    });
    if (onAnotherStack) {
        if (stacks != nullptr)
            stacks->insert(address >> 3); // its owner's accesses there are steps too
        return true;
    }
    if (sanitized &&
        ((address >= shadowLow && address < shadowHigh) || program->inSanitizerRuntime(address)))
        return false;
    auto in = [address](const AddressRange &range) { return range.contains(address); };
    if (std::any_of(privateRanges.begin(), privateRanges.end(), in))
        return false;
    // The program's own file: its data is shared, its code and constants are not.
    if (std::any_of(readOnly.begin(), readOnly.end(), in))
        return program->writableData(address);
    return address >= 4096;
}

// Takes the thread through its own code until it stands before its next step.
void Execution::advance(int index) {
    for (unsigned count = 0; !over(); ++count) {
        Thread &thread = held[static_cast<size_t>(index)];
        if (count > instructionsPerStep) {
            end.kind = Ending::bound;
            end.message = std::string("thread ") + thread.letter + " ran " +
                          std::to_string(instructionsPerStep) + " instructions without a step";
            return;
        }
        const Registers registers = registersOf(thread.tid);
        const uint64_t pc = programCounter(registers);
        if (!program->ownCode(pc)) {
            if (!outside(index, registers))
                return;
            continue;
        }
        const Instruction *instruction = program->instruction(process, pc);
        if (instruction == nullptr) {
            crash(index, SIGILL);
            return;
        }
        if (instruction->returns &&
            !program->ownCode(process.readWord(returnAddressSlot(registers)))) {
            thread.next = Step{};
            thread.next.kind = index == 0 ? StepKind::exit : StepKind::end;
            thread.next.pc = pc;
            thread.next.instruction = instruction->text;
            thread.next.touches = {
                index == 0 ? Touch{0, everywhere, true}
                           : Touch{threadPlace + static_cast<uint64_t>(index), 1, true}};
            return;
        }
        if (classify(index, *instruction, registers))
            return;
        thread.lastCalled = instruction->flow == Flow::call || instruction->flow == Flow::jump ||
                            instruction->flow == Flow::end;
        mayHavePrinted = mayHavePrinted || instruction->systemCall;
        step1(index, instruction->systemCall);
    }
}

// Whether the instruction touches memory that another thread can reach; if so it is the
// thread's next step.
bool Execution::classify(int index, const Instruction &instruction, const Registers &registers) {
    Thread &thread = held[static_cast<size_t>(index)];
    Step step;
    step.thread = index;
    step.pc = instruction.address;
    step.instruction = instruction.text;
    bool reads = false;
    bool writes = false;
    for (unsigned i = 0; i < instruction.memoryCount; ++i) {
        const MemoryOperand &operand = instruction.memory[i];
        if (operand.threadLocal)
            continue;
        const uint64_t address = operandAddress(instruction, operand, registers);
        if (!sharedAddress(thread, address))
            continue;
        if (step.touches.empty() || operand.writes) {
            step.address = address;
            step.size = std::min(operand.size, 8U);
        }
        step.touches.push_back({address, std::max(operand.size, 1U), operand.writes});
        reads |= operand.reads;
        writes |= operand.writes;
    }
    if (step.touches.empty())
        return instruction.fences &&
               holdForBuffer(index, StepKind::fence, instruction.address, instruction.text);
    if (reads && writes && instruction.memoryCount == 1 && !instruction.atomic) {
        // Not indivisible on a multiprocessor: its load and its store are steps apart.
        step.kind = thread.halfDone ? StepKind::store : StepKind::load;
        step.half = true;
        if (!thread.halfDone)
            step.touches[0].writes = false;
    } else {
        step.kind = reads && writes ? StepKind::update : writes ? StepKind::store : StepKind::load;
    }
    thread.next = step;
    return true;
}

// One instruction of the thread's own code. One that does not enter the kernel stops again
// at once, so the stop is waited for directly; a system call may sleep, so for one the wait
// also watches interleave's signals and drains the program's output.
void Execution::step1(int index, bool entersKernel) {
    Thread &thread = held[static_cast<size_t>(index)];
    int signal = 0;
    for (;;) {
        resume(thread.tid, PTRACE_SINGLESTEP, signal);
        int status;
        if (entersKernel)
            waitForStop(thread.tid, output, status);
        else if (waitpid(thread.tid, &status, __WALL) < 0)
            giveUp("lost hold of the program", errno);
        if (!WIFSTOPPED(status) || isEvent(status, PTRACE_EVENT_EXIT)) {
            gone(index, status);
            return;
        }
        const int stop = WSTOPSIG(status);
        if (stop == SIGTRAP)
            return;
        if (stop == SIGSEGV || stop == SIGBUS || stop == SIGILL || stop == SIGFPE ||
            stop == SIGABRT) {
            crash(index, stop);
            return;
        }
        signal = stop == SIGSTOP ? 0 : stop;
    }
}

// The thread stands outside its own code: at a routine that is a step, in a stub on the way
// to one, at the start of a library call, or back in the library that started it.
bool Execution::outside(int index, const Registers &registers) {
    Thread &thread = held[static_cast<size_t>(index)];
    const uint64_t pc = programCounter(registers);
    const Routine routine = routines.at(pc);
    if (routine == Routine::startMain) {
        const uint64_t main = callArgument(registers, 0);
        process.insertBreakpoint(main);
        resume(thread.tid, PTRACE_CONT);
        int status;
        waitForStop(thread.tid, output, status);
        if (!WIFSTOPPED(status) || process.trappedAt(thread.tid) != main)
            giveUp("the program did not reach its main");
        process.removeBreakpoint(main);
        findStack(thread);
        return true;
    }
    if (routine != Routine::none) {
        callStep(index, routine, registers);
        return false;
    }
    if (program->inFile(pc)) { // a stub on the way to a library
        step1(index);
        return !over();
    }
    if (!thread.lastCalled) {
        // Back in the library from a call that does not return to the program's code.
        thread.next = Step{};
        thread.next.kind = index == 0 ? StepKind::exit : StepKind::end;
        thread.next.touches = {Touch{threadPlace + static_cast<uint64_t>(index), 1, true}};
        return false;
    }
    if (holdForBuffer(index, StepKind::libraryCall, pc, ""))
        return false; // the call waits for the thread's buffer to empty
    thread.lastCalled = false;
    const Ran ran = runCall(index, process.readWord(returnAddressSlot(registers)));
    holdNewThreads();
    return ran == Ran::returned;
}
