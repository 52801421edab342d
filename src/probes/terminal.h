#pragma once

void become_foreground_then_print_stderr();
void report_foreground();
void report_foreground_loop();

// Rows of the command table for the terminal ownership probes.
// clang-format off
#define TERMINAL_ROWS \
    {"become_foreground_then_print_stderr", become_foreground_then_print_stderr, \
     "Claim the terminal (tcsetpgrp) and then print to stderr"}, \
    {"report_foreground", report_foreground, \
     "Report to stderr whether we own the terminal"}, \
    {"report_foreground_loop", report_foreground_loop, \
     "Continually report to stderr whether we own the terminal"},
// clang-format on
