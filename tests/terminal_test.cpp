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
// `foreground`; its stderr is a pipe to us.
Started start_in_group(const Pty &pty, Child child, bool foreground) {
    if (foreground) child.terminal = pty.slave;
    child.fds.push_back({2, kPipe});
    return start(child);
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
            const Started s =
                start_in_group(pty, {{"report_foreground"}, {{0, in}, {1, null_fd}}}, c.foreground);
            EXPECT_EQ(read_until(s.end(2), ""), c.line);
            EXPECT_EQ(wait_status(s.pid), "exit 0");
        });
    }
}

// Each move of the foreground is reported once, within about half a second.
TEST(Terminal, ReportForegroundLoopFollowsTheForegroundGroup) {
    in_pty_session([](const Pty &pty) {
        const Started s = start_in_group(pty, {{"report_foreground_loop"}, {{0, pty.slave}}}, true);
        EXPECT_EQ(read_until(s.end(2), "\n"), "foreground\n");
        for (pid_t group : {getpgrp(), s.pid}) {
            ASSERT_EQ(tcsetpgrp(pty.slave, group), 0);
            const double moved = now();
            const char *line = group == s.pid ? "foreground\n" : "background\n";
            EXPECT_EQ(read_until(s.end(2), "\n"), line);
            EXPECT_LT(now() - moved, 1.5);  // three of its half-second checks
        }
        kill_and_reap(s.pid);
        EXPECT_EQ(read_until(s.end(2), ""), "") << "a repeated line";
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
            double elsewhere = now();
            const Started s = start_in_group(pty, child, false);
            EXPECT_TRUE(eventually([&] {
                const double at = now();
                if (tcgetpgrp(pty.slave) == s.pid) return true;
                elsewhere = at;
                return false;
            }));
            EXPECT_EQ(read_until(s.end(2), ""), "become_foreground_then_print_stderr done\n");
            EXPECT_GE(now() - elsewhere, 0.25);
            EXPECT_EQ(wait_status(s.pid), "exit 0");
        });
    }
}

TEST(Terminal, BecomeForegroundFromTheBackgroundIsStoppedBySigttou) {
    in_pty_session([](const Pty &pty) {
        const Started s =
            start_in_group(pty, {{"become_foreground_then_print_stderr"}, {{1, pty.slave}}}, false);
        EXPECT_EQ(wait_status(s.pid, 5, WUNTRACED), "stopped " + std::to_string(SIGTTOU));
        EXPECT_EQ(tcgetpgrp(pty.slave), getpgrp());
        kill_and_reap(s.pid);
    });
}

}  // namespace
}  // namespace zelk
