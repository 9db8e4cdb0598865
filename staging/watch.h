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
// What to do, besides exiting, when such a signal comes: end what is held.
void onEndingSignal(void (*cleanUp)());
// Ends interleave as the signal `number` asks, after the clean-up.
[[noreturn]] void endBySignal(int number);
// The exit status when the program cannot be found, run or held: apart from 1, a schedule
// that fails, so that a grader's script can tell a missing file from a broken fix.
inline constexpr int troubleStatus = 3;

// Reports "interleave: MESSAGE", cleans up and exits with troubleStatus.
[[noreturn]] void giveUp(const std::string &message);
// The same, with the reason that the error number `err` gives: "interleave: WHAT: reason".
[[noreturn]] void giveUp(const std::string &what, int err);

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
// Waits until the standard input can be read, or has ended.
void waitForInput();
