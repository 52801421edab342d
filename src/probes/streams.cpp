#include "streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iterator>

// With both streams on one pipe the parent reads "stderr" first: stderr is
// unbuffered, stdout waits for the flush that ends the command. Each line is
// one block write.
void print_stdout_stderr() {
    static const char kStdout[] = "stdout\n";
    static const char kStderr[] = "stderr\n";
    std::fwrite(kStdout, sizeof kStdout - 1, 1, stdout);
    std::fwrite(kStderr, sizeof kStderr - 1, 1, stderr);
    std::fflush(nullptr);
}

// The pid is out before the pause, so the parent can act on it while we sleep.
void print_pid_then_sleep() {
    std::printf("%ld\n", static_cast<long>(getpid()));
    std::fflush(nullptr);
    usleep(500000);
}

// Stays in the stdout buffer: it reaches the parent at a normal exit only.
void print_pgrp() { std::printf("%ld\n", static_cast<long>(getpgrp())); }

// The open descriptors among 0 to 100, ascending, on one line; a descriptor
// whose flags cannot be read counts as closed.
void print_fds() {
    const char *separator = "";
    for (int fd = 0; fd <= 100; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0) {
            std::printf("%s%d", separator, fd);
            separator = " ";
        }
    }
    std::fputc('\n', stdout);
}

namespace {

// Each row once, in name order, which leaves the sort at start-up the least to do.
// clang-format off
CommandEntry rows[] = {
    {"print_fds", print_fds, "Print the list of active FDs to stdout"},
    {"print_pgrp", print_pgrp, "Print our pgroup to stdout"},
    {"print_pid_then_sleep", print_pid_then_sleep, "Print our pid, then sleep for .5 seconds"},
    {"print_stdout_stderr", print_stdout_stderr, "Print 'stdout' to stdout and 'stderr' to stderr"},
};
// clang-format on

}  // namespace

const CommandRows stream_rows = {std::begin(rows), std::end(rows)};
