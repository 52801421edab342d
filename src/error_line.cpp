#include "error_line.h"

#include <cstdio>
#include <cstdlib>

void exit_with_error(const char *label) {
    std::perror(label);
    std::exit(1);
}
