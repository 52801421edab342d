// Parents that get the hand-down wrong: closed standard streams, every
// signal blocked or ignored, a thousand inherited descriptors. Each case
// ends with its documented status, without a crash or a hang.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

#include "support.h"

namespace zelk {
namespace {

const struct {
    std::vector<std::string> words;
    const char *status;                  // with the streams this row can meet
    const char *stdin_closed = nullptr;  // the status when stdin is closed, where it differs
    bool ends_on_closed_stderr = false;  // returns only once a write to stderr fails
} kReturningCommands[] = {
    {{}, "exit 0"},
    {{"no_such_command"}, "exit 1"},
    {{"help"}, "exit 0"},
    {{"print_stdout_stderr"}, "exit 0"},
    {{"print_pid_then_sleep"}, "exit 0"},
    {{"print_pgrp"}, "exit 0"},
    {{"print_fds"}, "exit 0"},
    {{"print_blocked_signals"}, "exit 0"},
    {{"print_ignored_signals"}, "exit 0"},
    {{"report_foreground"}, "exit 0"},
    {{"report_foreground_loop"}, "exit 0", nullptr, true},
    {{"become_foreground_then_print_stderr"}, "exit 1"},  // no terminal on descriptor 1
    {{"sigint_parent"}, "exit 0"},
    {{"print_stop_cont"}, "exit 0", "exit 1"},
    {{"sigkill_self"}, "signal 9"},
};

// Streams left open lead to /dev/null or a pipe. The helper's parent is a
// forked copy of the test that ignores the SIGINT sigint_parent sends.
TEST(HostileParent, ClosedStandardStreamsInEveryCombination) {
    in_child_process(
        [] {
            signal(SIGINT, SIG_IGN);
            for (int closed = 1; closed <= 7; ++closed) {
                std::vector<FdMap> fds;
                for (int fd = 0; fd <= 2; ++fd) {
                    if (closed & (1 << fd)) fds.push_back({fd, kClosed});
                }
                for (const auto &row : kReturningCommands) {
                    if (row.ends_on_closed_stderr && !(closed & 4)) continue;
                    Outcome o = run({row.words, fds});
                    const char *status =
                        (closed & 1) && row.stdin_closed ? row.stdin_closed : row.status;
                    EXPECT_EQ(o.status, status)
                        << testing::PrintToString(row.words) << " with closed mask " << closed;
                }
            }
        },
        120);
}

TEST(HostileParent, EverySignalBlockedOrIgnored) {
    std::vector<int> catchable;
    for (int sig = 1; sig <= 31; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) catchable.push_back(sig);
    }
    Child blocked{{"print_blocked_signals"}};
    blocked.blocked = all_signals();
    EXPECT_EQ(run(blocked).err, signal_lines(catchable));
    Child ignored{{"print_ignored_signals"}};
    ignored.ignored = all_signals();
    EXPECT_EQ(run(ignored).err, signal_lines(catchable));
}

TEST(HostileParent, AThousandInheritedDescriptors) {
    rlimit limit{};  // raised as far as descriptors 0 to 1002 and a few for the harness need
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, 1010);
    if (limit.rlim_cur > limit.rlim_max || setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        GTEST_SKIP() << "needs 1010 open descriptors, more than the hard limit allows";
    }
    int file = open("/dev/null", O_RDONLY | O_CLOEXEC);
    Child child{{"print_fds"}};
    std::string line = "0 1 2";
    for (int fd = 3; fd < 1003; ++fd) {
        child.fds.push_back({fd, file});
        if (fd <= 100) line += " " + std::to_string(fd);
    }
    Outcome o = run(child);
    EXPECT_EQ(o.out, line + "\n");
    EXPECT_EQ(o.status, "exit 0");
    close(file);
}

// Every descriptor open at the helper's exit is one it was handed.
TEST(HostileParent, OpensNoDescriptorOfItsOwn) {
#ifdef ZELK_SANITIZED
    GTEST_SKIP() << "valgrind cannot run a sanitized helper";
#endif
    // A fixed command line, only to ask whether valgrind is installed.
    if (system("command -v valgrind >/dev/null 2>&1") != 0) {  // NOLINT(cert-env33-c)
        GTEST_SKIP() << "no valgrind";
    }
    const std::string log = testing::TempDir() + "zelk_fds_" + std::to_string(getpid()) + ".log";
    const struct {
        const char *word;
        const char *status;
    } cases[] = {
        {"print_pgrp", "exit 0"},
        {"print_fds", "exit 0"},
        {"help", "exit 0"},
        {"print_stdout_stderr", "exit 0"},
        {"print_blocked_signals", "exit 0"},
        {"print_ignored_signals", "exit 0"},
        {"report_foreground", "exit 0"},
        {"become_foreground_then_print_stderr", "exit 1"},
        {"print_stop_cont", "exit 0"},
        {"nope", "exit 1"},
    };
    for (const auto &c : cases) {
        Child child{{c.word}};
        child.program = "valgrind";
        child.argv = {"valgrind", "-q", "--track-fds=yes", "--log-file=" + log, helper_path()};
        EXPECT_EQ(run(child, false, 60).status, c.status) << c.word;
        std::ifstream lines(log);
        bool listed = false;
        for (std::string line; std::getline(lines, line);) {
            listed = listed || line.find("FILE DESCRIPTORS:") != std::string::npos;
            if (line.find("Open file descriptor") == std::string::npos) continue;
            std::string origin;
            std::getline(lines, origin);
            EXPECT_NE(origin.find("<inherited from parent>"), std::string::npos)
                << c.word << ": " << line << "\n"
                << origin;
        }
        EXPECT_TRUE(listed) << c.word;
    }
    std::remove(log.c_str());
}

}  // namespace
}  // namespace zelk
