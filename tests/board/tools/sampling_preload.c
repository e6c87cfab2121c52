/* Preloaded (LD_PRELOAD) into a program that the board checks run, on the PC
 * and under qemu-arm, so that a program which samples an input once a second
 * and never ends can be fed a series of readings at full speed and then
 * stopped, with its own code doing all the reading, converting and printing.
 *
 *   BRINGUP_PRELOAD_INPUT     the attribute file the program reads, as the
 *                             program names it (e.g. /sys/bus/iio/...)
 *   BRINGUP_PRELOAD_READINGS  the readings: "FIRST..LAST" or "A,B,C"
 *   BRINGUP_PRELOAD_PREFIX    optional: a directory standing in for the root
 *                             of /sys, as qemu-arm's -L does; opening
 *                             /sys/X opens PREFIX/sys/X instead. Needed on
 *                             the PC only, where nothing else redirects /sys.
 *
 * Before main() the first reading is written into the input file; each
 * sleep() then returns at once after writing the next reading in place (the
 * program may keep the file open and seek back to its start, as libmraa
 * does), and the sleep() after the last reading ends the process through
 * exit(0), which flushes standard output. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);

static const char* readings;    /* what is left of BRINGUP_PRELOAD_READINGS */
static long range_next;         /* in a FIRST..LAST range: the next reading */
static long range_last;
static int in_range;

static void* next_symbol(const char* name)
{
    void* symbol = dlsym(RTLD_NEXT, name);
    if (symbol == NULL) {
        fprintf(stderr, "sampling_preload: no %s to forward to\n", name);
        _exit(125);
    }
    return symbol;
}

/* The path to open for `path`: under the prefix when it names a file in /sys. */
static const char* redirect(const char* path, char* buffer, size_t size)
{
    const char* prefix = getenv("BRINGUP_PRELOAD_PREFIX");
    if (prefix == NULL || path == NULL || strncmp(path, "/sys/", 5) != 0) {
        return path;
    }
    int n = snprintf(buffer, size, "%s%s", prefix, path);
    if (n < 0 || (size_t) n >= size) {
        fprintf(stderr, "sampling_preload: path too long under %s: %s\n", prefix, path);
        _exit(125);
    }
    return buffer;
}

static mode_t mode_argument(int flags, va_list arguments)
{
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? (mode_t) va_arg(arguments, unsigned int) : 0;
}

static int forward_open(const char* name, const char* path, int flags, mode_t mode)
{
    open_fn real;
    void* symbol = next_symbol(name);
    memcpy(&real, &symbol, sizeof real);
    char buffer[4096];
    return real(redirect(path, buffer, sizeof buffer), flags, mode);
}

static int forward_openat(const char* name, int dir, const char* path, int flags, mode_t mode)
{
    openat_fn real;
    void* symbol = next_symbol(name);
    memcpy(&real, &symbol, sizeof real);
    char buffer[4096];
    return real(dir, redirect(path, buffer, sizeof buffer), flags, mode);
}

/* open, open64, openat and openat64, each forwarding to the next definition
 * (the C library's) with the path redirected. */
#define OPEN_WRAPPER(name)                                                                         \
    int name(const char* path, int flags, ...)                                                     \
    {                                                                                              \
        va_list arguments;                                                                         \
        va_start(arguments, flags);                                                                \
        mode_t mode = mode_argument(flags, arguments);                                             \
        va_end(arguments);                                                                         \
        return forward_open(#name, path, flags, mode);                                             \
    }
#define OPENAT_WRAPPER(name)                                                                       \
    int name(int dir, const char* path, int flags, ...)                                            \
    {                                                                                              \
        va_list arguments;                                                                         \
        va_start(arguments, flags);                                                                \
        mode_t mode = mode_argument(flags, arguments);                                             \
        va_end(arguments);                                                                         \
        return forward_openat(#name, dir, path, flags, mode);                                      \
    }
OPEN_WRAPPER(open)
OPEN_WRAPPER(open64)
OPENAT_WRAPPER(openat)
OPENAT_WRAPPER(openat64)

/* Takes the next reading off the list; 0 when there is none left. */
static int next_reading(long* value)
{
    if (in_range) {
        if (range_next > range_last) {
            return 0;
        }
        *value = range_next++;
        return 1;
    }
    if (readings == NULL || *readings == '\0') {
        return 0;
    }
    char* end;
    *value = strtol(readings, &end, 10);
    if (end == readings || (*end != ',' && *end != '\0')) {
        fprintf(stderr, "sampling_preload: bad reading list at \"%s\"\n", readings);
        _exit(125);
    }
    readings = *end == ',' ? end + 1 : end;
    return 1;
}

static void write_reading(long value)
{
    const char* input = getenv("BRINGUP_PRELOAD_INPUT");
    int fd = open(input, O_WRONLY | O_TRUNC);
    char text[32];
    int n = snprintf(text, sizeof text, "%ld\n", value);
    if (fd < 0 || n <= 0 || write(fd, text, (size_t) n) != n || close(fd) != 0) {
        fprintf(stderr, "sampling_preload: cannot write reading %ld to %s\n", value, input);
        _exit(125);
    }
}

__attribute__((constructor)) static void start(void)
{
    const char* list = getenv("BRINGUP_PRELOAD_READINGS");
    if (list == NULL || getenv("BRINGUP_PRELOAD_INPUT") == NULL) {
        fprintf(stderr, "sampling_preload: BRINGUP_PRELOAD_INPUT and BRINGUP_PRELOAD_READINGS are needed\n");
        _exit(125);
    }
    const char* dots = strstr(list, "..");
    if (dots != NULL) {
        char* end;
        range_next = strtol(list, &end, 10);
        range_last = strtol(dots + 2, NULL, 10);
        in_range = end == dots;
    }
    if (dots != NULL && !in_range) {
        fprintf(stderr, "sampling_preload: bad reading range \"%s\"\n", list);
        _exit(125);
    }
    readings = list;
    long first;
    if (!next_reading(&first)) {
        fprintf(stderr, "sampling_preload: no readings\n");
        _exit(125);
    }
    write_reading(first);
}

unsigned int sleep(unsigned int seconds)
{
    (void) seconds;
    long value;
    if (!next_reading(&value)) {
        exit(0);
    }
    write_reading(value);
    return 0;
}
