// Threads coming and going: a new thread held at its routine and made a thread of the model,
// a thread's end, the process's end, and a crash.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>

#include "execution.h"
#include "names.h"
#include "source_lines.h"
#include "watch.h"

namespace {

// Instructions of library code that a new thread whose routine is not known (one started by
// std::thread) may run before it reaches the program's own code.
constexpr unsigned libraryInstructions = 200000;

} // namespace

// Each thread created since the last call becomes a thread of the model, held before its
// first step; in the order of their creation.
void Execution::holdNewThreads() {
    while (!newThreads.empty() && !over()) {
        NewThread made = newThreads.front();
        newThreads.erase(newThreads.begin());
        int status = 0;
        if (!made.stopped && !made.atRoutine && !made.running) {
            waitForStop(made.tid, output, status);
            made.stopped = true;
            if (WIFSTOPPED(status) && WSTOPSIG(status) == SIGTRAP &&
                process.trappedAt(made.tid) != 0)
                made.atRoutine = true;
        }
        if (made.routine != 0 && !made.atRoutine) {
            if (!made.running)
                resume(made.tid, PTRACE_CONT);
            waitForStop(made.tid, output, status);
            if (!WIFSTOPPED(status) || process.trappedAt(made.tid) != made.routine)
                giveUp("a new thread of the program did not reach its routine");
        }
        if (made.routine != 0 &&
            std::none_of(newThreads.begin(), newThreads.end(),
                         [&made](const NewThread &other) { return other.routine == made.routine; }))
            process.removeBreakpoint(made.routine);
        adopt(made);
    }
}

void Execution::adopt(const NewThread &born) {
    Thread thread;
    thread.tid = born.tid;
    thread.routine = born.routine;
    held.push_back(thread);
    const int index = static_cast<int>(held.size() - 1);
    if (born.routine == 0) {
        // Started by a library: its library code runs until it reaches the program's own.
        for (unsigned count = 0; !program->ownCode(programCounterOf(born.tid)); ++count) {
            if (count > libraryInstructions)
                giveUp("a new thread of the program did not reach the program's own code");
            step1(index, true); // library code: any instruction may be a system call
            if (over())
                return;
        }
        held.back().routine = programCounterOf(born.tid);
    }
    Thread &made = held.back();
    made.name = nameOf(made.routine);
    made.letter = letterFor(made.name);
    findStack(made);
    advance(index);
    held[static_cast<size_t>(index)].loopHead = held[static_cast<size_t>(index)].next.pc;
}

std::string Execution::nameOf(uint64_t routine) const {
    const std::vector<ElfFile::Symbol> &symbols = program->file().symbols();
    const auto found = std::find_if(symbols.begin(), symbols.end(), [&](const ElfFile::Symbol &s) {
        return s.routine && s.address + bias == routine;
    });
    return found != symbols.end() ? plainName(found->name) : "";
}

// The initial of its routine's name, unless a thread before it has that letter; then the
// first letter from A that none has.
char Execution::letterFor(const std::string &name) const {
    auto taken = [this](char letter) {
        return std::any_of(held.begin(), held.end() - 1,
                           [letter](const Thread &thread) { return thread.letter == letter; });
    };
    if (!name.empty()) {
        const char initial = static_cast<char>(toupper(static_cast<unsigned char>(name[0])));
        if (initial >= 'A' && initial <= 'Z' && !taken(initial))
            return initial;
    }
    for (char letter = 'A'; letter <= 'Z'; ++letter)
        if (!taken(letter))
            return letter;
    return '?';
}

// The thread's end step: its routine returns, or it calls pthread_exit; or the process's:
// main returns, or a thread calls exit.
void Execution::finish(int index, const Step &step) {
    goOn(index);
    if (step.kind == StepKind::exit && !over())
        finishProcess();
}

// A thread stopped at its exit, or gone: the thread alone, or the whole process.
void Execution::gone(int index, int status) {
    Thread &thread = held[static_cast<size_t>(index)];
    if (isEvent(status, PTRACE_EVENT_EXEC)) {
        end.kind = Ending::exited;
        end.status = -1;
        end.message = "replaced itself with another program (exec)";
        process.kill();
        return;
    }
    if (isEvent(status, PTRACE_EVENT_EXIT) &&
        systemCallNumber(registersOf(thread.tid)) == SYS_exit) {
        thread.state = ThreadState::ended;
        resume(thread.tid, PTRACE_CONT);
        if (index != 0) // the leader is collected only with the whole process
            waitForStop(thread.tid, output, status);
        return;
    }
    if (WIFEXITED(status) && index != 0) {
        thread.state = ThreadState::ended;
        return;
    }
    if (isEvent(status, PTRACE_EVENT_EXIT))
        resume(thread.tid, PTRACE_CONT);
    finishProcess(index == 0 ? status : -1);
}

// The process is ending: every thread is let go to its end, and the exit status collected.
void Execution::finishProcess(int leaderStatus) {
    int status = leaderStatus;
    const pid_t leader = process.pid();
    while (status == -1 || !(WIFEXITED(status) || WIFSIGNALED(status))) {
        const pid_t who = waitpid(-1, &status, __WALL);
        if (who < 0 && errno == EINTR)
            continue;
        if (who < 0)
            break;
        if (WIFSTOPPED(status)) {
            ptrace(PTRACE_CONT, who, nullptr, 0);
            status = -1;
        } else if (who != leader) {
            status = -1;
        }
    }
    takeErrors();
    if (status != -1 && WIFSIGNALED(status)) {
        end.kind = Ending::signalled;
        end.status = WTERMSIG(status);
    } else {
        end.kind = Ending::exited;
        end.status = status == -1 ? 0 : WEXITSTATUS(status);
    }
    for (Thread &thread : held)
        thread.state = ThreadState::ended;
    process.kill(); // what it forked, in its group
}

void Execution::crash(int index, int signal) {
    const Thread &thread = held[static_cast<size_t>(index)];
    end.kind = Ending::signalled;
    end.status = signal;
    end.pc = programCounterOf(thread.tid);
    if (program->ownCode(end.pc)) {
        const Instruction *instruction = program->instruction(process, end.pc);
        if (instruction != nullptr)
            end.instruction = instruction->text;
        end.source = sourceLine(file.c_str(), end.pc - bias);
    }
    takeErrors();
    process.kill();
}
