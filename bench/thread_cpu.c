/* Preloaded into the tool by bench/scaling (LD_PRELOAD): when the process exits, appends one
 * line "MAIN_CPU_SECONDS PROCESS_CPU_SECONDS" to the file MARROWZIP_THREAD_CPU names. exit()
 * runs this on the thread that returns from main: the tool's own thread, which walks the items,
 * hands work out and writes the archive (or reads the central directory and dispatches the
 * entries). The workers are joined by then; their time is the difference. Thread CPU clocks
 * count only the time a thread ran, so other load on the machine does not enter them. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static double seconds(clockid_t clock) {
    struct timespec now;
    if (clock_gettime(clock, &now) != 0) return -1.0;
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

__attribute__((destructor)) static void report(void) {
    const char* path = getenv("MARROWZIP_THREAD_CPU");
    if (path == NULL) return;
    const double own = seconds(CLOCK_THREAD_CPUTIME_ID);
    const double all = seconds(CLOCK_PROCESS_CPUTIME_ID);
    FILE* out = fopen(path, "a");
    if (out == NULL) return;
    fprintf(out, "%.6f %.6f\n", own, all);
    fclose(out);
}
