/* The C library's posix_spawn with no attributes: whatever the C library
   does for every child, it does here. */
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>

extern char **environ;

int main(int argc, char **argv) {
    if (argc < 2) {
        fputs("usage: zelk_posix_spawn PROGRAM [WORD...]\n", stderr);
        return 2;
    }
    pid_t pid;
    int error = posix_spawn(&pid, argv[1], NULL, NULL, argv + 1, environ);
    if (error != 0) {
        fprintf(stderr, "posix_spawn: %s\n", strerror(error));
        return 127;
    }
    int status = 0;
    if (waitpid(pid, &status, 0) < 0) return 1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
