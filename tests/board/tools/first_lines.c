/* first_lines N OUT ERR PROGRAM [ARGS...]
 *
 * Runs PROGRAM with its standard output on a pseudo-terminal and its standard
 * error into the file ERR, copies what it writes on standard output into the
 * file OUT byte for byte, and kills it with SIGKILL once N lines have come.
 *
 * For programs that print a report and then loop for ever: on a terminal the
 * C library flushes standard output at each newline, where into a pipe it
 * would keep the lines in its buffer until the process ends, and a killed
 * process never flushes. The terminal is put in raw mode, so no carriage
 * return is added before the newlines.
 *
 * Exit status: 0 when N lines came and the program was then killed; 1 when the
 * program ended before that (how it ended is printed on standard error);
 * 2 on a usage or system error. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

static void die(const char* what)
{
    perror(what);
    exit(2);
}

static void write_all(int fd, const char* data, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            die("first_lines: write");
        }
        data += n;
        size -= (size_t) n;
    }
}

int main(int argc, char** argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: first_lines N OUT ERR PROGRAM [ARGS...]\n");
        return 2;
    }
    char* end;
    long wanted = strtol(argv[1], &end, 10);
    if (*end != '\0' || wanted < 1) {
        fprintf(stderr, "first_lines: bad line count %s\n", argv[1]);
        return 2;
    }
    int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0 || err < 0) {
        die("first_lines: open");
    }

    struct termios raw;
    memset(&raw, 0, sizeof raw);
    cfmakeraw(&raw);
    int master;
    pid_t child = forkpty(&master, NULL, &raw, NULL);
    if (child < 0) {
        die("first_lines: forkpty");
    }
    if (child == 0) {
        /* forkpty made the terminal the child's standard input, output and
         * error; standard error goes to the file instead. Standard input
         * stays on the terminal: the programs read none. */
        if (dup2(err, STDERR_FILENO) < 0) {
            _exit(126);
        }
        execvp(argv[4], argv + 4);
        fprintf(stderr, "first_lines: cannot run %s: %s\n", argv[4], strerror(errno));
        _exit(127);
    }

    long lines = 0;
    char buffer[4096];
    while (lines < wanted) {
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break; /* EIO: the program ended and closed the terminal */
        }
        /* Keep only what belongs to the first N lines. */
        size_t keep = 0;
        while (keep < (size_t) n && lines < wanted) {
            if (buffer[keep++] == '\n') {
                ++lines;
            }
        }
        write_all(out, buffer, keep);
    }

    if (lines == wanted) {
        kill(child, SIGKILL);
    }
    int status;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            die("first_lines: waitpid");
        }
    }
    if (lines == wanted) {
        return 0;
    }
    if (WIFEXITED(status)) {
        fprintf(stderr, "first_lines: %s exited with status %d after %ld of %ld lines\n", argv[4],
                WEXITSTATUS(status), lines, wanted);
    } else {
        fprintf(stderr, "first_lines: %s was ended by signal %d after %ld of %ld lines\n", argv[4],
                WIFSIGNALED(status) ? WTERMSIG(status) : 0, lines, wanted);
    }
    return 1;
}
