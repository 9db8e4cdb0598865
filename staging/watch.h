// What interleave watches while a held program runs: the program's standard output, a
// pseudo-terminal that interleave owns, and the signals that end interleave itself.
#pragma once

#include <sys/types.h>

#include <string>

// The signals that end interleave (an interrupt, a hang-up, a termination) and SIGCHLD are
// taken through a descriptor, so that every wait sees them; called once, first.
void watchSignals();
// The descriptor that those signals make readable, for a poll of one's own, and the taking
// of the signals that came, which ends interleave if one of them asks it to.
int signalsToWatch();
void takeSignals();

// The processes that interleave has started, in one registry, so that whatever ends it (a
// signal, a give-up) kills them all and collects them in one place. Each process keeps
// its own: a forked worker does not end its siblings.
// A held program: its process group, which everything it starts shares.
void holdGroup(pid_t group);
// A process of interleave's own, such as a worker of --all.
void holdProcess(pid_t pid);
// Kills the group (or the process) and collects all of it that was started here, and
// forgets it. The wait is bounded, and a signal that ends interleave still ends it. Returns
// the wait status of a process that had ended by itself, else of the kill; -1 for a group
// or a process not collected.
int endHeld(pid_t groupOrPid);
// Kills and collects everything in the registry and every child of this process.
void endAllHeld();

// Ends interleave as the signal `number` asks, after the clean-up.
[[noreturn]] void endBySignal(int number);
// The exit status when the program cannot be found, run or held: apart from 1, a schedule
// that fails, so that a grader's script can tell a missing file from a broken fix.
inline constexpr int troubleStatus = 3;

// Reports "interleave: MESSAGE", cleans up and exits with troubleStatus.
[[noreturn]] void giveUp(const std::string &message);
// The same, with the reason that the error number `err` gives: "interleave: WHAT: reason".
[[noreturn]] void giveUp(const std::string &what, int err);
// Reports "interleave: cannot hold PROGRAM: REASON", cleans up and exits with troubleStatus.
[[noreturn]] void cannotHold(const std::string &program, const std::string &reason);
// Reports "interleave: MESSAGE" about a program held, cleans up and exits with
// troubleStatus.
[[noreturn]] void lostHold(const std::string &message);
[[noreturn]] void lostHold(const std::string &what, int err);

// The program's standard output. On a terminal the C library writes each line out as it is
// printed, so a step's lines leave the program within the step. After a step, a NUL byte,
// which no program here prints, is written to the same terminal behind what the program
// wrote; reading up to it gives exactly what the step printed, with no waiting on a clock.
class Output {
  public:
    Output() = default;
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;
    ~Output();

    // Opens the terminal; gives up, with the reason, when it cannot.
    void open();
    int terminal() const { return slave; }
    // Reads what the program has written so far, so that it never blocks on a full terminal.
    void drain();
    // Everything printed since the last call.
    std::string take();

  private:
    friend pid_t waitForStop(pid_t, Output *, int &);
    int master = -1;
    int slave = -1;
    std::string printed;
};

// Waits until `tid` (or any traced thread, for -1) stops or ends, reading `output` (if any)
// meanwhile; returns which one, and its wait status. A signal that ends interleave ends it
// here too.
pid_t waitForStop(pid_t tid, Output *output, int &status);
// The state letter and the parent of the process or thread whose stat file in /proc is at
// `path`; false once it has gone.
bool processState(const char *path, char &state, pid_t &parent);

// Waits until the standard input can be read, or has ended.
void waitForInput();
