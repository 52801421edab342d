#include "support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

namespace zelk {
namespace {

void close_from(int lowest) {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, lowest, ~0U, 0) == 0) return;
#endif
    for (long fd = lowest, top = std::min(sysconf(_SC_OPEN_MAX), 1L << 16); fd < top; ++fd) {
        close(static_cast<int>(fd));
    }
}

// Every source first moves above all the numbers involved, so that one
// placement can never clobber another's source.
void place_descriptors(const std::vector<FdMap> &fds) {
    int top = 3;
    for (const FdMap &m : fds) top = std::max({top, m.target + 1, m.source + 1});
    std::vector<int> copies;
    copies.reserve(fds.size());
    for (const FdMap &m : fds) {
        copies.push_back(m.source == kClosed ? -1 : fcntl(m.source, F_DUPFD_CLOEXEC, top));
    }
    std::vector<bool> keep(top, false);
    for (size_t i = 0; i < fds.size(); ++i) {
        if (copies[i] >= 0) {
            dup2(copies[i], fds[i].target);
            keep[fds[i].target] = true;
        }
    }
    for (int fd = 0; fd < top; ++fd) {
        if (!keep[fd]) close(fd);
    }
    close_from(top);
}

void set_signals(const Child &child) {
    for (int sig : all_signals()) signal(sig, SIG_DFL);
    for (int sig : child.ignored) signal(sig, SIG_IGN);
    sigset_t mask;
    sigemptyset(&mask);
    for (int sig : child.blocked) sigaddset(&mask, sig);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
}

[[noreturn]] void exec_helper(const Child &child) {
    std::vector<std::string> args = child.wrapper;
    if (!child.empty_argv) {
        args.push_back(child.wrapper.empty() ? child.argv0 : child.program);
        args.insert(args.end(), child.words.begin(), child.words.end());
    }
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (std::string &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (child.wrapper.empty()) {
        execve(child.program.c_str(), argv.data(), environ);
    } else {
        execvp(argv[0], argv.data());
    }
    _exit(127);
}

bool has_target(const std::vector<FdMap> &fds, int target) {
    return std::any_of(fds.begin(), fds.end(), [&](const FdMap &m) { return m.target == target; });
}

struct LibcTexts {
    std::map<int, std::string> signals;  // a signal without a text is missing
    std::map<int, std::string> errors;
    bool glibc = false;
};

// zelk_libc_texts' lines: "signal N TEXT", "error N TEXT" and "libc NAME".
LibcTexts parse_libc_texts(const std::string &out) {
    LibcTexts texts;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string kind;
        int number = 0;
        std::string text;
        words >> kind;
        if (kind == "libc") {
            texts.glibc = line == "libc glibc";
            continue;
        }
        words >> number;
        words.get();  // the space before the text
        std::getline(words, text);
        (kind == "signal" ? texts.signals : texts.errors)[number] = text;
    }
    return texts;
}

// Read once per process from zelk_libc_texts, which is built beside the
// helper by the same toolchain.
const LibcTexts &libc_texts() {
    static const LibcTexts texts = [] {
        const std::string &helper = helper_path();
        Child child;
        child.program = helper.substr(0, helper.rfind('/') + 1) + "zelk_libc_texts";
        child.argv0 = child.program;
        const Outcome o = run(child);
        EXPECT_EQ(o.status, "exit 0") << "cannot run " << child.program;
        return parse_libc_texts(o.out);
    }();
    return texts;
}

}  // namespace

const std::string &helper_path() {
    static const std::string path = [] {
        const char *chosen = std::getenv("ZELK_HELPER");
        return std::string(chosen != nullptr && *chosen != '\0' ? chosen : ZELK_HELPER_PATH);
    }();
    return path;
}

std::string signal_lines(std::vector<int> sigs) {
    std::sort(sigs.begin(), sigs.end());
    const std::map<int, std::string> &names = libc_texts().signals;
    std::string text;
    for (int sig : sigs) {
        const auto name = names.find(sig);
        if (sig > 32 || name == names.end()) continue;
        text += name->second;
        if (name->second.find(':') == std::string::npos) text += ": " + std::to_string(sig);
        text += "\n";
    }
    return text;
}

std::vector<int> all_signals() {
    std::vector<int> sigs;
    for (int sig = 1; sig < NSIG; ++sig) sigs.push_back(sig);
    return sigs;
}

std::string error_line(const char *label, int error) {
    return std::string(label) + ": " + libc_texts().errors.at(error) + "\n";
}

bool helper_uses_glibc() { return libc_texts().glibc; }

std::string describe(int st) {
    if (WIFEXITED(st)) return "exit " + std::to_string(WEXITSTATUS(st));
    if (WIFSIGNALED(st)) return "signal " + std::to_string(WTERMSIG(st));
    if (WIFSTOPPED(st)) return "stopped " + std::to_string(WSTOPSIG(st));
    if (WIFCONTINUED(st)) return "continued";
    return "unknown " + std::to_string(st);
}

double now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

Pipe make_pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) std::abort();
    return {fds[0], fds[1]};
}

void close_pipe(Pipe &p) {
    for (int *fd : {&p.read, &p.write}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

pid_t start(const Child &child) {
    std::fflush(nullptr);  // or our buffered output is written twice
    pid_t pid = fork();
    if (pid == 0) {
        if (child.group != kSameGroup) setpgid(0, child.group);
        set_signals(child);
        char byte;
        if (child.gate >= 0) (void)!read(child.gate, &byte, 1);
        place_descriptors(child.fds);
        exec_helper(child);
    }
    // Set the group from both sides, so it holds whichever runs first.
    if (pid > 0 && child.group != kSameGroup)
        setpgid(pid, child.group == kOwnGroup ? pid : child.group);
    return pid;
}

void kill_and_reap(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

void open_gate(Pipe &p) {
    (void)!write(p.write, "g", 1);
    close_pipe(p);
}

Outcome run(Child child, bool one_pipe, double seconds) {
    Pipe out = make_pipe();
    Pipe err = one_pipe ? out : make_pipe();
    int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (!has_target(child.fds, 0)) child.fds.push_back({0, null_fd});
    if (!has_target(child.fds, 1)) child.fds.push_back({1, out.write});
    if (!has_target(child.fds, 2)) child.fds.push_back({2, err.write});
    Outcome o;
    o.pid = start(child);
    close(null_fd);
    close(out.write);
    if (!one_pipe) close(err.write);

    const double deadline = now() + seconds;
    struct pollfd fds[2] = {{out.read, POLLIN, 0}, {one_pipe ? -1 : err.read, POLLIN, 0}};
    std::string *texts[2] = {&o.out, &o.err};
    while ((fds[0].fd >= 0 || fds[1].fd >= 0) && now() < deadline) {
        if (poll(fds, 2, 10) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[65536];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                texts[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
    }
    for (const struct pollfd &p : fds) {
        if (p.fd >= 0) close(p.fd);
    }
    o.status = wait_status(o.pid, std::max(deadline - now(), 0.1));
    if (o.status == "timeout") kill_and_reap(o.pid);
    return o;
}

std::string read_until(int fd, const std::string &needle, double seconds) {
    std::string text;
    const double deadline = now() + seconds;
    while (needle.empty() || text.find(needle) == std::string::npos) {
        double left = deadline - now();
        struct pollfd p = {fd, POLLIN, 0};
        if (left <= 0) break;
        if (poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            break;  // EIO is how a pty master says the last slave is gone
        }
    }
    return text;
}

std::string wait_status(pid_t pid, double seconds, int flags) {
    const double deadline = now() + seconds;
    int st = 0;
    for (;;) {
        pid_t r = waitpid(pid, &st, flags | WNOHANG);
        if (r == pid) return describe(st);
        if (r < 0 && errno != EINTR) return "no child";
        if (now() > deadline) return "timeout";
        usleep(1000);
    }
}

bool eventually(const std::function<bool()> &fact, double seconds) {
    const double deadline = now() + seconds;
    while (!fact()) {
        if (now() > deadline) return false;
        usleep(1000);
    }
    return true;
}

uint64_t proc_signal_mask(pid_t pid, const char *field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const std::string prefix = std::string(field) + ":";
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            return std::stoull(line.substr(prefix.size()), nullptr, 16);
        }
    }
    return 0;
}

void in_child_process(const std::function<void()> &body, double seconds) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        body();
        std::fflush(nullptr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    std::string status = wait_status(pid, seconds);
    if (status == "timeout") kill_and_reap(pid);
    EXPECT_EQ(status, "exit 0") << "the part of the test run in a child process failed";
}

void in_pty_session(const std::function<void(const Pty &)> &body, double seconds) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave_path = ptsname(master);
    in_child_process(
        [&] {
            ASSERT_GE(setsid(), 0);
            int slave = open(slave_path.c_str(), O_RDWR | O_CLOEXEC);
            ASSERT_GE(slave, 0);
            ASSERT_EQ(ioctl(slave, TIOCSCTTY, 0), 0);
            signal(SIGTTOU, SIG_IGN);
            body(Pty{master, slave});
        },
        seconds);
    close(master);
}

}  // namespace zelk
