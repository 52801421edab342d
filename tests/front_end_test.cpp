// The front end: dispatch, help words, the listing and the front end's own
// messages and statuses.
#include <gtest/gtest.h>
#include <unistd.h>

#include "support.h"

namespace zelk {
namespace {

const char kListing[] = R"(zelk_test_helper: helper utility for zelk

Commands
--------
  become_foreground_then_print_stderr:
    Claim the terminal (tcsetpgrp) and then print to stderr

  help:
    Print list of zelk_test_helper commands

  nohup_wait:
    Ignore SIGHUP and just wait

  print_blocked_signals:
    Print to stdout the name(s) of blocked signals

  print_fds:
    Print the list of active FDs to stdout

  print_ignored_signals:
    Print to stdout the name(s) of ignored signals

  print_pgrp:
    Print our pgroup to stdout

  print_pid_then_sleep:
    Print our pid, then sleep for .5 seconds

  print_stdout_stderr:
    Print 'stdout' to stdout and 'stderr' to stderr

  print_stop_cont:
    Print when we get SIGTSTP and SIGCONT, exiting on input

  report_foreground:
    Report to stderr whether we own the terminal

  report_foreground_loop:
    Continually report to stderr whether we own the terminal

  sigint_parent:
    Wait .25 seconds, then SIGINT the parent process

  sigkill_self:
    Send SIGKILL to self

)";

// "$P" in an expectation stands for the child's pid (its own group's id), and
// "$0" for the argv[0] it was given.
std::string expand(std::string text, pid_t pid, const std::string &argv0) {
    for (size_t at; (at = text.find("$P")) != std::string::npos;) {
        text.replace(at, 2, std::to_string(pid));
    }
    for (size_t at; (at = text.find("$0")) != std::string::npos;) text.replace(at, 2, argv0);
    return text;
}

struct Case {
    std::vector<std::string> words;
    std::string out, err, status;
};

const Case kCases[] = {
    {{}, "", "No commands given.\n", "exit 0"},
    {{"help"}, kListing, "", "exit 0"},
    {{"--help"}, kListing, "", "exit 0"},
    {{"-h"}, kListing, "", "exit 0"},
    {{"print_pgrp", "help", "print_fds"}, std::string("$P\n") + kListing, "", "exit 0"},
    {{"print_pgrp", "-h", "no_such_word"}, std::string("$P\n") + kListing, "", "exit 0"},
    {{"print_pgrp", "nope", "print_fds"}, "$P\n", "$0: Unknown command: nope\n", "exit 1"},
    {{"print_pgrp", "print_pgrp"}, "$P\n$P\n", "", "exit 0"},
    {{"report_foreground"}, "", "background\n", "exit 0"},
    // Matching is whole-word, byte-wise and case-sensitive.
    {{""}, "", "$0: Unknown command: \n", "exit 1"},
    {{"HELP"}, "", "$0: Unknown command: HELP\n", "exit 1"},
    {{"--HELP"}, "", "$0: Unknown command: --HELP\n", "exit 1"},
    {{"-H"}, "", "$0: Unknown command: -H\n", "exit 1"},
    {{"Print_pgrp"}, "", "$0: Unknown command: Print_pgrp\n", "exit 1"},
    {{"print_pgr"}, "", "$0: Unknown command: print_pgr\n", "exit 1"},
    {{"print_pgrpx"}, "", "$0: Unknown command: print_pgrpx\n", "exit 1"},
    {{"print_pgrp "}, "", "$0: Unknown command: print_pgrp \n", "exit 1"},
    {{"\xff\xfe\x80 \x01"}, "", "$0: Unknown command: \xff\xfe\x80 \x01\n", "exit 1"},
};

TEST(FrontEnd, WordsGiveExactOutputAndStatus) {
    for (const Case &c : kCases) {
        Child child;
        child.words = c.words;
        Outcome o = run(child);
        const std::string line = testing::PrintToString(c.words);
        EXPECT_EQ(o.out, expand(c.out, o.pid, child.argv[0])) << line;
        EXPECT_EQ(o.err, expand(c.err, o.pid, child.argv[0])) << line;
        EXPECT_EQ(o.status, c.status) << line;
    }
}

TEST(FrontEnd, UnknownWordMessageEchoesArgv0AsPassed) {
    for (const std::string argv0 : {"", "zelk", "./odd name\xff/x"}) {
        Child child;
        child.argv = {argv0};
        child.words = {"nope"};
        Outcome o = run(child);
        EXPECT_EQ(o.err, argv0 + ": Unknown command: nope\n");
        EXPECT_EQ(o.status, "exit 1");
    }
}

TEST(FrontEnd, EmptyArgumentVectorCountsAsNoWords) {
    Child child;
    child.argv = {};
    Outcome o = run(child);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "No commands given.\n");
    EXPECT_EQ(o.status, "exit 0");
}

TEST(FrontEnd, HugeWordIsEchoedWhole) {
    Child child;
    const std::string word(100000, 'x');
    child.words = {"print_pgrp", word};
    Outcome o = run(child);
    EXPECT_EQ(o.out, std::to_string(o.pid) + "\n");
    EXPECT_EQ(o.err, child.argv[0] + ": Unknown command: " + word + "\n");
    EXPECT_EQ(o.status, "exit 1");
}

TEST(FrontEnd, TwentyThousandWordsAllRun) {
    Child child;
    child.words.assign(20000, "print_pgrp");
    Outcome o = run(child);
    std::string expected;
    for (int i = 0; i < 20000; ++i) expected += std::to_string(o.pid) + "\n";
    EXPECT_EQ(o.out, expected);
    EXPECT_EQ(o.status, "exit 0");
}

}  // namespace
}  // namespace zelk
