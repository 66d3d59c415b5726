/* Forks without exec while the virtual camera serves the program, as a
 * shell or a worker pool does:
 *
 *   vcam-fork-child [--busy-thread | --two-cameras] CHILDREN
 *
 * The parent reads the chip id through libOrvexBase (open, query, close),
 * then forks; the children run at once, and each reads it the same way.
 * The parent reads it once more after they ended. With
 * --busy-thread a second thread opens and closes the node without pause
 * while the main thread forks, so forks land while it is inside the
 * virtual camera. With --two-cameras the parent keeps /dev/video1 (chip id
 * 0x16) open and reads it without pause while the children read
 * /dev/video0 over and over: two cameras, two locks, so nothing but each
 * process's own connection to the device keeps their replies apart.
 * Exit status 0 when every process read chip id 0x15 (0x16 on video1). */
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "OrvexTac.h"

static volatile int g_stop;

static void* busy(void* arg) {
    (void)arg;
    while (!g_stop) {
        int fd = open("/dev/video0", O_RDWR);
        if (fd >= 0) close(fd);
    }
    return NULL;
}

static int read_chip_id(void) {
    unsigned char id = 0;
    if (!OrvexTac_Init(0)) return -1;
    if (!OrvexTac_AsicRegisterRead(0x101F, &id, 1)) id = 0;
    OrvexTac_UnInit();
    return id;
}

static int child_reads(int two_cameras) {
    for (int k = 0; k < (two_cameras ? 40 : 1); ++k)
        if (read_chip_id() != 0x15) return 1;
    return 0;
}

int main(int argc, char** argv) {
    int busy_thread = argc > 2 && strcmp(argv[1], "--busy-thread") == 0;
    int two_cameras = argc > 2 && strcmp(argv[1], "--two-cameras") == 0;
    int children = argc > 1 ? atoi(argv[argc - 1]) : 0;
    pthread_t thread;
    if (busy_thread && pthread_create(&thread, NULL, busy, NULL) != 0) return 2;
    int failed = read_chip_id() != 0x15;
    pid_t pids[64];
    if (children > 64) children = 64;
    for (int i = 0; i < children; ++i) {
        fflush(NULL);
        pids[i] = fork();
        if (pids[i] < 0) return 2;
        if (pids[i] == 0) _exit(child_reads(two_cameras));
    }
    int status[64] = {0}, reaped[64] = {0};
    if (two_cameras) {
        if (!OrvexTac_Init(1)) return 2;
        int reads = 0, running = children;
        while (running > 0 || reads < 40) {
            unsigned char id = 0;
            if (!OrvexTac_AsicRegisterRead(0x101F, &id, 1) || id != 0x16) {
                fprintf(stderr, "parent read chip id %d on video1\n", id);
                failed = 1;
                break;
            }
            ++reads;
            running = 0;
            for (int i = 0; i < children; ++i) {
                if (!reaped[i]) reaped[i] = waitpid(pids[i], &status[i], WNOHANG) == pids[i];
                running += !reaped[i];
            }
        }
        OrvexTac_UnInit();
    }
    for (int i = 0; i < children; ++i) {
        if (!reaped[i] && waitpid(pids[i], &status[i], 0) != pids[i]) status[i] = -1;
        if (!WIFEXITED(status[i]) || WEXITSTATUS(status[i]) != 0) {
            fprintf(stderr, "child %d failed (status %d)\n", i, status[i]);
            failed = 1;
        }
    }
    if (busy_thread) {
        g_stop = 1;
        pthread_join(thread, NULL);
    }
    int id = read_chip_id();
    if (id != 0x15) {
        fprintf(stderr, "parent read chip id %d\n", id);
        failed = 1;
    }
    printf("%d children\n", children);
    return failed;
}
