#pragma once

#include "command_table.h"

// The rows of the terminal ownership probes, defined beside their handlers.
extern const CommandRows terminal_rows;
