// Parents that get the hand-down wrong: closed standard streams, a thousand
// inherited descriptors. Each case ends with its documented status, without
// a crash or a hang.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

#include "contract.h"
#include "support.h"

namespace zelk {
namespace {

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
                std::vector<Command> rows = {{"", "", "exit 0"}, {"no_such_command", "", "exit 1"}};
                rows.insert(rows.end(), kCommands.begin(), kCommands.end());
                for (const Command &row : rows) {
                    const char *status = (closed & 1) && row.stdin_closed    ? row.stdin_closed
                                         : (closed & 4) && row.stderr_closed ? row.stderr_closed
                                                                             : row.status;
                    if (status == nullptr) continue;  // it would not end by itself
                    Child child{{row.name}, fds};
                    if (*row.name == '\0') child.words.clear();
                    EXPECT_EQ(run(child).status, status)
                        << "'" << row.name << "' with closed mask " << closed;
                }
            }
        },
        120);
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

// Every descriptor open at the helper's exit is one it was handed. Its
// parent is a forked copy of the test that ignores sigint_parent's SIGINT.
TEST(HostileParent, OpensNoDescriptorOfItsOwn) {
#ifdef ZELK_SANITIZED
    GTEST_SKIP() << "valgrind cannot run a sanitized helper";
#endif
    if (!emulator().empty()) GTEST_SKIP() << "valgrind cannot run a helper of another architecture";
    // A fixed command line, only to ask whether valgrind is installed.
    if (system("command -v valgrind >/dev/null 2>&1") != 0) {  // NOLINT(cert-env33-c)
        GTEST_SKIP() << "no valgrind";
    }
    const std::string log = testing::TempDir() + "zelk_fds_" + std::to_string(getpid()) + ".log";
    std::vector<Command> rows = {{"nope", "", "exit 1"}};
    for (const Command &c : kCommands) {
        if (c.status != nullptr && std::string(c.status).rfind("exit", 0) == 0) rows.push_back(c);
    }
    in_child_process(
        [&] {
            signal(SIGINT, SIG_IGN);
            for (const Command &c : rows) {
                Child child{{c.name}};
                child.program = "valgrind";
                child.argv = {"valgrind", "-q", "--track-fds=yes", "--log-file=" + log,
                              helper_path()};
                EXPECT_EQ(run(child, false, 60).status, c.status) << c.name;
                std::ifstream lines(log);
                bool listed = false;
                for (std::string line; std::getline(lines, line);) {
                    listed = listed || line.find("FILE DESCRIPTORS:") != std::string::npos;
                    if (line.find("Open file descriptor") == std::string::npos) continue;
                    std::string origin;
                    std::getline(lines, origin);
                    EXPECT_NE(origin.find("<inherited from parent>"), std::string::npos)
                        << c.name << ": " << line << "\n"
                        << origin;
                }
                EXPECT_TRUE(listed) << c.name;
            }
        },
        120);
    std::remove(log.c_str());
}

}  // namespace
}  // namespace zelk
