#pragma once

void print_blocked_signals();
void print_ignored_signals();

// Rows of the command table for the signal disposition reports. Both write to
// stderr, and the descriptions say stdout all the same: not a slip, since
// parents read these exact bytes in the help listing.
// clang-format off
#define SIGNAL_REPORT_ROWS \
    {"print_blocked_signals", print_blocked_signals, \
     "Print to stdout the name(s) of blocked signals"}, \
    {"print_ignored_signals", print_ignored_signals, \
     "Print to stdout the name(s) of ignored signals"},
// clang-format on
