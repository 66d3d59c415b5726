/* A program that keeps a camera open through libOrvexBase, for the tests of
 * the lock and of the shared device:
 *
 *   vcam-camera-user hold INDEX HELD_FILE
 *     opens /dev/video<INDEX>, reads the chip id, writes its process id to
 *     HELD_FILE and waits (in real time) to be killed, the camera still open.
 *
 *   vcam-camera-user turns INDEX DIR NAME ROUNDS
 *     opens /dev/video<INDEX> and keeps it open throughout, writes its
 *     process id to DIR/NAME.pid; for each round K waits until DIR/NAME.go.K
 *     exists, reads the chip id (one operation
 *     of the library) and writes it to DIR/NAME.done.K. Closes at the end.
 *
 * Exit status 0 when every read gave chip id 0x15. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "OrvexTac.h"

static const struct timespec kTick = {0, 10 * 1000 * 1000};

static int chip_id(void) {
    unsigned char id = 0;
    return OrvexTac_AsicRegisterRead(0x101F, &id, 1) ? id : -1;
}

/* Writes TEXT to PATH whole (through a rename): a reader never sees half. */
static int publish(const char* path, const char* text) {
    char tmp[4096];
    snprintf(tmp, sizeof tmp, "%s.tmp", path);
    FILE* f = fopen(tmp, "w");
    if (!f || fputs(text, f) < 0 || fclose(f) != 0) return 0;
    return rename(tmp, path) == 0;
}

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    const int index = atoi(argv[2]);
    if (!OrvexTac_Init(index)) return 1;
    char text[64];
    if (strcmp(argv[1], "hold") == 0 && argc == 4) {
        if (chip_id() != 0x15) return 1;
        snprintf(text, sizeof text, "%ld\n", (long)getpid());
        if (!publish(argv[3], text)) return 1;
        for (;;) nanosleep(&kTick, NULL);
    }
    if (strcmp(argv[1], "turns") != 0 || argc != 6) return 2;
    int failed = 0;
    const int rounds = atoi(argv[5]);
    char pid_file[4096];
    snprintf(pid_file, sizeof pid_file, "%s/%s.pid", argv[3], argv[4]);
    snprintf(text, sizeof text, "%ld\n", (long)getpid());
    if (!publish(pid_file, text)) return 1;
    for (int k = 0; k < rounds; ++k) {
        char go[4096], done[4096];
        snprintf(go, sizeof go, "%s/%s.go.%d", argv[3], argv[4], k);
        snprintf(done, sizeof done, "%s/%s.done.%d", argv[3], argv[4], k);
        while (access(go, F_OK) != 0) nanosleep(&kTick, NULL);
        int id = chip_id();
        failed |= id != 0x15;
        snprintf(text, sizeof text, "%d\n", id);
        if (!publish(done, text)) return 1;
    }
    OrvexTac_UnInit();
    return failed;
}
