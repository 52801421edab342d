#pragma once

#include "command_table.h"

// The rows of the signal and parent-process probes, defined beside their handlers.
extern const CommandRows signal_action_rows;
