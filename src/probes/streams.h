#pragma once

#include "command_table.h"

// The rows of the stream and descriptor probes, defined beside their handlers.
extern const CommandRows stream_rows;
