#pragma once

void nohup_wait();
void sigint_parent();
[[noreturn]] void print_stop_cont();
[[noreturn]] void sigkill_self();

// Rows of the command table for the signal and parent-process probes.
// clang-format off
#define SIGNAL_ACTION_ROWS \
    {"nohup_wait", nohup_wait, \
     "Ignore SIGHUP and just wait"}, \
    {"print_stop_cont", print_stop_cont, \
     "Print when we get SIGTSTP and SIGCONT, exiting on input"}, \
    {"sigint_parent", sigint_parent, \
     "Wait .25 seconds, then SIGINT the parent process"}, \
    {"sigkill_self", sigkill_self, \
     "Send SIGKILL to self"},
// clang-format on
