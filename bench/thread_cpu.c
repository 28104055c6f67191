/* Preloaded into the tool by bench/scaling (LD_PRELOAD): when the process exits, appends one
 * line "MAIN_CPU_SECONDS PROCESS_CPU_SECONDS WRITES_CPU_SECONDS" to the file MARROWZIP_THREAD_CPU
 * names. exit() runs this on the thread that returns from main: the tool's own thread, which
 * walks the items and hands work out (or reads the central directory and dispatches the
 * entries). The workers are joined by then; their time is the difference. Thread CPU clocks
 * count only the time a thread ran, so other load on the machine does not enter them.
 *
 * WRITES_CPU_SECONDS: the CPU the other threads spent inside pwrite(2) and pwritev(2), the calls
 * that place an archive's bytes. The kernel takes a file's lock for each buffered write, so the
 * writes to one archive run one after the other whichever threads make them: they are a serial
 * part of their own, beside the tool's thread. Only meaningful for commands that write nothing
 * else with these calls (creating an archive: its sources are only read). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

static double seconds(clockid_t clock) {
    struct timespec now;
    if (clock_gettime(clock, &now) != 0) return -1.0;
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

static _Atomic long long writeNanoseconds;
static pthread_t mainThread;

__attribute__((constructor)) static void noteMainThread(void) { mainThread = pthread_self(); }

static long long threadNanoseconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

#define COUNTED(call)                                      \
    const int counted = !pthread_equal(pthread_self(), mainThread); \
    const long long start = counted ? threadNanoseconds() : 0; \
    const ssize_t result = call;                           \
    if (counted) writeNanoseconds += threadNanoseconds() - start; \
    return result

ssize_t pwrite64(int descriptor, const void* data, size_t size, off_t offset) {
    static ssize_t (*next)(int, const void*, size_t, off_t);
    if (next == NULL) next = (ssize_t(*)(int, const void*, size_t, off_t))dlsym(RTLD_NEXT, "pwrite64");
    COUNTED(next(descriptor, data, size, offset));
}

ssize_t pwrite(int descriptor, const void* data, size_t size, off_t offset) {
    return pwrite64(descriptor, data, size, offset);
}

ssize_t pwritev64(int descriptor, const struct iovec* vectors, int count, off_t offset) {
    static ssize_t (*next)(int, const struct iovec*, int, off_t);
    if (next == NULL)
        next = (ssize_t(*)(int, const struct iovec*, int, off_t))dlsym(RTLD_NEXT, "pwritev64");
    COUNTED(next(descriptor, vectors, count, offset));
}

ssize_t pwritev(int descriptor, const struct iovec* vectors, int count, off_t offset) {
    return pwritev64(descriptor, vectors, count, offset);
}

__attribute__((destructor)) static void report(void) {
    const char* path = getenv("MARROWZIP_THREAD_CPU");
    if (path == NULL) return;
    const double own = seconds(CLOCK_THREAD_CPUTIME_ID);
    const double all = seconds(CLOCK_PROCESS_CPUTIME_ID);
    FILE* out = fopen(path, "a");
    if (out == NULL) return;
    fprintf(out, "%.6f %.6f %.6f\n", own, all, (double)writeNanoseconds / 1e9);
    fclose(out);
}
