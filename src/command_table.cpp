#include "command_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "probes/signal_actions.h"
#include "probes/signal_reports.h"
#include "probes/streams.h"
#include "probes/terminal.h"

// Each unit lists its rows by name, and the units come in the order that
// leaves the sort at start-up the least to do: every run pays for it.
// clang-format off
CommandEntry command_table[] = {
    {"help", show_help, "Print list of zelk_test_helper commands"},
    SIGNAL_REPORT_ROWS
    STREAM_ROWS
    TERMINAL_ROWS
    SIGNAL_ACTION_ROWS
};
// clang-format on
static_assert(std::size(command_table) == 14, "every command has its row");

void sort_command_table() {
    std::sort(std::begin(command_table), std::end(command_table),
              [](const CommandEntry &a, const CommandEntry &b) {
                  return std::strcmp(a.name, b.name) < 0;
              });
}

const CommandEntry *find_command(const char *word) {
    for (const CommandEntry &entry : command_table) {
        if (std::strcmp(entry.name, word) == 0) {
            return &entry;
        }
    }
    return nullptr;
}

void show_help() {
    std::puts("zelk_test_helper: helper utility for zelk\n");
    std::puts("Commands");
    std::puts("--------");
    for (const CommandEntry &entry : command_table) {
        std::printf("  %s:\n    %s\n\n", entry.name, entry.description);
    }
}
