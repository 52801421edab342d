// Start-up cost of the helper: its own share over the floor, an empty static C
// program of the same C library, in user-space instructions (callgrind) and
// system calls (strace), which decide the exit status; and the wall time of
// fork, exec and wait beside a floor, which is only reported.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Command = std::vector<std::string>;

// Every program runs with this environment and no other: a static C library
// reads the whole environment at start-up, so the caller's would move the
// figures.
char kLocale[] = "LC_ALL=C";
char *kEnvironment[] = {kLocale, nullptr};

// The goals: the most that the helper may add to its floor.
const struct {
    const char *word;
    long instructions;
} kInstructionGoals[] = {{"print_pgrp", 4000}, {"help", 28000}, {"print_fds", 13000}};
const long kSystemCallGoal = 4;  // for print_pgrp

double seconds_now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string joined(const Command &cmd) {
    std::string text;
    for (const std::string &word : cmd) text += (text.empty() ? "" : " ") + word;
    return text;
}

// A program's path: as given if it holds a slash, else the first on $PATH
// (the system's default path where PATH is not set), else "".
std::string locate(const std::string &name) {
    if (name.find('/') != std::string::npos) return name;
    const char *path = std::getenv("PATH");
    char fallback[256] = "";
    if (path == nullptr) confstr(_CS_PATH, fallback, sizeof fallback);
    std::istringstream dirs(path != nullptr ? path : fallback);
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::string file = (dir.empty() ? "." : dir) + "/" + name;
        if (access(file.c_str(), X_OK) == 0) return file;
    }
    return "";
}

// A pipe whose ends no spawned program inherits.
void make_pipe(int fds[2]) {
    if (pipe(fds) != 0) std::exit(2);
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);
}

// Starts `cmd` with stdin at /dev/null, stdout on `out` and stderr on `err`; a
// program that cannot be executed says why on `err` and exits with 127.
pid_t spawn(const Command &cmd, int out, int err) {
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(open("/dev/null", O_RDONLY | O_CLOEXEC), 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char *> argv;
        for (const std::string &word : cmd) argv.push_back(const_cast<char *>(word.c_str()));
        argv.push_back(nullptr);
        execve(argv[0], argv.data(), kEnvironment);
        std::fprintf(stderr, "cannot execute %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    return pid;
}

// Reaps `cmd`, and stops the benchmark with status 1, saying how it ended and
// what it wrote to stderr, unless it exited 0.
void expect_success(const Command &cmd, pid_t pid, const std::string &err_text) {
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
    std::fprintf(stderr, "startup_bench: %s %s %d%s%s", joined(cmd).c_str(),
                 WIFEXITED(status) ? "exited with status" : "was killed by signal",
                 WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status),
                 err_text.empty() ? "\n" : ", saying:\n", err_text.c_str());
    std::exit(1);
}

// Runs `cmd` to its end with stdout on a pipe, as a test suite would give it,
// and returns what it wrote to stderr. Its stdout is small enough to wait in
// the pipe unread.
std::string stderr_of(const Command &cmd) {
    int out[2];
    int err[2];
    make_pipe(out);
    make_pipe(err);
    const pid_t pid = spawn(cmd, out[1], err[1]);
    close(out[1]);
    close(err[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(err[0], buf, sizeof buf)) > 0;) text.append(buf, n);
    close(err[0]);
    close(out[0]);
    expect_success(cmd, pid, text);
    return text;
}

// A reading under `tool` (valgrind or strace), or -1 when it cannot be taken.
long reading(const Command &tool, const Command &cmd) {
    Command full = tool;
    full[0] = locate(tool[0]);
    if (full[0].empty()) return -1;
    full.insert(full.end(), cmd.begin(), cmd.end());
    const std::string text = stderr_of(full);
    if (tool[0] == "valgrind") {
        const size_t at = text.rfind("Collected : ");
        return at == std::string::npos ? -1 : std::strtol(&text[at + 12], nullptr, 10);
    }
    // strace's last line: "% time", seconds, usecs/call, calls, [errors,] "total"
    const size_t total = text.rfind(" total");
    if (total == std::string::npos) return -1;
    std::istringstream words(text.substr(text.rfind('\n', total) + 1));
    std::string word[4];
    words >> word[0] >> word[1] >> word[2] >> word[3];
    return std::strtol(word[3].c_str(), nullptr, 10);
}

const Command kCallgrind = {"valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"};
const Command kStrace = {"strace", "-c", "-qq"};

// One row: the helper's figure, the floor's, and the helper's own share
// against its goal. A figure that could not be taken misses the goal.
bool check(const char *what, const Command &tool, long helper, long floor, long goal) {
    if (helper < 0 || floor < 0) {
        const std::string why = "not measured: no reading from " + tool[0];
        std::printf("  %-12s %-43s  MISSED\n", what, why.c_str());
        return false;
    }
    const bool met = helper - floor <= goal;
    std::printf("  %-12s %8ld %8ld %8ld   goal <= %5ld  %s\n", what, helper, floor, helper - floor,
                goal, met ? "met" : "MISSED");
    return met;
}

// Seconds of fork, exec and wait, with stdout on a pipe that is then drained.
double time_spawn(const Command &cmd, int out_read, int out_write, int null_fd) {
    const double start = seconds_now();
    expect_success(cmd, spawn(cmd, out_write, null_fd), "");
    char buf[65536];
    while (read(out_read, buf, sizeof buf) > 0) {
    }
    return seconds_now() - start;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The helper and the floor alternate on every spawn, so that drift over the
// run reaches both alike, and each pair gives one ratio.
void report_wall_time(const Command &helper, const Command &floor, long pairs) {
    int out[2];
    make_pipe(out);
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    std::vector<double> helper_us;
    std::vector<double> floor_us;
    std::vector<double> ratios;
    for (long i = 0; i < pairs; ++i) {
        const bool helper_first = i % 2 == 0;
        const double first = time_spawn(helper_first ? helper : floor, out[0], out[1], null_fd);
        const double second = time_spawn(helper_first ? floor : helper, out[0], out[1], null_fd);
        helper_us.push_back((helper_first ? first : second) * 1e6);
        floor_us.push_back((helper_first ? second : first) * 1e6);
        ratios.push_back(helper_us.back() / floor_us.back());
    }
    std::printf("wall time of fork, exec and wait, median of %ld pairs (reported, not a goal)\n",
                pairs);
    std::printf("  helper %.1f us, floor %s %.1f us, median ratio %.3f\n", median(helper_us),
                floor[0].c_str(), median(floor_us), median(ratios));
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: %s HELPER FLOOR [PAIRS [WALL_FLOOR]]\n"
                     "  FLOOR: an empty static C program of the helper's C library\n"
                     "  PAIRS: helper and floor spawns timed (default 2000; 0: none)\n"
                     "  WALL_FLOOR: the floor they are timed against (default FLOOR)\n",
                     argv[0]);
        return 2;
    }
    const std::string helper = argv[1];
    const Command floor = {argv[2]};
    const long pairs = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 2000;
    const Command wall_floor = {argc > 4 ? argv[4] : argv[2]};
    for (const Command &cmd : {Command{helper, "print_pgrp"}, floor, wall_floor}) {
        stderr_of(cmd);  // each must run at all before anything is measured
    }

    bool met = true;
    std::printf("the helper's own cost over its floor %s\n", floor[0].c_str());
    std::printf("user-space instructions (callgrind)  helper    floor      own\n");
    const long floor_instructions = reading(kCallgrind, floor);
    for (const auto &goal : kInstructionGoals) {
        const long n = reading(kCallgrind, {helper, goal.word});
        met &= check(goal.word, kCallgrind, n, floor_instructions, goal.instructions);
    }
    std::printf("system calls (strace -c)\n");
    met &= check("print_pgrp", kStrace, reading(kStrace, {helper, "print_pgrp"}),
                 reading(kStrace, floor), kSystemCallGoal);
    if (pairs > 0) report_wall_time({helper, "print_pgrp"}, wall_floor, pairs);
    return met ? 0 : 1;
}
