#pragma once

// One row of the command table. Each probe unit supplies the rows for its own
// commands; the front end gathers them into the one table.
struct CommandEntry {
    const char *name;         // the command word, matched whole and case-sensitively
    void (*handler)();        // runs the command; returns unless it ends the process
    const char *description;  // the line the help listing shows under the name
};

// A unit's rows of the command table, which it defines beside its handlers.
// The front end gathers every unit's rows into the one table.
struct CommandRows {
    CommandEntry *begin;
    CommandEntry *end;
};

// Puts the table in ascending byte order of names; every run does this first.
void sort_command_table();

// The row whose name is exactly `word`, or null.
const CommandEntry *find_command(const char *word);

// The help listing, printed from the table to stdout without a flush.
void show_help();
