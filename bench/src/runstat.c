/* runstat: runs one command, or a pipeline of commands, and prints what it cost.
 *
 *   runstat [-i IN] [-o OUT] -- CMD [ARG...] ['|' CMD [ARG...]]...
 *
 * The first command reads IN (default: /dev/null), the last writes OUT (default:
 * /dev/null); the commands between are joined by pipes, as a shell would. Standard
 * error is left alone. Every process is reaped with wait4(), and one line goes to
 * standard output:
 *
 *   WALL USER SYS MAXRSS_KB STATUS
 *
 * WALL is the elapsed time from the first fork to the last reap, USER and SYS the
 * sums over all the processes (seconds), MAXRSS_KB the largest peak resident set of
 * any one of them, STATUS 0 when every command exited 0, else the first failure's exit
 * status (128 + N for a signal N). runstat's own exit status is STATUS. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static void usage(void) {
    fprintf(stderr, "usage: runstat [-i IN] [-o OUT] -- CMD [ARG...] ['|' CMD [ARG...]]...\n");
    exit(2);
}

static double tv(struct timeval t) { return (double)t.tv_sec + (double)t.tv_usec / 1e6; }

int main(int argc, char** argv) {
    const char* in = "/dev/null";
    const char* out = "/dev/null";
    int i = 1;
    for (; i < argc; i++) {
        if (strcmp(argv[i], "--") == 0) { i++; break; }
        if (strcmp(argv[i], "-i") == 0 && i + 1 < argc) in = argv[++i];
        else if (strcmp(argv[i], "-o") == 0 && i + 1 < argc) out = argv[++i];
        else usage();
    }
    if (i >= argc) usage();

    /* Split the remaining arguments into commands at each lone "|". */
    int ncmd = 0;
    char*** cmds = calloc((size_t)argc, sizeof *cmds);
    if (!cmds) return 2;
    cmds[ncmd++] = &argv[i];
    for (int j = i; j < argc; j++) {
        if (strcmp(argv[j], "|") == 0) {
            argv[j] = NULL;
            if (j + 1 >= argc) usage();
            cmds[ncmd++] = &argv[j + 1];
        }
    }
    for (int c = 0; c < ncmd; c++)
        if (!cmds[c][0]) usage();

    int infd = open(in, O_RDONLY | O_CLOEXEC);
    if (infd < 0) { fprintf(stderr, "runstat: %s: %s\n", in, strerror(errno)); return 2; }
    int outfd = open(out, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (outfd < 0) { fprintf(stderr, "runstat: %s: %s\n", out, strerror(errno)); return 2; }

    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    pid_t* pids = calloc((size_t)ncmd, sizeof *pids);
    if (!pids) return 2;
    int prev = infd;
    for (int c = 0; c < ncmd; c++) {
        int p[2] = {-1, -1};
        int next_out = outfd;
        if (c + 1 < ncmd) {
            if (pipe2(p, O_CLOEXEC) != 0) { perror("runstat: pipe"); return 2; }
            next_out = p[1];
        }
        pid_t pid = fork();
        if (pid < 0) { perror("runstat: fork"); return 2; }
        if (pid == 0) {
            if (dup2(prev, 0) < 0 || dup2(next_out, 1) < 0) _exit(126);
            execvp(cmds[c][0], cmds[c]);
            fprintf(stderr, "runstat: %s: %s\n", cmds[c][0], strerror(errno));
            _exit(127);
        }
        pids[c] = pid;
        if (prev != infd) close(prev);
        if (c + 1 < ncmd) { close(p[1]); prev = p[0]; }
    }
    close(infd);
    close(outfd);

    double user = 0, sys = 0;
    long maxrss = 0;
    int status_out = 0;
    for (int c = 0; c < ncmd; c++) {
        int st;
        struct rusage ru;
        pid_t r;
        do r = wait4(pids[c], &st, 0, &ru); while (r < 0 && errno == EINTR);
        if (r < 0) { perror("runstat: wait4"); return 2; }
        user += tv(ru.ru_utime);
        sys += tv(ru.ru_stime);
        if (ru.ru_maxrss > maxrss) maxrss = ru.ru_maxrss;
        int code = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        if (code && !status_out) status_out = code;
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    double wall = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
    printf("%.6f %.6f %.6f %ld %d\n", wall, user, sys, maxrss, status_out);
    return status_out;
}
