// Signal disposition reports: exactly the inherited blocked or ignored
// signals among 1 to 32, ascending, on stderr only.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <random>

#include "support.h"

namespace zelk {
namespace {

void expect_reports(const std::vector<int> &blocked, const std::vector<int> &ignored) {
    Child child;
    child.blocked = blocked;
    child.ignored = ignored;
    const std::string setup = "blocked " + testing::PrintToString(blocked) + ", ignored " +
                              testing::PrintToString(ignored);
    for (const char *word : {"print_blocked_signals", "print_ignored_signals"}) {
        child.words = {word};
        Outcome o = run(child);
        const bool blocking = std::strcmp(word, "print_blocked_signals") == 0;
        EXPECT_EQ(o.err, signal_lines(blocking ? blocked : ignored)) << word << " with " << setup;
        EXPECT_EQ(o.out, "") << word;
        EXPECT_EQ(o.status, "exit 0") << word;
    }
}

TEST(SignalReports, ListExactlyTheInheritedSetInAscendingOrder) {
    const struct {
        std::vector<int> blocked;
        std::vector<int> ignored;
    } cases[] = {
        {{}, {}},
        {{SIGQUIT, SIGINT}, {}},
        {{}, {SIGTTOU, SIGTTIN}},
        {{SIGUSR2, SIGHUP, SIGSYS}, {SIGPIPE, SIGUSR1}},
        {all_signals(), all_signals()},  // all but SIGKILL and SIGSTOP, which stay as they are
#ifdef __linux__                         // real-time signals: never listed
        {{SIGRTMIN, SIGRTMIN + 1, SIGRTMAX}, {SIGRTMIN, SIGRTMAX}},
        {{SIGTERM, SIGRTMIN}, {SIGINT, SIGRTMIN + 2}},
#endif
    };
    for (const auto &c : cases) expect_reports(c.blocked, c.ignored);
}

TEST(SignalReports, ListRandomInheritedSets) {
    std::mt19937 random(20261209);
    for (int round = 0; round < 8; ++round) {
        std::vector<int> blocked;
        std::vector<int> ignored;
        for (int sig = 1; sig <= 31; ++sig) {
            if (helper_number(sig) == 0) continue;
            if (random() % 3 == 0) blocked.push_back(sig);
            if (random() % 3 == 0) ignored.push_back(sig);
        }
        expect_reports(blocked, ignored);
    }
}

}  // namespace
}  // namespace zelk
