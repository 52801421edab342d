/* Prints the C library's own texts and numbers, for the tests to expect what
   a helper built against the same C library and ABI prints, one "KIND N TEXT"
   a line: "signal N TEXT" for every signal with a text, "number N NAME" for
   the classic signals, "error N TEXT" for every error number, and
   "libc 1 glibc" where that is the C library. */
#include <signal.h>
#include <stdio.h>
#include <string.h>

#define NUMBER(sig) printf("number %d %s\n", sig, #sig)

int main(void) {
#ifdef __GLIBC__
    puts("libc 1 glibc");
#endif
    for (int n = 1; n < 65; ++n) {
        const char *text = strsignal(n);
        if (text != NULL) printf("signal %d %s\n", n, text);
    }
    /* clang-format off */
    NUMBER(SIGHUP); NUMBER(SIGINT); NUMBER(SIGQUIT); NUMBER(SIGILL); NUMBER(SIGTRAP); NUMBER(SIGABRT);
    NUMBER(SIGBUS); NUMBER(SIGFPE); NUMBER(SIGKILL); NUMBER(SIGUSR1); NUMBER(SIGSEGV); NUMBER(SIGUSR2);
    NUMBER(SIGPIPE); NUMBER(SIGALRM); NUMBER(SIGTERM); NUMBER(SIGCHLD); NUMBER(SIGCONT); NUMBER(SIGSTOP);
    NUMBER(SIGTSTP); NUMBER(SIGTTIN); NUMBER(SIGTTOU); NUMBER(SIGURG); NUMBER(SIGXCPU); NUMBER(SIGXFSZ);
    NUMBER(SIGVTALRM); NUMBER(SIGPROF); NUMBER(SIGWINCH); NUMBER(SIGIO); NUMBER(SIGSYS);
#ifdef SIGSTKFLT
    NUMBER(SIGSTKFLT);
#endif
#ifdef SIGPWR
    NUMBER(SIGPWR);
#endif
    /* clang-format on */
    for (int n = 1; n < 256; ++n) printf("error %d %s\n", n, strerror(n));
    return 0;
}
