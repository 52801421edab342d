#include "terminal.h"

#include <unistd.h>

#include <cstdio>
#include <iterator>

#include "error_line.h"

namespace {

const char kForeground[] = "foreground\n";
const char kBackground[] = "background\n";
static_assert(sizeof kForeground == sizeof kBackground, "one length serves both lines");

// Whether the terminal on descriptor 0 has `group` in the foreground; when
// descriptor 0 is no terminal, tcgetpgrp fails and that counts as background.
bool owns_terminal(pid_t group) { return tcgetpgrp(0) == group; }

}  // namespace

// The parent sees our group become the terminal's foreground group, then
// after a quarter second the completion line. Taking the terminal from the
// background raises SIGTTOU unless the parent ignored or blocked it.
void become_foreground_then_print_stderr() {
    if (tcsetpgrp(1, getpgrp()) < 0) {
        exit_with_error("tcsetgrp");  // not a typo: parents read these exact bytes
    }
    usleep(250000);
    static const char kDone[] = "become_foreground_then_print_stderr done\n";
    std::fwrite(kDone, sizeof kDone - 1, 1, stderr);
}

// One line on stderr: "foreground" or "background". The terminal's group is
// read before our own.
void report_foreground() {
    const pid_t terminal_group = tcgetpgrp(0);
    const bool foreground = terminal_group == getpgrp();
    std::fwrite(foreground ? kForeground : kBackground, sizeof kForeground - 1, 1, stderr);
}

// A line at start and one at every change, checked each half second. Runs
// until a write to stderr fails, which hands control back to dispatch.
void report_foreground_loop() {
    const pid_t own_group = getpgrp();
    int last = -1;  // nothing reported yet
    for (;;) {
        const int now = owns_terminal(own_group) ? 1 : 0;
        if (now != last) {
            if (std::fputs(now ? kForeground : kBackground, stderr) < 0) {
                return;
            }
            last = now;
        }
        usleep(500000);
    }
}

namespace {

// Each row once, in name order, which leaves the sort at start-up the least to do.
// clang-format off
CommandEntry rows[] = {
    {"become_foreground_then_print_stderr", become_foreground_then_print_stderr, "Claim the terminal (tcsetpgrp) and then print to stderr"},
    {"report_foreground", report_foreground, "Report to stderr whether we own the terminal"},
    {"report_foreground_loop", report_foreground_loop, "Continually report to stderr whether we own the terminal"},
};
// clang-format on

}  // namespace

const CommandRows terminal_rows = {std::begin(rows), std::end(rows)};
