// Signal and parent-process probes: outliving the parent, interrupting it,
// announcing stops and continues, and dying by SIGKILL.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "support.h"

namespace zelk {
namespace {

// The handlers are installed whatever the parent left: even with every
// catchable signal ignored, stops and continues are announced.
TEST(SignalActions, StopsAndContinuesAreAnnouncedUntilInput) {
    ZELK_NEEDS_LINUX("/proc, to see the helper waiting for input");
    for (const std::vector<int> &ignored : {std::vector<int>{}, all_signals()}) {
        Child child{{"print_stop_cont"}, {{0, kPipe}, {1, kPipe}}};
        child.ignored = ignored;
        const Started s = start(child);
        // Once it reads, its handlers are in place.
        ASSERT_TRUE(eventually([&] { return reading(s.pid, 0); })) << doing(s.pid);
        for (int round = 0; round < 2; ++round) {
            kill(s.pid, SIGTSTP);
            EXPECT_EQ(wait_status(s.pid, 5, WUNTRACED), "stopped " + std::to_string(SIGSTOP));
            EXPECT_EQ(read_until(s.end(1), "SIGTSTP\n"), "SIGTSTP\n");
            kill(s.pid, SIGCONT);
            EXPECT_EQ(wait_status(s.pid, 5, WCONTINUED), "continued");
            EXPECT_EQ(read_until(s.end(1), "SIGCONT\n"), "SIGCONT\n");
        }
        ASSERT_EQ(write(s.end(0), "x", 1), 1);
        EXPECT_EQ(wait_status(s.pid), "exit 0");
        EXPECT_EQ(read_until(s.end(1), ""), "");
    }
}

// Regression: a non-blocking stdin with nothing to read must be waited on,
// neither spun on nor taken for the end of input; input ends it with status 0.
TEST(SignalActions, PrintStopContWaitsIdlyOnANonBlockingStdin) {
    Pipe in = make_pipe();
    fcntl(in.read, F_SETFL, O_NONBLOCK);
    const pid_t pid = start({{"print_stop_cont"}, {{0, in.read}}}).pid;
    close(in.read);
    EXPECT_EQ(wait_status(pid, 0.5), "timeout");  // a spinning helper would burn CPU here
    ASSERT_EQ(write(in.write, "x", 1), 1);
    close(in.write);
    int st = 0;
    struct rusage usage = {};
    ASSERT_EQ(wait4(pid, &st, 0, &usage), pid);
    EXPECT_EQ(describe(st), "exit 0");
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    EXPECT_LT(cpu, 0.1);
}

volatile sig_atomic_t sigints = 0;
double sigint_at = 0;  // written only by the handler, read after it has run
void count_sigint(int /*sig*/) {
    sigints = sigints + 1;
    sigint_at = now();
}

// The helper's parent is this forked copy of the test, never the test runner.
TEST(SignalActions, SigintParentSignalsOnceThenSaysSo) {
    in_child_process([] {
        signal(SIGINT, count_sigint);
        const double started = now();
        const Started s = start({{"sigint_parent"}, {{2, kPipe}}});
        const std::string notice = read_until(s.end(2), "\n");
        const double noticed = now();
        EXPECT_EQ(notice, "Sent SIGINT to " + std::to_string(getpid()) + "\n");
        EXPECT_EQ(wait_status(s.pid), "exit 0");
        EXPECT_EQ(sigints, 1);
        EXPECT_GE(sigint_at - started, 0.25);
        EXPECT_LE(sigint_at, noticed);
    });
}

// Runs `words` in a helper whose parent is a process of its own; once `ready`
// holds, that parent is killed and reaped, and the orphan comes back to us.
// Returns the helper's pid, now our child.
pid_t orphan(const Child &helper, const std::function<bool(pid_t)> &ready, double *orphaned_at) {
#ifdef __linux__
    EXPECT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
#endif
    Pipe report = make_pipe();
    pid_t parent = fork();
    if (parent == 0) {
        pid_t pid = start(helper).pid;
        (void)!write(report.write, &pid, sizeof pid);
        pause();
        _exit(0);
    }
    close(report.write);
    pid_t pid = -1;
    EXPECT_EQ(read(report.read, &pid, sizeof pid), static_cast<ssize_t>(sizeof pid));
    close(report.read);
    EXPECT_TRUE(eventually([&] { return ready(pid); }));
    *orphaned_at = now();
    kill_and_reap(parent);
    return pid;
}

// Regression: a kill that failed used to be announced as sent.
TEST(SignalActions, SigintParentReportsAParentThatIsGone) {
    ZELK_NEEDS_LINUX("a child subreaper and /proc");
    in_child_process([] {
        signal(SIGINT, count_sigint);
        Pipe err = make_pipe();
        double orphaned_at = 0;
        pid_t pid = orphan({{"sigint_parent"}, {{2, err.write}}}, asleep, &orphaned_at);
        close(err.write);
        EXPECT_EQ(read_until(err.read, ""), error_line("kill", ESRCH));
        close(err.read);
        EXPECT_EQ(wait_status(pid), "exit 1");
        EXPECT_EQ(sigints, 0);
    });
}

// Regression: as PID 1 of a PID namespace the helper sees no parent (id 0),
// and used to kill(0, SIGINT) its own group and announce "Sent SIGINT to 0".
TEST(SignalActions, SigintParentWithNoParentInSightSendsNothing) {
    ZELK_NEEDS_LINUX("PID namespaces");
    if (system("command -v unshare >/dev/null 2>&1") != 0) {  // NOLINT(cert-env33-c)
        GTEST_SKIP() << "needs unshare";
    }
    Child child{{"sigint_parent"}};
    child.program = "unshare";
    child.argv = {"unshare", "--pid", "--fork"};
    for (const std::string &word : emulated(helper_path(), helper_path()))
        child.argv.push_back(word);
    if (geteuid() != 0) child.argv.insert(child.argv.begin() + 1, {"--user", "--map-root-user"});
    const Outcome o = run(child);
    if (o.err.rfind("unshare:", 0) == 0) GTEST_SKIP() << "needs a PID namespace; " << o.err;
    EXPECT_EQ(o.err, error_line("kill", ESRCH));
    EXPECT_EQ(o.status, "exit 1");
}

// The helper ignores SIGHUP, closes its streams (losing the buffered pgrp
// line) while its parent still lives, outlives that parent, and goes on to
// the next word within a few of its quarter-second checks.
TEST(SignalActions, NohupWaitOutlivesItsParent) {
    ZELK_NEEDS_LINUX("a child subreaper and /proc");
    const struct {
        std::vector<std::string> words;
        std::vector<int> ignored;
        const char *status;
    } cases[] = {
        {{"print_pgrp", "nohup_wait"}, {}, "exit 0"},
        {{"print_pgrp", "nohup_wait", "sigkill_self"}, {SIGHUP}, "signal 9"},
    };
    for (const auto &c : cases) {
        in_child_process([&] {
            Pipe out = make_pipe();
            Child helper{c.words, {{1, out.write}}};
            helper.ignored = c.ignored;
            auto waiting = [&](pid_t pid) {  // SIGHUP is ignored before descriptor 1 closes
                const std::string fd1 = "/proc/" + std::to_string(pid) + "/fd/1";
                return access(fd1.c_str(), F_OK) != 0 && asleep(pid);
            };
            double orphaned_at = 0;
            pid_t pid = orphan(helper, waiting, &orphaned_at);
            close(out.write);
            kill(pid, SIGHUP);
            EXPECT_EQ(read_until(out.read, ""), "");
            close(out.read);
            EXPECT_EQ(wait_status(pid), c.status);
            EXPECT_LT(now() - orphaned_at, 1.0);
        });
    }
}

}  // namespace
}  // namespace zelk
