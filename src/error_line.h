#pragma once

// Prints "label: <system error text>" on stderr and exits with status 1, the
// one way a command reports a platform call it cannot do without.
[[noreturn]] void exit_with_error(const char *label);
