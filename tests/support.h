#pragma once
// Plays the helper's parent: starts the real binary with a chosen hand-down
// and watches what it does, always under a deadline.

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

// Skips a case that needs a piece only Linux has, saying which.
#ifdef __linux__
#define ZELK_NEEDS_LINUX(what)
#else
#define ZELK_NEEDS_LINUX(what) GTEST_SKIP() << "needs " what ", which only Linux has"
#endif

namespace zelk {

inline constexpr int kClosed = -1;       // FdMap source: the child's descriptor is closed
inline constexpr int kPipe = -2;         // FdMap source: a new pipe, whose other end is ours
inline constexpr pid_t kOwnGroup = 0;    // Child::group: the child leads a new group
inline constexpr pid_t kSameGroup = -1;  // Child::group: the child stays in ours

// The source tree the tests were built from, ending in a slash.
std::string source_root();

// The helper under test: the one that $ZELK_HELPER names (a relative path
// from the source root), else the one built beside the tests.
const std::string &helper_path();

// The emulator that $ZELK_EMULATOR names for a helper of another
// architecture, such as qemu-s390x-static, where the helper needs one: ""
// where the kernel runs the helper as itself, which the first call tries.
const std::string &emulator();

// Why the suite cannot execute the helper, natively or under its emulator,
// such as "could not start /x/zelk_test_helper: exec /x/zelk_test_helper:
// Exec format error"; "" where it can.
std::string execution_failure();

// The words that execute `program` as `argv0`: `program` itself, or, under an
// emulator, "EMULATOR -0 ARGV0 PROGRAM", which keeps the helper's argv[0], its
// pid and every disposition and mask it inherits. start() does this itself.
std::vector<std::string> emulated(const std::string &program, const std::string &argv0);

// The child's descriptor `target` is a copy of our `source`, or closed.
struct FdMap {
    int target;
    int source;
};

struct Child {
    std::vector<std::string> words;
    std::vector<FdMap> fds{};    // the child's descriptors; every other one is closed
    pid_t group = kOwnGroup;     // or kSameGroup, or the id of a group to join
    std::vector<int> blocked{};  // the signal mask
    std::vector<int> ignored{};  // SIG_IGN; every other disposition is the default
    int terminal = -1;           // in a pty session: the child's group takes it before exec
    std::string program = helper_path();           // what is executed, from PATH if it has no slash
    std::vector<std::string> argv{helper_path()};  // the arguments before the words
    bool as_itself = false;  // executed directly, even where the helper needs an emulator
};

// A started child, and our ends of the pipes it was given (kPipe), by its
// descriptor: the write end for its stdin, else the read end. They close
// with this.
struct Started {
    Started(pid_t child, std::map<int, int> our_ends) : pid(child), ends(std::move(our_ends)) {}
    Started(const Started &) = delete;
    Started &operator=(const Started &) = delete;
    ~Started();
    [[nodiscard]] int end(int fd) const { return ends.count(fd) != 0 ? ends.at(fd) : -1; }
    pid_t pid;
    std::map<int, int> ends;
};

struct Outcome {
    pid_t pid = -1;
    std::string out;  // stdout, or stdout and stderr when they share a pipe
    std::string err;
    std::string status;  // as describe() puts it, or "timeout"
};

struct Pipe {
    int read = -1;
    int write = -1;
};

struct Pty {
    int master = -1;
    int slave = -1;  // the session's controlling terminal
};

// The texts below come from the C library the helper was built against, as
// zelk_libc_texts beside it prints them (or, beside an installed helper,
// the one built with the tests), never from the tests' own.

// The helper's number for our signal `sig`, found by its name (mips numbers
// differ); 0 where the helper has none, or where a parent cannot hand `sig`
// down blocked or ignored (SIGKILL, SIGSTOP, 32 and above).
int helper_number(int sig);

// The lines the signal reports give when a parent hands down our signals
// `sigs` blocked or ignored: the helper's text and number for each, in the
// helper's order.
std::string signal_lines(const std::vector<int> &sigs);

// Every signal number the platform has, 1 to NSIG - 1.
std::vector<int> all_signals();

// An error line as the helper prints it: "label: <strerror(error)>\n".
std::string error_line(const char *label, int error);

// Whether that C library is glibc.
bool helper_uses_glibc();

// "exit N", "signal N", "stopped N" or "continued".
std::string describe(int st);

double now();
Pipe make_pipe();  // both ends close on exec

// Forks and execs the helper with exactly the hand-down asked for; the caller
// reaps it. A step that fails before the exec fails the test, naming the step,
// or, where `failure` is given, is told there.
Started start(const Child &child, std::string *failure = nullptr);

// Ends a child that is still running and reaps it.
void kill_and_reap(pid_t pid);

// Runs the helper to its end: stdin is /dev/null and stdout and stderr are
// pipes (one shared pipe when `one_pipe`) unless `child.fds` places them.
Outcome run(Child child, bool one_pipe = false, double seconds = 10);

// Reads until `needle` has arrived (empty: until end of output), the deadline
// passes, or the other side is gone; a pty master's EIO counts as the end.
std::string read_until(int fd, const std::string &needle, double seconds = 5);

// waitpid with WNOHANG plus `flags` until something is reported: describe()'s
// text, or "timeout".
std::string wait_status(pid_t pid, double seconds = 5, int flags = 0);

// Polls `fact` every millisecond until it holds or the deadline passes.
bool eventually(const std::function<bool()> &fact, double seconds = 5);

// A field of /proc/<pid>/status after its colon and blanks ("S (sleeping)"
// for "State"), or "" if there is none.
std::string proc_status(pid_t pid, const char *field);

// Asleep, as the kernel sees it, under an emulator too (whose handlers fill
// /proc's signal fields): after exec the helper sleeps only in its waits.
bool asleep(pid_t pid);

// Asleep in read() of descriptor `fd`, as the kernel reports the call it
// waits in. Under an emulator that is the host's read made for the guest,
// so it proves the guest got there, where plain sleep may be the emulator's;
// a native 32-bit helper's read is its own ABI's.
bool reading(pid_t pid, int fd);

// What the kernel shows the process doing, for a failed wait's message: its
// state, the call it waits in and where it sleeps, or "gone".
std::string doing(pid_t pid);

// Runs `body` in a forked copy of the test that leads a new session; the
// failures it records there are printed there and fail the calling test. At
// the deadline the whole session is killed.
void in_child_process(const std::function<void()> &body, double seconds = 20);

// Like in_child_process, with a fresh pty as the session's controlling
// terminal. SIGTTOU is ignored there, so the leader can move the foreground
// group from the background.
void in_pty_session(const std::function<void(const Pty &)> &body, double seconds = 20);

}  // namespace zelk
