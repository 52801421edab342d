// Terminal ownership probes, each run in a session of its own on a new pty
// whose leader plays the job-control parent.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "support.h"

namespace zelk {
namespace {

enum class Stdin { kTerminal, kDevNull, kClosed };

// Starts `child` in a new group, which takes the terminal before exec when
// `foreground`; stderr goes to `err`.
pid_t start_in_group(const Pty &pty, Child child, bool foreground, Pipe &err) {
    if (foreground) child.terminal = pty.slave;
    child.fds.push_back({2, err.write});
    pid_t pid = start(child);
    close(err.write);
    return pid;
}

TEST(Terminal, ReportForegroundComparesTheGroupOnDescriptor0) {
    const struct {
        Stdin in;
        bool foreground;
        const char *line;
    } cases[] = {
        {Stdin::kTerminal, true, "foreground\n"},
        {Stdin::kTerminal, false, "background\n"},
        {Stdin::kDevNull, true, "background\n"},
        {Stdin::kClosed, true, "background\n"},
    };
    for (const auto &c : cases) {
        in_pty_session([&](const Pty &pty) {
            int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
            const int in = c.in == Stdin::kTerminal  ? pty.slave
                           : c.in == Stdin::kDevNull ? null_fd
                                                     : kClosed;
            Pipe err = make_pipe();
            pid_t pid = start_in_group(pty, {{"report_foreground"}, {{0, in}, {1, null_fd}}},
                                       c.foreground, err);
            EXPECT_EQ(read_until(err.read, ""), c.line);
            EXPECT_EQ(wait_status(pid), "exit 0");
            close_pipe(err);
        });
    }
}

// Each move of the foreground is reported once, within about half a second.
TEST(Terminal, ReportForegroundLoopFollowsTheForegroundGroup) {
    in_pty_session([](const Pty &pty) {
        Pipe err = make_pipe();
        pid_t pid = start_in_group(pty, {{"report_foreground_loop"}, {{0, pty.slave}}}, true, err);
        EXPECT_EQ(read_until(err.read, "\n"), "foreground\n");
        for (pid_t group : {getpgrp(), pid}) {
            ASSERT_EQ(tcsetpgrp(pty.slave, group), 0);
            const double moved = now();
            const char *line = group == pid ? "foreground\n" : "background\n";
            EXPECT_EQ(read_until(err.read, "\n"), line);
            EXPECT_LT(now() - moved, 1.5);  // three of its half-second checks
        }
        kill_and_reap(pid);
        EXPECT_EQ(read_until(err.read, ""), "") << "a repeated line";
        close_pipe(err);
    });
}

// With stderr closed the first report fails and the loop hands back at once,
// without its pause: three loops that paused would take 1.5 s at least.
TEST(Terminal, ReportForegroundLoopReturnsWhenStderrIsClosed) {
    const double started = now();
    Outcome o = run({{"report_foreground_loop", "report_foreground_loop", "report_foreground_loop",
                      "print_pgrp"},
                     {{2, kClosed}}});
    EXPECT_LT(now() - started, 1.4);
    EXPECT_EQ(o.out, std::to_string(o.pid) + "\n");
    EXPECT_EQ(o.status, "exit 0");
}

// From a background group with SIGTTOU ignored, the helper takes the terminal
// through descriptor 1 and prints its line a quarter second later; a stdin
// that is no terminal does not matter. The pause is timed from the last moment
// the terminal was seen elsewhere, which no delay of ours can make later.
TEST(Terminal, BecomeForegroundTakesTheTerminalThroughStdout) {
    for (bool stdin_is_terminal : {true, false}) {
        in_pty_session([&](const Pty &pty) {
            int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
            Child child{{"become_foreground_then_print_stderr"},
                        {{0, stdin_is_terminal ? pty.slave : null_fd}, {1, pty.slave}}};
            child.ignored = {SIGTTOU};
            Pipe err = make_pipe();
            double elsewhere = now();
            pid_t pid = start_in_group(pty, child, false, err);
            EXPECT_TRUE(eventually([&] {
                const double at = now();
                if (tcgetpgrp(pty.slave) == pid) return true;
                elsewhere = at;
                return false;
            }));
            EXPECT_EQ(read_until(err.read, ""), "become_foreground_then_print_stderr done\n");
            EXPECT_GE(now() - elsewhere, 0.25);
            EXPECT_EQ(wait_status(pid), "exit 0");
            close_pipe(err);
        });
    }
}

TEST(Terminal, BecomeForegroundFromTheBackgroundIsStoppedBySigttou) {
    in_pty_session([](const Pty &pty) {
        Pipe err = make_pipe();
        pid_t pid = start_in_group(pty, {{"become_foreground_then_print_stderr"}, {{1, pty.slave}}},
                                   false, err);
        EXPECT_EQ(wait_status(pid, 5, WUNTRACED), "stopped " + std::to_string(SIGTTOU));
        EXPECT_EQ(tcgetpgrp(pty.slave), getpgrp());
        kill_and_reap(pid);
        close_pipe(err);
    });
}

TEST(Terminal, BecomeForegroundWithStdoutNoTerminalFails) {
    in_pty_session([](const Pty &pty) {
        Pipe out = make_pipe();
        Pipe err = make_pipe();
        Child child{{"become_foreground_then_print_stderr", "print_pgrp"},
                    {{0, pty.slave}, {1, out.write}}};
        pid_t pid = start_in_group(pty, child, true, err);
        close(out.write);
        EXPECT_EQ(read_until(err.read, ""), error_line("tcsetgrp", ENOTTY));
        EXPECT_EQ(read_until(out.read, ""), "") << "the words after it ran";
        EXPECT_EQ(wait_status(pid), "exit 1");
        close_pipe(out);
        close_pipe(err);
    });
}

}  // namespace
}  // namespace zelk
