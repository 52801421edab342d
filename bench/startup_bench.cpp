// The helper's start-up cost over an empty static C program of its C library:
// instructions and system calls decide the exit status; PAIRS adds wall time.
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Command = std::vector<std::string>;

// The whole environment of every program: a static C library reads all of it
// at start-up, so the caller's would move the figures.
char kLocale[] = "LC_ALL=C";
char *kEnvironment[] = {kLocale, nullptr};

// Every program runs as ./program from a directory of its own, so its name,
// and with it the start-up stack that the counts move with, is the same
// wherever the benchmark starts and whatever paths name the programs.
const char kProgram[] = "./program";
char stage_root[] = "/tmp/zelk-bench-XXXXXX";
std::vector<std::string> staged;

void remove_stage() {
    for (const std::string &dir : staged) {
        (void)unlink((dir + "/program").c_str());
        (void)rmdir(dir.c_str());
    }
    (void)rmdir(stage_root);
}

// A new directory, named `as`, that holds `path` as ./program.
std::string stage(const char *path, const char *as) {
    if (staged.empty() && (mkdtemp(stage_root) == nullptr || std::atexit(remove_stage) != 0)) {
        std::perror("startup_bench: mkdtemp");
        std::exit(1);
    }
    char *real = realpath(path, nullptr);
    std::string dir = std::string(stage_root) + "/" + as;
    const bool made = real != nullptr && mkdir(dir.c_str(), 0700) == 0;
    if (made) staged.push_back(dir);
    if (!made || symlink(real, (dir + "/program").c_str()) != 0) {
        std::fprintf(stderr, "startup_bench: cannot stage %s: %s\n", path, std::strerror(errno));
        std::exit(1);
    }
    std::free(real);
    return dir;
}

const Command kCallgrind = {"valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"};
const Command kStrace = {"strace", "-c", "-qq", "-U", "calls"};

// The most that the helper may add to its floor.
const struct {
    const Command &tool;
    const char *word;
    long goal;
} kGoals[] = {{kCallgrind, "print_pgrp", 4000},
              {kCallgrind, "help", 28000},
              {kCallgrind, "print_fds", 13000},
              {kStrace, "print_pgrp", 4}};

// print_pgrp's count moves with the digits of the group it prints. In a PID
// namespace of its own a program sees its group, which lies outside, as 0, so
// the counts are taken there where the kernel allows one (as root). The child
// that made the namespace waits for the program, the namespace's PID 1, and
// ends as it did. Returns whether the caller is now that program.
bool enter_pid_namespace() {
    if (unshare(CLONE_NEWPID) != 0) return false;
    const pid_t pid = fork();
    if (pid == 0) return true;
    int st = 0;
    if (pid < 0 || waitpid(pid, &st, 0) != pid) _exit(125);
    if (WIFSIGNALED(st)) {
        (void)std::signal(WTERMSIG(st), SIG_DFL);
        (void)raise(WTERMSIG(st));
    }
    _exit(WEXITSTATUS(st));
}

// Whether the counts are taken in PID namespaces of their own.
bool pinned_groups() {
    const pid_t pid = fork();
    if (pid == 0) _exit(enter_pid_namespace() ? 0 : 1);
    int st = 1;
    return pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

// Runs `cmd` from `dir` to its end with stdin and stdout at /dev/null and
// returns its stderr; with `pinned`, in a PID namespace of its own. A program
// that does not exit 0 stops the benchmark with status 1, saying how it ended.
std::string stderr_of(const std::string &dir, const Command &cmd, bool pinned = false) {
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0) std::exit(1);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (chdir(dir.c_str()) != 0 || (pinned && !enter_pid_namespace())) _exit(126);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(err[1], 2);
        // Descriptors 0 to 2 alone, whatever the caller left open: print_fds's
        // count moves with each descriptor it finds.
        for (long fd = 3, top = std::min(sysconf(_SC_OPEN_MAX), 1L << 16); fd < top; ++fd) {
            close(static_cast<int>(fd));
        }
        std::vector<char *> argv;
        for (const std::string &word : cmd) argv.push_back(const_cast<char *>(word.c_str()));
        argv.push_back(nullptr);
        execve(argv[0], argv.data(), kEnvironment);
        std::fprintf(stderr, "cannot execute %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    close(err[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(err[0], buf, sizeof buf)) > 0;) text.append(buf, n);
    close(err[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    if (WIFEXITED(st) && WEXITSTATUS(st) == 0) return text;
    std::fputs("startup_bench:", stderr);
    for (const std::string &word : cmd) std::fprintf(stderr, " %s", word.c_str());
    std::fprintf(stderr, " %s %d%s%s",
                 WIFEXITED(st) ? "exited with status" : "was killed by signal",
                 WIFEXITED(st) ? WEXITSTATUS(st) : WTERMSIG(st),
                 text.empty() ? "\n" : ", saying:\n", text.c_str());
    std::exit(1);
}

// A reading of `cmd`, run from `dir`, under `tool`, or -1 when none can be taken: callgrind's
// "Collected : N", or the N of strace's last line, "N total".
long reading(const Command &tool, const std::string &dir, const Command &cmd, bool pinned) {
    const char *path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin");
    Command full = tool;  // with the tool's path from $PATH
    for (std::string dir; full[0] == tool[0] && std::getline(dirs, dir, ':');) {
        if (access((dir + "/" + tool[0]).c_str(), X_OK) == 0) full[0] = dir + "/" + tool[0];
    }
    if (full[0] == tool[0]) return -1;
    full.insert(full.end(), cmd.begin(), cmd.end());
    const std::string text = stderr_of(dir, full, pinned);
    const bool callgrind = &tool == &kCallgrind;
    const size_t at = callgrind ? text.rfind("Collected : ") : text.rfind(" total");
    if (at == std::string::npos) return -1;
    return std::strtol(&text[callgrind ? at + 12 : text.rfind('\n', at) + 1], nullptr, 10);
}

// Median microseconds of a spawn of the helper staged in `helper` (with
// print_pgrp) and of the floor staged in `floor`, spawned in turn `pairs`
// times each, so that drift over the run reaches both alike.
std::pair<double, double> median_us(const std::string &helper, const std::string &floor,
                                    long pairs) {
    using Clock = std::chrono::steady_clock;
    std::vector<double> us[2];
    for (long i = 0; i < 2 * pairs; ++i) {
        const Clock::time_point start = Clock::now();
        if (i % 2 == 0) {
            stderr_of(helper, {kProgram, "print_pgrp"});
        } else {
            stderr_of(floor, {kProgram});
        }
        us[i % 2].push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    for (std::vector<double> &v : us) std::sort(v.begin(), v.end());
    return {us[0][pairs / 2], us[1][pairs / 2]};
}

}  // namespace

int main(int argc, char **argv) {
    char *end = nullptr;
    const long pairs = argc > 3 ? std::strtol(argv[3], &end, 10) : 0;
    if (argc < 3 || argc > 5 || pairs < 0 || (end != nullptr && (end == argv[3] || *end != '\0'))) {
        std::fprintf(stderr, "usage: %s HELPER FLOOR [PAIRS [WALL_FLOOR]]\n", argv[0]);
        return 2;
    }
    const std::string helper = stage(argv[1], "helper");
    const std::string floor = stage(argv[2], "floor");
    const bool pinned = pinned_groups();
    bool met = true;
    if (!pinned) {
        std::printf(
            "no PID namespace (that needs root): print_pgrp's counts move with the "
            "digits of this process group\n");
    }
    std::printf("the helper's own cost over %s        helper    floor      own\n", argv[2]);
    for (const auto &g : kGoals) {
        const long mine = reading(g.tool, helper, {kProgram, g.word}, pinned);
        const long base = reading(g.tool, floor, {kProgram}, pinned);
        const bool measured = mine >= 0 && base >= 0;
        const bool ok = measured && mine - base <= g.goal;
        std::printf("  %-12s %-12s %8ld %8ld %8ld   goal <= %5ld  %s%s%s\n",
                    &g.tool == &kCallgrind ? "instructions" : "system calls", g.word, mine, base,
                    mine - base, g.goal, ok ? "met" : "MISSED",
                    measured ? "" : ": no reading from ", measured ? "" : g.tool[0].c_str());
        met &= ok;
    }
    if (pairs > 0) {
        const char *wall_floor = argc > 4 ? argv[4] : argv[2];
        const auto [mine, base] =
            median_us(helper, argc > 4 ? stage(wall_floor, "wall_floor") : floor, pairs);
        std::printf("wall time per spawn, median of %ld: helper %.0f us, %s %.0f us, ratio %.3f\n",
                    pairs, mine, wall_floor, base, mine / base);
    }
    return met ? 0 : 1;
}
