#include "signal_reports.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "error_line.h"

namespace {

// Both reports scan signals 1 to 32 inclusive and nothing beyond, so no
// real-time signal above 32 is ever listed.
const int kLastReportedSignal = 32;

// One line on stderr: the platform's description of `sig`, followed by
// ": N" unless the description already holds a colon.
void print_signal_name(int sig) {
    const char *text = strsignal(sig);
    if (text == nullptr) {
        return;
    }
    std::fputs(text, stderr);
    if (std::strchr(text, ':') == nullptr) {
        std::fprintf(stderr, ": %d", sig);
    }
    std::fputc('\n', stderr);
}

}  // namespace

// A line for each signal in the mask we inherited, in ascending order.
void print_blocked_signals() {
    sigset_t mask;
    sigemptyset(&mask);
    if (sigprocmask(SIG_SETMASK, nullptr, &mask) != 0) {
        exit_with_error("sigprocmask");
    }
    for (int sig = 1; sig <= kLastReportedSignal; ++sig) {
        // Only a definite 1: a platform with fewer signals answers -1 for a
        // number it does not know, and that is no blocked signal.
        if (sigismember(&mask, sig) == 1) {
            print_signal_name(sig);
        }
    }
}

// A line for each signal we inherited as ignored, in ascending order. A
// signal whose action cannot be read keeps the zeroed record, which reads as
// the default action, so it is not listed.
void print_ignored_signals() {
    for (int sig = 1; sig <= kLastReportedSignal; ++sig) {
        struct sigaction action = {};
        (void)sigaction(sig, nullptr, &action);
        if (action.sa_handler == SIG_IGN) {
            print_signal_name(sig);
        }
    }
}

namespace {

// Each row once, in name order, which leaves the sort at start-up the least to do.
// clang-format off
CommandEntry rows[] = {
    {"print_blocked_signals", print_blocked_signals, "Print to stdout the name(s) of blocked signals"},
    {"print_ignored_signals", print_ignored_signals, "Print to stdout the name(s) of ignored signals"},
};
// clang-format on

}  // namespace

const CommandRows signal_report_rows = {std::begin(rows), std::end(rows)};
