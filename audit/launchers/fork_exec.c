/* A C parent at its plainest: fork, execv, wait. It changes nothing of what
   it was handed, so its child sees exactly that. */
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 2) {
        fputs("usage: zelk_fork_exec PROGRAM [WORD...]\n", stderr);
        return 2;
    }
    pid_t pid = fork();
    if (pid == 0) {
        execv(argv[1], argv + 1);
        perror("execv");
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) < 0) return 1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
