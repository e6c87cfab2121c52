/* Preloaded (LD_PRELOAD) into a program that the board checks run, on the PC
 * and under qemu-arm, so that a program which samples an input once a second
 * and never ends can be fed a series of readings at full speed and then
 * stopped, with its own code doing all the reading, converting and printing;
 * and so that a program which drives sysfs attributes finds them behaving
 * as the kernel's do, with a record of what it wrote.
 *
 *   BRINGUP_PRELOAD_INPUT     the attribute file the program reads, as the
 *                             program names it (e.g. /sys/bus/iio/...)
 *   BRINGUP_PRELOAD_READINGS  the readings: "FIRST..LAST" or "A,B,C"
 *   BRINGUP_PRELOAD_PREFIX    optional: a directory standing in for the root
 *                             of /sys, as qemu-arm's -L does; opening
 *                             /sys/X opens PREFIX/sys/X instead. Needed on
 *                             the PC only, where nothing else redirects /sys.
 *   BRINGUP_PRELOAD_WRITES    optional: a file that gets one line for each
 *                             write the program makes to a file it opened in
 *                             /sys: the path as the program named it, a
 *                             blank, and the bytes written.
 *
 * With INPUT and READINGS (the two go together), the first reading is
 * written into the input file before main(); each sleep() then returns at
 * once after writing the next reading in place (the program may keep the
 * file open and seek back to its start, as libmraa does), and the sleep()
 * after the last reading ends the process through exit(0), which flushes
 * standard output. Without them, sleep() sleeps.
 *
 * The files standing in for sysfs attributes are plain files, where a write
 * lands at the descriptor's offset: libmraa writes a PWM duty cycle through
 * a descriptor that it keeps open and has read from, so every value would be
 * appended to the last, and a shorter period written over a longer one
 * would keep the longer one's tail. The kernel instead hands each write to
 * the driver whole and shows the new value, ending in a newline. So every
 * write to a file opened in /sys replaces the file's content with the bytes
 * written and a newline (when they end in none). */
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
typedef ssize_t (*write_fn)(int, const void*, size_t);
typedef int (*close_fn)(int);
typedef unsigned int (*sleep_fn)(unsigned int);

/* The path of each descriptor the program opened in /sys, by descriptor
 * number; empty for every other descriptor. */
enum { attribute_fds = 256, attribute_path_size = 256 };
static char attribute[attribute_fds][attribute_path_size];

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

/* Notes the path of a descriptor just opened, when it is in /sys. */
static int note_attribute(int fd, const char* path)
{
    if (fd >= 0 && path != NULL && strncmp(path, "/sys/", 5) == 0) {
        if (fd >= attribute_fds || strlen(path) >= attribute_path_size) {
            fprintf(stderr, "sampling_preload: descriptor %d or path too large: %s\n", fd, path);
            _exit(125);
        }
        strcpy(attribute[fd], path);
    }
    return fd;
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
 * (the C library's) with the path redirected, and noting what it opened. */
#define OPEN_WRAPPER(name)                                                                         \
    int name(const char* path, int flags, ...)                                                     \
    {                                                                                              \
        va_list arguments;                                                                         \
        va_start(arguments, flags);                                                                \
        mode_t mode = mode_argument(flags, arguments);                                             \
        va_end(arguments);                                                                         \
        return note_attribute(forward_open(#name, path, flags, mode), path);                       \
    }
#define OPENAT_WRAPPER(name)                                                                       \
    int name(int dir, const char* path, int flags, ...)                                            \
    {                                                                                              \
        va_list arguments;                                                                         \
        va_start(arguments, flags);                                                                \
        mode_t mode = mode_argument(flags, arguments);                                             \
        va_end(arguments);                                                                         \
        return note_attribute(forward_openat(#name, dir, path, flags, mode), path);                \
    }
OPEN_WRAPPER(open)
OPENAT_WRAPPER(openat)
/* glibc has separate large-file calls; musl has none, and its <fcntl.h>
 * makes the names macros for open and openat. */
#ifndef open64
OPEN_WRAPPER(open64)
#endif
#ifndef openat64
OPENAT_WRAPPER(openat64)
#endif

static ssize_t real_write(int fd, const void* data, size_t size)
{
    write_fn real;
    void* symbol = next_symbol("write");
    memcpy(&real, &symbol, sizeof real);
    return real(fd, data, size);
}

int close(int fd)
{
    close_fn real;
    void* symbol = next_symbol("close");
    memcpy(&real, &symbol, sizeof real);
    if (fd >= 0 && fd < attribute_fds) {
        attribute[fd][0] = '\0';
    }
    return real(fd);
}

/* Appends "PATH BYTES\n" to BRINGUP_PRELOAD_WRITES, when it is set. */
static void record_write(const char* path, const void* data, size_t size)
{
    const char* record = getenv("BRINGUP_PRELOAD_WRITES");
    if (record == NULL) {
        return;
    }
    int fd = forward_open("open", record, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    size_t length = strlen(path);
    if (fd < 0 || real_write(fd, path, length) != (ssize_t) length || real_write(fd, " ", 1) != 1 ||
        real_write(fd, data, size) != (ssize_t) size || real_write(fd, "\n", 1) != 1 || close(fd) != 0) {
        fprintf(stderr, "sampling_preload: cannot record a write to %s in %s\n", path, record);
        _exit(125);
    }
}

/* A write to a file opened in /sys replaces its content, as the kernel's
 * attributes do; any other write is passed on. */
ssize_t write(int fd, const void* data, size_t size)
{
    if (fd < 0 || fd >= attribute_fds || attribute[fd][0] == '\0') {
        return real_write(fd, data, size);
    }
    record_write(attribute[fd], data, size);
    const int newline = size == 0 || ((const char*) data)[size - 1] != '\n';
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != (ssize_t) size ||
        (newline && pwrite(fd, "\n", 1, (off_t) size) != 1)) {
        return -1;
    }
    return (ssize_t) size;
}

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

/* Not one of the program's writes: neither noted nor recorded. */
static void write_reading(long value)
{
    const char* input = getenv("BRINGUP_PRELOAD_INPUT");
    int fd = forward_open("open", input, O_WRONLY | O_TRUNC, 0);
    char text[32];
    int n = snprintf(text, sizeof text, "%ld\n", value);
    if (fd < 0 || n <= 0 || real_write(fd, text, (size_t) n) != n || close(fd) != 0) {
        fprintf(stderr, "sampling_preload: cannot write reading %ld to %s\n", value, input);
        _exit(125);
    }
}

__attribute__((constructor)) static void start(void)
{
    const char* list = getenv("BRINGUP_PRELOAD_READINGS");
    if ((list == NULL) != (getenv("BRINGUP_PRELOAD_INPUT") == NULL)) {
        fprintf(stderr, "sampling_preload: BRINGUP_PRELOAD_INPUT and BRINGUP_PRELOAD_READINGS go together\n");
        _exit(125);
    }
    if (list == NULL) {
        return;
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
    if (readings == NULL) {
        sleep_fn real;
        void* symbol = next_symbol("sleep");
        memcpy(&real, &symbol, sizeof real);
        return real(seconds);
    }
    long value;
    if (!next_reading(&value)) {
        exit(0);
    }
    write_reading(value);
    return 0;
}
