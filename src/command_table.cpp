#include "command_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "probes/signal_actions.h"
#include "probes/signal_reports.h"
#include "probes/streams.h"
#include "probes/terminal.h"

namespace {

CommandEntry help_row[] = {{"help", show_help, "Print list of zelk_test_helper commands"}};
const CommandRows help_rows = {std::begin(help_row), std::end(help_row)};

// The table: every unit's rows. Each unit's rows are sorted on their own,
// so the units may come in any order.
const CommandRows *const command_table[] = {&help_rows, &signal_report_rows, &stream_rows,
                                            &terminal_rows, &signal_action_rows};

bool by_name(const CommandEntry &a, const CommandEntry &b) {
    return std::strcmp(a.name, b.name) < 0;
}

}  // namespace

void sort_command_table() {
    for (const CommandRows *unit : command_table) std::sort(unit->begin, unit->end, by_name);
}

const CommandEntry *find_command(const char *word) {
    for (const CommandRows *unit : command_table) {
        for (const CommandEntry *entry = unit->begin; entry != unit->end; ++entry) {
            if (std::strcmp(entry->name, word) == 0) {
                return entry;
            }
        }
    }
    return nullptr;
}

// Each unit's rows are sorted, so the listing takes the least of the units'
// next rows until none is left.
void show_help() {
    std::puts("zelk_test_helper: helper utility for zelk\n");
    std::puts("Commands");
    std::puts("--------");
    const CommandEntry *next[std::size(command_table)];
    std::transform(std::begin(command_table), std::end(command_table), next,
                   [](const CommandRows *unit) { return unit->begin; });
    for (;;) {
        const CommandEntry *least = nullptr;
        size_t from = 0;
        for (size_t i = 0; i < std::size(command_table); ++i) {
            if (next[i] != command_table[i]->end &&
                (least == nullptr || by_name(*next[i], *least))) {
                least = next[i];
                from = i;
            }
        }
        if (least == nullptr) return;
        std::printf("  %s:\n    %s\n\n", least->name, least->description);
        ++next[from];
    }
}
