// Internal: the facts of a firmware image in the camera's flash that every
// burn shares (the library's burner and the sector-wise burn) and that the
// front ends check an image against. Not installed.
#ifndef ORVEX_INTERNAL_BURN_LAYOUT_H
#define ORVEX_INTERNAL_BURN_LAYOUT_H

namespace orvex_burn {

// The flash-data path addresses 18 bits: 256 KiB. A longer image would fold
// back onto bank 3 and overwrite what was just programmed.
constexpr long kFlashSize = 0x40000;
// One flash-data transfer.
constexpr long kChunk = 8;
// Bytes 0x160 to 0x163 of the image are programmed last, with the rest of
// their 8-byte chunk: until then they stay erased, so a burn that stops
// half-way never leaves a header that looks complete to the boot code.
constexpr long kDeferredAddr = 0x160;
constexpr long kDeferredLen = 4;
constexpr long kDeferredChunkEnd = kDeferredAddr + kChunk;
// An image must cover the deferred chunk.
constexpr long kMinImageLen = kDeferredChunkEnd;
constexpr long kMaxImageLen = kFlashSize;
// A sampled check (blank check, sampled verification) reads one chunk per KiB.
constexpr long kSampleStride = 1024;

}  // namespace orvex_burn

#endif
