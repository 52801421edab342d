#include "signal_actions.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "error_line.h"

namespace {

// Writes a line straight to descriptor 1, past the stdout buffer, as a signal
// handler may. A failed write has nowhere to be reported; the ! keeps glibc's
// warn_unused_result quiet where a plain (void) does not.
template <size_t N>
void announce(const char (&line)[N]) {
    (void)!write(1, line, N - 1);
}

// Announces the stop on descriptor 1, then really stops.
void on_sigtstp(int /*sig*/) {
    const int saved_errno = errno;  // the read loop may be looking at it
    announce("SIGTSTP\n");
    kill(getpid(), SIGSTOP);
    errno = saved_errno;
}

void on_sigcont(int /*sig*/) {
    const int saved_errno = errno;
    announce("SIGCONT\n");
    errno = saved_errno;
}

// The handler stays installed after each delivery, and an interrupted read
// is restarted rather than failed.
void install(int sig, void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    (void)sigaction(sig, &action, nullptr);
}

// Sleeps until descriptor 0 has input, end of input or an error to report.
void wait_for_input() {
    struct pollfd stdin_poll = {0, POLLIN, 0};
    (void)poll(&stdin_poll, 1, -1);
}

}  // namespace

// Outlives the parent: the parent sees descriptors 0 to 2 close at once, and
// the helper goes on to the next word about a quarter second after it has
// been given a new parent. A SIGHUP meanwhile changes nothing.
void nohup_wait() {
    const pid_t parent = getppid();
    if (signal(SIGHUP, SIG_IGN) == SIG_ERR) {
        exit_with_error("signal");
    }
    close(0);
    close(1);
    close(2);
    while (getppid() == parent) {
        usleep(250000);
    }
}

// The parent gets one SIGINT a quarter second in, then reads the notice.
// A kill that fails is reported as such, never as sent. So is a parent out
// of sight (id 0, as PID 1 of a PID namespace): kill(0) would signal our own
// process group, which may hold the caller.
void sigint_parent() {
    const pid_t parent = getppid();
    usleep(250000);
    if (parent == 0) {
        errno = ESRCH;
        exit_with_error("kill");
    }
    if (kill(parent, SIGINT) != 0) {
        exit_with_error("kill");
    }
    std::fprintf(stderr, "Sent SIGINT to %d\n", static_cast<int>(parent));
}

// Each stop and continue shows on descriptor 1 as "SIGTSTP" then "SIGCONT";
// a byte or end of input ends the process with status 0, and a stdin that
// cannot be read ends it with the "read" error line and status 1.
[[noreturn]] void print_stop_cont() {
    install(SIGTSTP, on_sigtstp);
    install(SIGCONT, on_sigcont);
    char byte;
    while (read(0, &byte, 1) < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            wait_for_input();  // a non-blocking stdin must not make us spin
        } else if (errno != EINTR) {
            exit_with_error("read");
        }
    }
    std::exit(0);
}

// Dies by SIGKILL: nothing still buffered for stdout reaches the parent.
// Only a process the kernel shields from its own SIGKILL (PID 1 of a PID
// namespace) gets past the kill; abort then ends it all the same, so that
// the words after this one never run.
[[noreturn]] void sigkill_self() {
    kill(getpid(), SIGKILL);
    std::abort();
}

namespace {

// Each row once, in name order, which leaves the sort at start-up the least to do.
// clang-format off
CommandEntry rows[] = {
    {"nohup_wait", nohup_wait, "Ignore SIGHUP and just wait"},
    {"print_stop_cont", print_stop_cont, "Print when we get SIGTSTP and SIGCONT, exiting on input"},
    {"sigint_parent", sigint_parent, "Wait .25 seconds, then SIGINT the parent process"},
    {"sigkill_self", sigkill_self, "Send SIGKILL to self"},
};
// clang-format on

}  // namespace

const CommandRows signal_action_rows = {std::begin(rows), std::end(rows)};
