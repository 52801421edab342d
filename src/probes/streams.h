#pragma once

void print_stdout_stderr();
void print_pid_then_sleep();
void print_pgrp();
void print_fds();

// Rows of the command table for the stream and descriptor probes.
// clang-format off
#define STREAM_ROWS \
    {"print_fds", print_fds, \
     "Print the list of active FDs to stdout"}, \
    {"print_pgrp", print_pgrp, \
     "Print our pgroup to stdout"}, \
    {"print_pid_then_sleep", print_pid_then_sleep, \
     "Print our pid, then sleep for .5 seconds"}, \
    {"print_stdout_stderr", print_stdout_stderr, \
     "Print 'stdout' to stdout and 'stderr' to stderr"},
// clang-format on
