#include "support.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#ifdef __linux__
#include <sys/syscall.h>
#endif

namespace zelk {
namespace {

// The forked child's last word before exec: the step that failed and why.
[[noreturn]] void fail_step(int report, const std::string &step) {
    const std::string text = step + ": " + std::strerror(errno);
    (void)!write(report, text.data(), text.size());
    _exit(127);
}

void close_from(int lowest) {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, lowest, ~0U, 0) == 0) return;
#endif
    for (long fd = lowest, top = std::min(sysconf(_SC_OPEN_MAX), 1L << 16); fd < top; ++fd) {
        close(static_cast<int>(fd));
    }
}

// Places the descriptors and closes every other one. Each distinct source,
// and `report`, is first copied above every number involved, so that no
// placement can clobber another's source; the exec closes the copies.
// Returns the copy of `report`.
int place_descriptors(const std::vector<FdMap> &fds, int report) {
    int top = report + 1;
    for (const FdMap &m : fds) top = std::max({top, m.target + 1, m.source + 1});
    close_from(top);
    std::map<int, int> copies{{report, -1}};
    for (const FdMap &m : fds) {
        if (m.source != kClosed) copies[m.source] = -1;
    }
    for (auto &copy : copies) copy.second = fcntl(copy.first, F_DUPFD_CLOEXEC, top);
    if (copies[report] < 0) fail_step(report, "copy descriptors above " + std::to_string(top));
    std::vector<bool> keep(top, false);
    for (const FdMap &m : fds) {
        if (m.source == kClosed) continue;
        if (copies[m.source] < 0 || dup2(copies[m.source], m.target) < 0) {
            fail_step(copies[report], "place descriptor " + std::to_string(m.target));
        }
        keep[m.target] = true;
    }
    for (int fd = 0; fd < top; ++fd) {
        if (!keep[fd]) close(fd);
    }
    return copies[report];
}

// Every disposition to the default but the `ignored`, and `blocked` as the
// mask. A signal that cannot be set at all (EINVAL: SIGKILL, SIGSTOP, the C
// library's own) stays as it is.
bool hand_down_signals(const std::vector<int> &ignored, const std::vector<int> &blocked) {
    for (int sig : all_signals()) {
        const bool ignore = std::find(ignored.begin(), ignored.end(), sig) != ignored.end();
        if (signal(sig, ignore ? SIG_IGN : SIG_DFL) == SIG_ERR && errno != EINVAL) return false;
    }
    sigset_t mask;
    sigemptyset(&mask);
    for (int sig : blocked) (void)sigaddset(&mask, sig);
    return sigprocmask(SIG_SETMASK, &mask, nullptr) == 0;
}

std::string texts_beside(const std::string &helper) {
    return helper.substr(0, helper.rfind('/') + 1) + "zelk_libc_texts";
}

// zelk_libc_texts beside the helper, built by the same toolchain, or, where
// there is none (an installed helper), the one built with the tests.
std::string texts_program() {
    const std::string beside = texts_beside(helper_path());
    return access(beside.c_str(), X_OK) == 0 ? beside : texts_beside(ZELK_HELPER_PATH);
}

// execvp without its fallback, which hands a file the kernel refuses
// (ENOEXEC: another architecture, no program at all) to /bin/sh and so turns
// one clear error into a shell's syntax errors. Returns with errno set.
void exec_program(const std::string &program, char *const argv[]) {
    if (program.find('/') != std::string::npos) {
        execv(program.c_str(), argv);
        return;
    }
    const char *path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    int error = ENOENT;
    for (std::string dir; std::getline(dirs, dir, ':');) {
        execv(((dir.empty() ? "." : dir) + "/" + program).c_str(), argv);
        if (errno != ENOENT && errno != ENOTDIR) error = errno;  // found, but refused
    }
    errno = error;
}

[[noreturn]] void exec_child(const Child &child, bool emulate, int report) {
    if (child.group != kSameGroup && setpgid(0, child.group) != 0) fail_step(report, "setpgid");
    // From the background, this needs the SIGTTOU that the session ignores.
    if (child.terminal >= 0 && tcsetpgrp(child.terminal, getpgrp()) != 0) {
        fail_step(report, "tcsetpgrp");
    }
    if (!hand_down_signals(child.ignored, child.blocked)) fail_step(report, "signal setup");
    report = place_descriptors(child.fds, report);
    std::vector<std::string> args = child.argv;
    std::string program = child.program;
    if (emulate && (program == helper_path() || program == texts_program())) {
        args = emulated(program, args.empty() ? "" : args[0]);
        program = emulator();
    }
    args.insert(args.end(), child.words.begin(), child.words.end());
    std::vector<char *> argv(args.size() + 1, nullptr);
    std::transform(args.begin(), args.end(), argv.begin(), [](std::string &a) { return a.data(); });
    exec_program(program, argv.data());
    fail_step(report, "exec " + program);
}

// Reads each descriptor into its text until every one has ended (end of
// input, or an error such as a pty master's EIO), `needle` has arrived in
// the first text, or `seconds` have passed. A negative descriptor is skipped.
void read_texts(const std::vector<std::pair<int, std::string *>> &sources,
                const std::string &needle, double seconds) {
    const double deadline = now() + seconds;
    std::vector<pollfd> polls;
    polls.reserve(sources.size());
    for (const auto &source : sources) polls.push_back({source.first, POLLIN, 0});
    auto open =
        std::count_if(polls.begin(), polls.end(), [](const pollfd &p) { return p.fd >= 0; });
    while (open > 0 && (needle.empty() || sources[0].second->find(needle) == std::string::npos)) {
        const double left = deadline - now();
        if (left <= 0) break;
        if (poll(polls.data(), polls.size(), static_cast<int>(left * 1000) + 1) <= 0) continue;
        for (size_t i = 0; i < polls.size(); ++i) {
            if (polls[i].fd < 0 || polls[i].revents == 0) continue;
            char buf[65536];
            const ssize_t n = read(polls[i].fd, buf, sizeof buf);
            if (n > 0) {
                sources[i].second->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                polls[i].fd = -1;
                --open;
            }
        }
    }
}

// Kills every process in the session that `leader` leads, and reaps `leader`.
// Without /proc, only its own group.
void kill_session(pid_t leader) {
    kill(-leader, SIGKILL);
    DIR *proc = opendir("/proc");
    while (const dirent *entry = proc != nullptr ? readdir(proc) : nullptr) {
        const auto pid = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
        const std::string session = pid > 0 ? proc_status(pid, "NSsid") : "";
        if (std::strtol(session.c_str(), nullptr, 10) == leader) kill(pid, SIGKILL);
    }
    if (proc != nullptr) closedir(proc);
    waitpid(leader, nullptr, 0);
}

// zelk_libc_texts' lines, "KIND N TEXT", by kind and number: "signal" texts,
// "error" texts, signal names by "number", and "libc 1 glibc" where it is.
using Texts = std::map<std::string, std::map<int, std::string>>;

// What `program` prints, read once per process.
const Texts &texts_of(const std::string &program) {
    static std::map<std::string, Texts> read;
    if (read.count(program) != 0) return read[program];
    Child child;
    child.program = program;
    child.argv = {program};
    const Outcome o = run(child);
    EXPECT_EQ(o.status, "exit 0") << "cannot run " << program;
    std::istringstream lines(o.out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string kind;
        std::string text;
        int number = 0;
        std::getline(words >> kind >> number >> std::ws, text);
        read[program][kind][number] = text;
    }
    return read[program];
}

// The helper's C library and ABI.
const Texts &libc_texts() { return texts_of(texts_program()); }

// Every test binary starts from the default dispositions and an empty mask,
// whatever its runner handed down, so that it behaves as it does under ctest.
[[maybe_unused]] const bool kDefaultSignals = hand_down_signals({}, {});

}  // namespace

Started::~Started() {
    for (const auto &end : ends) close(end.second);
}

namespace {

// Runs `program print_fds` with descriptors 0 to 2 only, under the emulator
// unless `as_itself`: what it listed, or "" with `failure` saying why it
// could not be started.
std::string list_fds(const std::string &program, bool as_itself, std::string &failure) {
    Child child{{"print_fds"}};
    child.program = program;
    child.argv = {program};
    child.as_itself = as_itself;
    const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    child.fds = {{0, null_fd}, {1, kPipe}, {2, null_fd}};
    const Started s = start(child, &failure);
    close(null_fd);
    std::string listed = read_until(s.end(1), "", 10);
    if (wait_status(s.pid, 10) == "timeout") kill_and_reap(s.pid);
    return listed;
}

}  // namespace

const std::string &emulator() {
    // The kernel runs the helper as itself where it lists just the descriptors
    // it was given. A foreign helper fails with ENOEXEC, unless binfmt_misc
    // hands it to an emulator, which may keep one more open on the program.
    static const std::string name = [] {
        const char *named = std::getenv("ZELK_EMULATOR");
        if (named == nullptr || *named == '\0') return std::string();
        std::string failure;
        const bool native = list_fds(helper_path(), true, failure) == "0 1 2\n";
        return native ? std::string() : std::string(named);
    }();
    return name;
}

std::string execution_failure() {
    std::string failure;
    (void)list_fds(helper_path(), false, failure);
    return failure;
}

std::vector<std::string> emulated(const std::string &program, const std::string &argv0) {
    if (emulator().empty()) return {program};
    return {emulator(), "-0", argv0, program};
}

int helper_number(int sig) {
    const std::map<int, std::string> &ours = texts_of(texts_beside(ZELK_HELPER_PATH)).at("number");
    if (sig > 31 || sig == SIGKILL || sig == SIGSTOP || ours.count(sig) == 0) return 0;
    for (const auto &[number, name] : libc_texts().at("number")) {
        if (name == ours.at(sig)) return number;
    }
    return 0;
}

std::string source_root() {
    const std::string file = __FILE__;  // ROOT/tests/support.cpp, as the build names it
    return file.substr(0, file.rfind("tests/"));
}

const std::string &helper_path() {
    static const std::string path = [] {
        const char *chosen = std::getenv("ZELK_HELPER");
        if (chosen == nullptr || *chosen == '\0') return std::string(ZELK_HELPER_PATH);
        return (*chosen == '/' ? "" : source_root()) + std::string(chosen);
    }();
    return path;
}

std::string signal_lines(const std::vector<int> &sigs) {
    std::set<int> numbers;
    for (int sig : sigs) numbers.insert(helper_number(sig));
    numbers.erase(0);
    std::string text;
    for (int n : numbers) {
        const std::string &name = libc_texts().at("signal").at(n);
        text += name + (name.find(':') == std::string::npos ? ": " + std::to_string(n) : "") + "\n";
    }
    return text;
}

std::vector<int> all_signals() {
    std::vector<int> sigs;
    for (int sig = 1; sig < NSIG; ++sig) sigs.push_back(sig);
    return sigs;
}

std::string error_line(const char *label, int error) {
    return std::string(label) + ": " + libc_texts().at("error").at(error) + "\n";
}

bool helper_uses_glibc() { return libc_texts().count("libc") != 0; }

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
    if (pipe(fds) != 0) std::abort();
    for (int fd : fds) fcntl(fd, F_SETFD, FD_CLOEXEC);
    return {fds[0], fds[1]};
}

Started start(const Child &child, std::string *failure) {
    const bool emulate = !child.as_itself && !emulator().empty();  // decided before the fork
    Child placed = child;  // with the child's ends of the pipes it asked for
    // Under an emulator only the signals that the helper has too are handed
    // down: qemu-user maps a host signal its target lacks onto another (host
    // SIGSTKFLT reaches a mips helper as SIGEMT), and keeps SIGRTMIN and above
    // for itself, shifting the rest (host SIGRTMIN reaches it as 32).
    for (std::vector<int> *sigs : {&placed.blocked, &placed.ignored}) {
        const auto foreign = [emulate](int sig) { return emulate && helper_number(sig) == 0; };
        sigs->erase(std::remove_if(sigs->begin(), sigs->end(), foreign), sigs->end());
    }
    std::map<int, int> ours;
    std::vector<int> theirs;
    for (FdMap &m : placed.fds) {
        if (m.source != kPipe) continue;
        const Pipe p = make_pipe();
        ours[m.target] = m.target == 0 ? p.write : p.read;
        m.source = m.target == 0 ? p.read : p.write;
        theirs.push_back(m.source);
    }
    Pipe report = make_pipe();  // closed by the exec, or given the failed step
    std::fflush(nullptr);       // or our buffered output is written twice
    const pid_t pid = fork();
    if (pid < 0) std::abort();  // never hand a caller -1 to signal
    if (pid == 0) exec_child(placed, emulate, report.write);
    theirs.push_back(report.write);
    for (int fd : theirs) close(fd);
    std::string failed = read_until(report.read, "", 10);
    close(report.read);
    if (!failed.empty()) failed = "could not start " + child.program + ": " + failed;
    if (failure != nullptr) {
        *failure = failed;
    } else if (!failed.empty()) {
        ADD_FAILURE() << failed;
    }
    return {pid, std::move(ours)};
}

void kill_and_reap(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

Outcome run(Child child, bool one_pipe, double seconds) {
    const Pipe shared = one_pipe ? make_pipe() : Pipe{};
    const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    for (const FdMap m : {FdMap{0, null_fd}, FdMap{1, one_pipe ? shared.write : kPipe},
                          FdMap{2, one_pipe ? shared.write : kPipe}}) {
        const auto placed = [&](const FdMap &p) { return p.target == m.target; };
        if (std::none_of(child.fds.begin(), child.fds.end(), placed)) child.fds.push_back(m);
    }
    const double deadline = now() + seconds;
    Outcome o;
    {
        const Started s = start(child);
        o.pid = s.pid;
        for (int fd : {null_fd, shared.write}) close(fd);
        read_texts({{one_pipe ? shared.read : s.end(1), &o.out}, {s.end(2), &o.err}}, "",
                   deadline - now());
        close(shared.read);
    }
    o.status = wait_status(o.pid, std::max(deadline - now(), 0.1));
    if (o.status == "timeout") kill_and_reap(o.pid);
    return o;
}

std::string read_until(int fd, const std::string &needle, double seconds) {
    std::string text;
    read_texts({{fd, &text}}, needle, seconds);
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

std::string proc_status(pid_t pid, const char *field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const std::string prefix = std::string(field) + ":";
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            const size_t value = line.find_first_not_of(" \t", prefix.size());
            return value == std::string::npos ? "" : line.substr(value);
        }
    }
    return "";
}

bool asleep(pid_t pid) { return proc_status(pid, "State").rfind('S', 0) == 0; }

bool reading(pid_t pid, int fd) {
#ifdef SYS_read
    std::ifstream call("/proc/" + std::to_string(pid) + "/syscall");
    std::string number;
    std::string first;
    call >> number >> first;
    char expected[32];
    std::snprintf(expected, sizeof expected, "0x%x", static_cast<unsigned>(fd));
    // The kernel numbers the call as its caller does: a 32-bit helper that
    // runs natively (i386 on x86-64, arm on aarch64) reads with 3.
#if defined(__x86_64__) || defined(__aarch64__)
    const bool read_call = number == std::to_string(SYS_read) || number == "3";
#else
    const bool read_call = number == std::to_string(SYS_read);
#endif
    return read_call && first == expected && asleep(pid);
#else
    (void)pid;
    (void)fd;
    return false;
#endif
}

std::string doing(pid_t pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    std::string call;
    std::string wchan;
    std::getline(std::ifstream(proc + "/syscall"), call);
    std::getline(std::ifstream(proc + "/wchan"), wchan);
    const std::string state = proc_status(pid, "State");
    if (state.empty()) return "gone";
    return "state " + state + ", call " + call.substr(0, call.find(' ', call.find(' ') + 1)) +
           ", waiting in " + wchan;
}

void in_child_process(const std::function<void()> &body, double seconds) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) std::abort();
    if (pid == 0) {
        setsid();  // everything it starts stays in its session, to be killed at the deadline
        // The copy inherits the test's record: only what its body adds counts.
        const testing::TestResult &record =
            *testing::UnitTest::GetInstance()->current_test_info()->result();
        const int before = record.total_part_count();
        body();
        std::fflush(nullptr);
        _exit(record.total_part_count() > before ? 1 : 0);
    }
    const std::string status = wait_status(pid, seconds);
    if (status == "timeout") kill_session(pid);
    EXPECT_EQ(status, "exit 0") << "the part of the test run in a child process failed";
}

void in_pty_session(const std::function<void(const Pty &)> &body, double seconds) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave_path = ptsname(master);
    in_child_process(
        [&] {
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
