#pragma once

#include "command_table.h"

// The rows of the signal disposition reports, defined beside their handlers.
extern const CommandRows signal_report_rows;
