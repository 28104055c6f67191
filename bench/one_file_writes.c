/* bench/scaling's probe of one file's write ceiling: writes 256 MiB to PATH in 256 KiB pieces,
 * each at its own offset, from THREADS threads taking the pieces in turn; prints the rate in
 * GB/s. The kernel takes the file's lock for every buffered write, so more threads do not
 * raise it. Usage: one_file_writes PATH THREADS */
#define _GNU_SOURCE
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { total = 256 << 20, piece = 256 << 10, mostThreads = 16 };
static int descriptor;
static long threads;

static void* writePieces(void* argument) {
    const long own = (long)argument;
    char* bytes = malloc(piece);
    if (bytes == NULL) abort();
    memset(bytes, 'a' + (int)own, piece);
    for (long offset = own * piece; offset < total; offset += threads * piece) {
        if (pwrite(descriptor, bytes, piece, offset) != piece) abort();
    }
    free(bytes);
    return NULL;
}

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    threads = strtol(argv[2], NULL, 10);
    if (threads < 1 || threads > mostThreads) return 2;
    descriptor = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (descriptor < 0) return 1;
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pthread_t writers[mostThreads];
    for (long index = 0; index < threads; ++index)
        pthread_create(&writers[index], NULL, writePieces, (void*)index);
    for (long index = 0; index < threads; ++index)
        pthread_join(writers[index], NULL);
    clock_gettime(CLOCK_MONOTONIC, &end);
    close(descriptor);
    unlink(argv[1]);
    const double seconds = (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
    printf("%.3f\n", total / 1e9 / seconds);
    return 0;
}
