/* Preloaded into velconv by the fault tests: fails or signals the Nth call
 * of one kind of system call, and can report how many of each were made.
 *   FAULT_CALL   write | fsync | ftruncate | rename  (write counts pwrite too;
 *                writes to standard error are not counted)
 *   FAULT_AT     the call to fail, from 1
 *   FAULT_ERRNO  the error it fails with, or
 *   FAULT_SIGNAL a signal raised before the call is made
 *   FAULT_COUNTS a file to which the counts are written at exit */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

enum { WRITE, FSYNC, FTRUNCATE, RENAME, KINDS };
static const char* const kNames[KINDS] = {"write", "fsync", "ftruncate", "rename"};
static long counts[KINDS];

/* Returns nonzero when this call is to fail (errno is then set). */
static int fault(int kind) {
    const char* call = getenv("FAULT_CALL");
    const long n = ++counts[kind];
    if (!call || strcmp(call, kNames[kind]) != 0 || n != atol(getenv("FAULT_AT") ? getenv("FAULT_AT") : "0"))
        return 0;
    if (getenv("FAULT_SIGNAL")) {
        raise(atoi(getenv("FAULT_SIGNAL")));
        return 0;
    }
    errno = atoi(getenv("FAULT_ERRNO") ? getenv("FAULT_ERRNO") : "5");
    return 1;
}

#define NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

ssize_t write(int fd, const void* buffer, size_t n) {
    if (fd != 2 && fault(WRITE)) return -1;
    return NEXT(write)(fd, buffer, n);
}

ssize_t pwrite(int fd, const void* buffer, size_t n, off_t offset) {
    if (fault(WRITE)) return -1;
    return NEXT(pwrite)(fd, buffer, n, offset);
}

ssize_t pwrite64(int fd, const void* buffer, size_t n, off_t offset) { return pwrite(fd, buffer, n, offset); }

int fsync(int fd) {
    if (fault(FSYNC)) return -1;
    return NEXT(fsync)(fd);
}

int ftruncate(int fd, off_t length) {
    if (fault(FTRUNCATE)) return -1;
    return NEXT(ftruncate)(fd, length);
}

int ftruncate64(int fd, off_t length) { return ftruncate(fd, length); }

int rename(const char* from, const char* to) {
    if (fault(RENAME)) return -1;
    return NEXT(rename)(from, to);
}

__attribute__((destructor)) static void reportCounts(void) {
    const char* path = getenv("FAULT_COUNTS");
    FILE* out = path ? fopen(path, "w") : NULL;
    if (!out) return;
    for (int kind = 0; kind < KINDS; ++kind) fprintf(out, "%s %ld\n", kNames[kind], counts[kind]);
    fclose(out);
}
