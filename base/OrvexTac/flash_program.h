// Internal: the block-program loop shared by the plain block program and
// the sector rewrite (which runs it after its erase).
#ifndef ORVEX_FLASH_PROGRAM_H
#define ORVEX_FLASH_PROGRAM_H

#include "../util.h"

// Programs len bytes from addr upwards in 8-byte transfers, the short chunk
// last. 1 when every transfer was accepted, 0 at the first refused one.
BOOL orvex_program_block(long addr, const unsigned char* pData, long len);

#endif
