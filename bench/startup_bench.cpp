// Start-up cost of the helper beside the floor (an empty static C program)
// and /bin/true: wall time of fork, exec and wait over interleaved rounds,
// user-space instructions under callgrind, and system calls under strace.
// Exits 1 if a goal is missed.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Command = std::vector<std::string>;

double seconds_now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Forks and execs `cmd` with stdin at /dev/null, stdout and stderr on the
// given descriptors.
pid_t spawn(const Command &cmd, int out, int err) {
    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        dup2(null_fd, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char *> argv;
        for (const std::string &word : cmd) argv.push_back(const_cast<char *>(word.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

void drain(int fd) {
    char buf[65536];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

// Seconds per spawn of `cmd` over `count` spawns, stdout on a pipe as a test
// suite would give it.
double time_spawns(const Command &cmd, int count, int out_read, int out_write, int null_fd) {
    const double start = seconds_now();
    for (int i = 0; i < count; ++i) {
        int status = 0;
        waitpid(spawn(cmd, out_write, null_fd), &status, 0);
        drain(out_read);
    }
    return (seconds_now() - start) / count;
}

// Runs `cmd` to its end, with stdout on a pipe, and returns what it wrote
// to stderr. Its stdout is small enough to wait in the pipe unread.
std::string stderr_of(const Command &cmd) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return "";
    pid_t pid = spawn(cmd, out[1], err[1]);
    close(out[1]);
    close(err[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(err[0], buf, sizeof buf)) > 0;) text.append(buf, n);
    close(err[0]);
    close(out[0]);
    waitpid(pid, nullptr, 0);
    return text;
}

// The number after `key` in `text`, or -1.
long number_after(const std::string &text, const std::string &key) {
    size_t at = text.rfind(key);
    return at == std::string::npos ? -1 : std::strtol(text.c_str() + at + key.size(), nullptr, 10);
}

long instructions(const Command &cmd) {
    Command vg = {"valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"};
    vg.insert(vg.end(), cmd.begin(), cmd.end());
    return number_after(stderr_of(vg), "Collected : ");
}

// The calls column of strace's summary line.
long system_calls(const Command &cmd) {
    Command st = {"strace", "-c", "-qq"};
    st.insert(st.end(), cmd.begin(), cmd.end());
    std::istringstream lines(stderr_of(st));
    long total = -1;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::vector<std::string> w{std::istream_iterator<std::string>(words), {}};
        if (w.size() >= 4 && w.back() == "total") total = std::strtol(w[3].c_str(), nullptr, 10);
    }
    return total;
}

bool on_path(const char *tool) {
    return !stderr_of({"sh", "-c", std::string("command -v ") + tool + " >&2"}).empty();
}

bool check(const char *what, double value, double goal) {
    const bool met = value <= goal;
    std::printf("  %-34s %8.3f   goal <= %.2f  %s\n", what, value, goal, met ? "met" : "MISSED");
    return met;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s HELPER FLOOR [ROUNDS] [SPAWNS]\n", argv[0]);
        return 2;
    }
    const Command helper = {argv[1], "print_pgrp"};
    const Command floor = {argv[2]};
    const Command true_cmd = {"/bin/true"};
    const int rounds = argc > 3 ? static_cast<int>(std::strtol(argv[3], nullptr, 10)) : 21;
    const int spawns = argc > 4 ? static_cast<int>(std::strtol(argv[4], nullptr, 10)) : 300;
    bool met = true;

    int out[2];
    if (pipe2(out, O_CLOEXEC | O_NONBLOCK) != 0) return 2;
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    std::vector<double> ratios;
    std::vector<double> helper_us;
    std::vector<double> floor_us;
    std::vector<double> true_us;
    for (int r = 0; r < rounds; ++r) {
        // Alternate which goes first, so drift over a round cancels out.
        double h = 0;
        double f = 0;
        if (r % 2 == 0) {
            h = time_spawns(helper, spawns, out[0], out[1], null_fd);
            f = time_spawns(floor, spawns, out[0], out[1], null_fd);
        } else {
            f = time_spawns(floor, spawns, out[0], out[1], null_fd);
            h = time_spawns(helper, spawns, out[0], out[1], null_fd);
        }
        true_us.push_back(time_spawns(true_cmd, spawns / 3, out[0], out[1], null_fd) * 1e6);
        helper_us.push_back(h * 1e6);
        floor_us.push_back(f * 1e6);
        ratios.push_back(h / f);
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("wall time of fork, exec and wait (median of %d interleaved rounds of %d spawns)\n",
                rounds, spawns);
    std::printf("  %-34s %8.1f us\n", "floor", median(floor_us));
    std::printf("  %-34s %8.1f us\n", "/bin/true", median(true_us));
    std::printf("  %-34s %8.1f us\n", "zelk_test_helper print_pgrp", median(helper_us));
    met &= check("ratio helper / floor", median(ratios), 1.05);

    if (on_path("valgrind")) {
        const auto f = static_cast<double>(instructions(floor));
        std::printf("user-space instructions (callgrind)\n");
        std::printf("  %-34s %8.0f\n", "floor", f);
        std::printf("  %-34s %8ld\n", "/bin/true", instructions(true_cmd));
        const struct {
            const char *word;
            double goal;
        } probes[] = {{"print_pgrp", 1.15}, {"help", 1.5}, {"print_fds", 1.5}};
        for (const auto &p : probes) {
            const long n = instructions({argv[1], p.word});
            std::printf("  %-34s %8ld\n", (std::string("zelk_test_helper ") + p.word).c_str(), n);
            met &= check((std::string("ratio ") + p.word + " / floor").c_str(),
                         static_cast<double>(n) / f, p.goal);
        }
    } else {
        std::printf("user-space instructions: valgrind not found, skipped\n");
    }

    if (on_path("strace")) {
        const long f = system_calls(floor);
        const long h = system_calls(helper);
        std::printf("system calls (strace -c)\n");
        std::printf("  %-34s %8ld\n", "floor", f);
        std::printf("  %-34s %8ld\n", "/bin/true", system_calls(true_cmd));
        std::printf("  %-34s %8ld\n", "zelk_test_helper print_pgrp", h);
        met &= check("extra calls over the floor", static_cast<double>(h - f), 4);
    } else {
        std::printf("system calls: strace not found, skipped\n");
    }
    return met ? 0 : 1;
}
