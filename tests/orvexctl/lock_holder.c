/* Holds a camera's lock as another program would, for the lock tests:
 *
 *   vcam-lock-holder INDEX HELD_FILE RELEASE_FILE
 *
 * Holds /dev/video<INDEX> (OrvexTac_HoldCamera), writes its process id to
 * HELD_FILE, waits
 * in real time until RELEASE_FILE exists, then releases and exits 0. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "OrvexTac.h"

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    char holder[128];
    if (!OrvexTac_HoldCamera(atoi(argv[1]), -1, holder, sizeof holder)) return 1;
    char tmp[4096];
    snprintf(tmp, sizeof tmp, "%s.tmp", argv[2]);
    FILE* f = fopen(tmp, "w");
    if (!f || fprintf(f, "%ld\n", (long)getpid()) < 0 || fclose(f) != 0 || rename(tmp, argv[2]) != 0) return 1;
    const struct timespec tick = {0, 20 * 1000 * 1000};
    while (access(argv[3], F_OK) != 0) nanosleep(&tick, NULL);
    OrvexTac_ReleaseCamera();
    return 0;
}
