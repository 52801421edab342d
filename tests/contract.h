#pragma once
// The commands as a parent meets them, which the tests hold the helper to.

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace zelk {

// A command: its help line, and its status when run alone with stdin at end
// of input and stdout and stderr on pipes (so no terminal on any), or with
// the streams closed.
struct Command {
    const char *name;
    const char *help;
    const char *status;                   // null: it does not end by itself
    const char *stdin_closed = nullptr;   // the status with stdin closed, where it differs
    const char *stderr_closed = nullptr;  // the status with stderr closed, where it differs
};

// Every command, in any order: a new command is one more row.
// clang-format off
inline const std::vector<Command> kCommands = {
    {"become_foreground_then_print_stderr", "Claim the terminal (tcsetpgrp) and then print to stderr", "exit 1"},
    {"help", "Print list of zelk_test_helper commands", "exit 0"},
    {"nohup_wait", "Ignore SIGHUP and just wait", nullptr},
    {"print_blocked_signals", "Print to stdout the name(s) of blocked signals", "exit 0"},
    {"print_fds", "Print the list of active FDs to stdout", "exit 0"},
    {"print_ignored_signals", "Print to stdout the name(s) of ignored signals", "exit 0"},
    {"print_pgrp", "Print our pgroup to stdout", "exit 0"},
    {"print_pid_then_sleep", "Print our pid, then sleep for .5 seconds", "exit 0"},
    {"print_stdout_stderr", "Print 'stdout' to stdout and 'stderr' to stderr", "exit 0"},
    {"print_stop_cont", "Print when we get SIGTSTP and SIGCONT, exiting on input", "exit 0", "exit 1"},
    {"report_foreground", "Report to stderr whether we own the terminal", "exit 0"},
    {"report_foreground_loop", "Continually report to stderr whether we own the terminal", nullptr, nullptr, "exit 0"},
    {"sigint_parent", "Wait .25 seconds, then SIGINT the parent process", "exit 0"},
    {"sigkill_self", "Send SIGKILL to self", "signal 9"},
};
// clang-format on

// The help listing the helper prints: every command in byte order of names.
inline std::string listing() {
    std::vector<Command> sorted = kCommands;
    std::sort(sorted.begin(), sorted.end(),
              [](const Command &a, const Command &b) { return std::strcmp(a.name, b.name) < 0; });
    std::string text = "zelk_test_helper: helper utility for zelk\n\nCommands\n--------\n";
    for (const Command &c : sorted)
        text += std::string("  ") + c.name + ":\n    " + c.help + "\n\n";
    return text;
}

}  // namespace zelk
