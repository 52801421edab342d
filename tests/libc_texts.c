/* Prints the C library's own texts, for the tests to expect what a helper
   built against the same C library prints: "signal N TEXT" for every signal
   with a text, "error N TEXT" for every error number, and "libc glibc" where
   that is the C library. */
#include <signal.h>
#include <stdio.h>
#include <string.h>

int main(void) {
#ifdef __GLIBC__
    puts("libc glibc");
#endif
    for (int n = 1; n < 65; ++n) {
        const char *text = strsignal(n);
        if (text != NULL) printf("signal %d %s\n", n, text);
    }
    for (int n = 1; n < 256; ++n) printf("error %d %s\n", n, strerror(n));
    return 0;
}
