// Opening a camera for one store operation: the camera must carry the
// sensor's identification block, or the store leaves it alone.
//
// The block is a 24-byte record in the camera's own flash whose characters
// sit in every other byte. Two firmware layouts exist: the first location
// holds tag "OG" and a number of up to 249, the second (used when the
// first does not match) tag "OF" and a number of up to 99. Only the
// even-numbered bytes named in the table are looked at.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "store.h"

namespace orvex_store {
namespace {

struct IdLocation {
    long addr;
    int tag_offset;     // two tag characters at tag_offset, tag_offset + 2
    int number_offset;  // six number characters, every other byte
    const char* tag;
    int max_number;     // accepted numbers: 1 to max_number
};

const IdLocation kIdLocations[] = {
    {kIdFirstAddr, 2, 6, "OG", 249},
    {kIdSecondAddr, 6, 10, "OF", 99},
};

bool block_matches(const IdLocation& loc) {
    BYTE block[kIdBlockSize];
    memset(block, 0, sizeof block);
    // A failed read leaves zeros (or a partial block): that never matches.
    OrvexTac_SerialFlashRead(loc.addr, block, sizeof block);

    // Both fields are NUL-terminated strings: a NUL among the characters
    // ends them early.
    char tag[3] = {0, 0, 0};
    for (int i = 0; i < 2; ++i) tag[i] = static_cast<char>(block[loc.tag_offset + 2 * i]);
    char number[7];
    memset(number, 0, sizeof number);
    for (int i = 0; i < 6; ++i) number[i] = static_cast<char>(block[loc.number_offset + 2 * i]);

    if (strcmp(tag, loc.tag) != 0) return false;
    // atoi rules: leading blanks and a sign, digits up to the first other
    // character; six characters cannot overflow an int.
    int n = atoi(number);
    return n >= 1 && n <= loc.max_number;
}

}  // namespace

BOOL OpenAndIdentifyDevice(long videoIndex) {
    if (OrvexTac_Init(static_cast<int>(videoIndex)) != 1) {
        if (debug_enable) {
            printf("Could not find/open orvex device");
        }
        return 0;
    }
    for (const IdLocation& loc : kIdLocations)
        if (block_matches(loc)) return 1;
    OrvexTac_UnInit();
    return 0;
}

void CloseDeviceAfterFailedRead() { OrvexTac_UnInit(); }

void CloseDevice() {
    OrvexTac_UnInit();
    if (debug_enable) {
        printf(".\n");
        printf(".\n");
        printf(".\n");
    }
}

}  // namespace orvex_store
