/* A preloaded library (LD_PRELOAD) that records how a process makes its files
 * durable, and fails the calls on request. One line each, appended to the file
 * named by SHIM_LOG:
 *   excl PATH               open with O_CREAT | O_EXCL
 *   fsync file|dir PATH NS  fsync of a file or a directory (its path now; the
 *                           nanoseconds it took)
 *   rename OLD NEW          rename that succeeded
 * Faults, each once, on a path that holds SHIM_MATCH:
 *   SHIM_FAIL_FSYNC=file|dir  that fsync returns -1 with EIO, doing nothing
 *   SHIM_EXCL_EXISTS=1        that O_EXCL open returns -1 with EEXIST */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

typedef int (*open_fn)(const char*, int, ...);

static void record(const char* line) {
    const char* log = getenv("SHIM_LOG");
    int saved = errno;
    int fd = log ? ((open_fn)dlsym(RTLD_NEXT, "open"))(
                       log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644)
                 : -1;
    if (fd >= 0) {
        (void)!write(fd, line, strlen(line));
        close(fd);
    }
    errno = saved;
}

/* 1 when the fault `name` asks for `value` on `path` and has not fired yet. */
static int fault(const char* name, const char* value, const char* path, int* fired) {
    const char* v = getenv(name);
    const char* m = getenv("SHIM_MATCH");
    if (*fired || !v || strcmp(v, value) != 0 || (m && !strstr(path, m))) return 0;
    return *fired = 1;
}

int fsync(int fd) {
    static int fired;
    char link[64], path[4096], line[4200];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    path[n < 0 ? 0 : n] = '\0';
    struct stat st;
    const char* kind = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) ? "dir" : "file";
    if (fault("SHIM_FAIL_FSYNC", kind, path, &fired)) {
        snprintf(line, sizeof line, "fsync %s %s EIO\n", kind, path);
        record(line);
        errno = EIO;
        return -1;
    }
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    int r = ((int (*)(int))dlsym(RTLD_NEXT, "fsync"))(fd);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    snprintf(line, sizeof line, "fsync %s %s %lld\n", kind, path,
             (long long)(t1.tv_sec - t0.tv_sec) * 1000000000LL + (t1.tv_nsec - t0.tv_nsec));
    record(line);
    return r;
}

int rename(const char* old, const char* new_) {
    int r = ((int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename"))(old, new_);
    char line[8300];
    snprintf(line, sizeof line, "rename %s %s\n", old, new_);
    if (r == 0) record(line);
    return r;
}

int open(const char* path, int flags, ...) {
    static int fired;
    va_list ap;
    va_start(ap, flags);
    int has_mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
    mode_t mode = has_mode ? (mode_t)va_arg(ap, int) : 0;
    va_end(ap);
    int excl = (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL);
    char line[4200];
    if (excl && fault("SHIM_EXCL_EXISTS", "1", path, &fired)) {
        snprintf(line, sizeof line, "excl %s EEXIST\n", path);
        record(line);
        errno = EEXIST;
        return -1;
    }
    int r = ((open_fn)dlsym(RTLD_NEXT, "open"))(path, flags, mode);
    snprintf(line, sizeof line, "excl %s\n", path);
    if (excl && r >= 0) record(line);
    return r;
}

/* The same call under its large-file name (one function on 64-bit systems). */
int open64(const char* path, int flags, ...) __attribute__((alias("open")));
