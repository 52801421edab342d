#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "command_table.h"

namespace {

bool is_help_word(const char *word) {
    return std::strcmp(word, "--help") == 0 || std::strcmp(word, "help") == 0 ||
           std::strcmp(word, "-h") == 0;
}

// Gives stdout the same 4096-byte buffer under every C library: line
// buffering on a terminal, full buffering elsewhere. Left to the C library,
// the first line might leave early (musl flushes it at its newline even on a
// pipe) or the buffer might take the size of the descriptor's blocks.
void set_stdout_buffering() {
    static char buffer[4096];
    std::setvbuf(stdout, buffer, isatty(1) ? _IOLBF : _IOFBF, sizeof buffer);
}

}  // namespace

// Runs the command words left to right. The status is 0 when every word ran
// (or there were none, or a help word ended the run) and 1 at an unknown word;
// a command may also end the process itself.
int main(int argc, char **argv) {
    sort_command_table();
    set_stdout_buffering();
    if (argc < 2) {
        std::fputs("No commands given.\n", stderr);
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        const char *word = argv[i];
        if (is_help_word(word)) {
            show_help();
            return 0;
        }
        const CommandEntry *entry = find_command(word);
        if (entry == nullptr) {
            std::fprintf(stderr, "%s: Unknown command: %s\n", argv[0], word);
            return 1;
        }
        entry->handler();
    }
    return 0;
}
