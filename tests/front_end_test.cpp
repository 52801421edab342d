// Words in, bytes out: dispatch, the help words and listing, the front end's
// messages, and the commands that end the run, each a row of one table.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "contract.h"
#include "support.h"

namespace zelk {
namespace {

struct Row {
    const char *name;
    std::vector<std::string> words;
    std::string out, err, status;  // "$P" is the child's pid, "$0" the argv[0] it was given
    std::vector<FdMap> fds{};      // stdin is at end of input unless this places it
    std::vector<std::string> argv{helper_path()};
};

// `text` with every line that is exactly the pid written "$P", and argv0
// at the start of a line written "$0".
std::string with_names(const std::string &text, pid_t pid, const std::string &argv0) {
    const std::string number = std::to_string(pid);
    std::string named;
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = std::min(text.find('\n', at), text.size());
        std::string line = text.substr(at, end - at);
        if (line == number) line = "$P";
        if (!argv0.empty() && line.rfind(argv0 + ": ", 0) == 0) line.replace(0, argv0.size(), "$0");
        named += line + (end < text.size() ? "\n" : "");
    }
    return named;
}

std::string shown(const std::string &out, const std::string &err, const std::string &status) {
    return "[stdout]\n" + out + "[stderr]\n" + err + "[status] " + status + "\n";
}

TEST(FrontEnd, WordsGiveExactOutputAndStatus) {
    const std::string help = listing();
    const std::string huge(100000, 'x');
    std::string pids;
    for (int i = 0; i < 20000; ++i) pids += "$P\n";
    const int file = open("/dev/null", O_RDWR | O_CLOEXEC);
    const std::string unknown = "$0: Unknown command: ";
    // clang-format off
    const std::vector<Row> rows = {
        {"no words", {}, "", "No commands given.\n", "exit 0"},
        {"an empty argument vector", {}, "", "No commands given.\n", "exit 0", {}, {}},
        {"help", {"help"}, help, "", "exit 0"},
        {"--help", {"--help"}, help, "", "exit 0"},
        {"-h", {"-h"}, help, "", "exit 0"},
        {"help after a command", {"print_pgrp", "help", "print_fds"}, "$P\n" + help, "", "exit 0"},
        {"-h before an unknown word", {"print_pgrp", "-h", "nope"}, "$P\n" + help, "", "exit 0"},
        {"unknown word", {"print_pgrp", "nope", "print_fds"}, "$P\n", unknown + "nope\n", "exit 1"},
        {"a word twice", {"print_pgrp", "print_pgrp"}, "$P\n$P\n", "", "exit 0"},
        {"report_foreground, not its _loop", {"report_foreground"}, "", "background\n", "exit 0"},
        {"empty word", {""}, "", unknown + "\n", "exit 1"},
        {"HELP", {"HELP"}, "", unknown + "HELP\n", "exit 1"},
        {"--HELP", {"--HELP"}, "", unknown + "--HELP\n", "exit 1"},
        {"-H", {"-H"}, "", unknown + "-H\n", "exit 1"},
        {"capital", {"Print_pgrp"}, "", unknown + "Print_pgrp\n", "exit 1"},
        {"prefix", {"print_pgr"}, "", unknown + "print_pgr\n", "exit 1"},
        {"longer", {"print_pgrpx"}, "", unknown + "print_pgrpx\n", "exit 1"},
        {"trailing space", {"print_pgrp "}, "", unknown + "print_pgrp \n", "exit 1"},
        {"bytes", {"\xff\xfe\x80 \x01"}, "", unknown + "\xff\xfe\x80 \x01\n", "exit 1"},
        {"a word of 100000 bytes", {"print_pgrp", huge}, "$P\n", unknown + huge + "\n", "exit 1"},
        {"20000 words", std::vector<std::string>(20000, "print_pgrp"), pids, "", "exit 0"},
        {"argv[0] empty", {"nope"}, "", ": Unknown command: nope\n", "exit 1", {}, {""}},
        {"argv[0] a word", {"nope"}, "", unknown + "nope\n", "exit 1", {}, {"zelk"}},
        {"argv[0] odd", {"nope"}, "", unknown + "nope\n", "exit 1", {}, {"./odd\xff/x"}},
        // Commands that end the process: the words after them never run, and
        // only what was flushed before the end reaches the parent.
        {"print_stdout_stderr", {"print_stdout_stderr"}, "stdout\n", "stderr\n", "exit 0"},
        {"sigkill_self first", {"sigkill_self", "print_pgrp"}, "", "", "signal 9"},
        {"sigkill_self loses stdout", {"print_pgrp", "sigkill_self"}, "", "", "signal 9"},
        {"sigkill_self after a flush", {"print_stdout_stderr", "sigkill_self"}, "stdout\n", "stderr\n", "signal 9"},
        {"sigkill_self after the pid", {"print_pid_then_sleep", "sigkill_self"}, "$P\n", "", "signal 9"},
        {"print_stop_cont first", {"print_stop_cont", "print_pgrp"}, "", "", "exit 0"},
        {"print_stop_cont", {"print_pgrp", "print_stop_cont", "print_pgrp"}, "$P\n", "", "exit 0"},
        // Regression: a stdin that cannot be read used to be retried for ever.
        {"print_stop_cont, stdin closed", {"print_stop_cont"}, "", error_line("read", EBADF), "exit 1", {{0, kClosed}}},
        {"no terminal to take", {"become_foreground_then_print_stderr", "print_pgrp"}, "", error_line("tcsetgrp", ENOTTY), "exit 1"},
        // print_fds lists exactly the open descriptors among 0 to 100.
        {"fds 0 1 2", {"print_fds"}, "0 1 2\n", "", "exit 0"},
        {"fd 5", {"print_fds"}, "0 1 2 5\n", "", "exit 0", {{5, file}}},
        {"fds 3 64 100", {"print_fds"}, "0 1 2 3 64 100\n", "", "exit 0", {{3, file}, {64, file}, {100, file}}},
        {"fds above 100", {"print_fds"}, "0 1 2\n", "", "exit 0", {{101, file}, {150, file}}},
        {"fd 0 closed", {"print_fds"}, "1 2\n", "", "exit 0", {{0, kClosed}}},
        {"fds 0 and 2 closed", {"print_fds"}, "1 7\n", "", "exit 0", {{0, kClosed}, {2, kClosed}, {7, file}}},
    };
    // clang-format on
    // Each distinct failure is reported once, naming every row that gave it.
    std::map<std::pair<std::string, std::string>, std::string> failures;
    for (const Row &row : rows) {
        Child child{row.words, row.fds};
        child.argv = row.argv;
        const Outcome o = run(child);
        const std::string argv0 = row.argv.empty() ? "" : row.argv[0];
        const std::string expected = shown(row.out, row.err, row.status);
        const std::string got =
            shown(with_names(o.out, o.pid, argv0), with_names(o.err, o.pid, argv0), o.status);
        if (got == expected) continue;
        // Keyed from the line where they part, so that rows which fail alike
        // after different beginnings are reported once.
        const size_t part =
            std::mismatch(got.begin(), got.end(), expected.begin()).first - got.begin();
        const size_t line = part == 0 ? 0 : got.rfind('\n', part - 1) + 1;
        failures[{expected.substr(line), got.substr(line)}] += std::string("[") + row.name + "] ";
    }
    for (const auto &[texts, names] : failures) {
        EXPECT_EQ(texts.first, texts.second) << names << "from the first line that differs";
    }
    close(file);
}

// The README's contract is what other people's tests are written against: a
// command without its row there is a command nobody was told of.
TEST(FrontEnd, TheReadmeContractListsEveryCommand) {
    std::ifstream readme(source_root() + "README.md");
    ASSERT_TRUE(readme) << "cannot read " << source_root() << "README.md";
    std::stringstream text;
    text << readme.rdbuf();
    for (const Command &c : kCommands) {
        EXPECT_NE(text.str().find(std::string("\n| `") + c.name + "` |"), std::string::npos)
            << "README.md's contract table has no row for " << c.name;
    }
}

}  // namespace
}  // namespace zelk
