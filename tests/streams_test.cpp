// Stream and descriptor probes: what reaches which stream, in what order,
// and which descriptors the child was handed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support.h"

namespace zelk {
namespace {

TEST(Streams, StderrLineComesFirstOnASharedPipe) {
    Outcome o = run({{"print_stdout_stderr"}}, /*one_pipe=*/true);
    EXPECT_EQ(o.out, "stderr\nstdout\n");
    o = run({{"print_pgrp", "print_stdout_stderr"}}, true);
    EXPECT_EQ(o.out, "stderr\n" + std::to_string(o.pid) + "\nstdout\n");
}

// stdout's buffer is the helper's own 4096 bytes, not the C library's or the
// descriptor's choice: a helper killed after about 6000 bytes of lines has
// delivered one full buffer, exactly 4096 bytes with glibc and a few fewer
// with others. It stays in our group, so that the line's length is known.
// On a terminal the buffer goes at each line end, before the kill.
TEST(Streams, AFullStdoutBufferLeavesBeforeTheEnd) {
    const std::string line = std::to_string(getpgrp()) + "\n";
    Child child;
    child.group = kSameGroup;
    child.words.assign(6000 / line.size(), "print_pgrp");
    child.words.emplace_back("sigkill_self");
    Outcome o = run(child);
    std::string stream;
    for (size_t i = 1; i < child.words.size(); ++i) stream += line;
    EXPECT_EQ(o.out, stream.substr(0, o.out.size()));
    EXPECT_GE(o.out.size(), 4000U);
    EXPECT_LE(o.out.size(), 4096U);
    EXPECT_TRUE(!helper_uses_glibc() || o.out.size() == 4096U) << "glibc wrote " << o.out.size();
    EXPECT_EQ(o.status, "signal 9");
    in_pty_session([](const Pty &pty) {
        const Started s = start({{"print_pgrp", "sigkill_self"}, {{1, pty.slave}}});
        EXPECT_EQ(read_until(pty.master, "\n"), std::to_string(s.pid) + "\r\n");
        EXPECT_EQ(wait_status(s.pid), "signal 9");
    });
}

TEST(Streams, PrintPgrpNamesTheGroupTheChildIsIn) {
    Child own{{"print_pgrp"}};
    Outcome o = run(own);
    EXPECT_EQ(o.out, std::to_string(o.pid) + "\n");
    Child same{{"print_pgrp"}};
    same.group = kSameGroup;
    EXPECT_EQ(run(same).out, std::to_string(getpgrp()) + "\n");
}

// Each pid line is out before its pause: the first arrives alone, and the
// second, from the same process, only after a pause of half a second, timed
// from before the start so that no delay of ours can shorten it.
TEST(Streams, PidLinesAreVisibleBeforeEachPause) {
    const double started = now();
    const Started s = start({{"print_pid_then_sleep", "print_pid_then_sleep"}, {{1, kPipe}}});
    const std::string line = std::to_string(s.pid) + "\n";
    EXPECT_EQ(read_until(s.end(1), "\n"), line);
    EXPECT_EQ(read_until(s.end(1), "\n"), line);
    EXPECT_GE(now() - started, 0.5);
    EXPECT_LT(now() - started, 3.0);
    EXPECT_EQ(wait_status(s.pid), "exit 0");
}

}  // namespace
}  // namespace zelk
