// Firmware burning: erase the whole serial flash, check it is blank, program
// a complete image from address 0 and read it back.
//
// Bytes 0x160 to 0x163 of the image are programmed last. Until then they stay
// erased, so a burn that stops half-way never leaves a flash whose header
// looks complete to the camera's boot code.
#include "../internal/burn_layout.h"
#include "../internal/flash_unlock.h"
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "../OrvexTac.h"
#include "../OVOptDev/node_lock.h"

namespace {

using orvex_burn::kDeferredAddr;
using orvex_burn::kDeferredChunkEnd;
using orvex_burn::kDeferredLen;
using orvex_burn::kMaxImageLen;
using orvex_burn::kMinImageLen;

constexpr LONG kBlankCheckStride = orvex_burn::kSampleStride;
constexpr LONG kSampledVerifyStride = orvex_burn::kSampleStride;
constexpr LONG kProgressEvery = 0x200;

using namespace orvex_unlock;

// The private copy of the image, rounded up to whole 8-byte chunks; the tail
// past the image holds 0xFF, the erased value, so a short last chunk
// programs nothing beyond the image and is compared against erased flash.
class ImageCopy {
public:
    ImageCopy(const unsigned char* image, LONG len) {
        padded_ = (len + 7) & ~static_cast<LONG>(7);
        bytes_ = static_cast<BYTE*>(malloc(static_cast<size_t>(padded_)));
        if (!bytes_) return;
        memcpy(bytes_, image, static_cast<size_t>(len));
        memset(bytes_ + len, 0xFF, static_cast<size_t>(padded_ - len));
    }
    ~ImageCopy() { free(bytes_); }
    ImageCopy(const ImageCopy&) = delete;
    ImageCopy& operator=(const ImageCopy&) = delete;

    bool ok() const { return bytes_ != nullptr; }
    BYTE* at(LONG offset) { return bytes_ + offset; }

private:
    BYTE* bytes_ = nullptr;
    LONG padded_ = 0;
};

bool image_length_ok(const unsigned char* image, LONG len) {
    return image != nullptr && len >= kMinImageLen && len <= kMaxImageLen;
}

void report(OrvexTac_SetProgress setProgress, void* ptrClass, float progress) {
    if (setProgress) setProgress(ptrClass, progress);
}

}  // namespace

extern "C" {

BOOL OrvexTac_BurnerFW(unsigned char* pFwBuffer, LONG lFwLength, OrvexTac_SetProgress setProgress,
                       void* ptrClass, SERIAL_FLASH_TYPE sft, BOOL bFullCheckFW) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (!camera_init) return 0;
    if (sft == SFT_UNKNOW) return 0;
    if (!image_length_ok(pFwBuffer, lFwLength)) return 0;

    BYTE chipID = 0;
    DSP_ARCH_TYPE asicArchType = DAT_UNKNOW;
    DSP_ROM_TYPE romType = OV_GetChipRomType(&chipID, &asicArchType);
    if (romType == DRT_Unknow) return 0;
    // This chip keeps its flash locked until the unlock key is written; a
    // failure shows up later as a refused erase or program.
    if (chipID == kChipNeedsUnlock) OV_WriteToASIC(kUnlockReg, kUnlockValue);
    if (OV_DisableSerialFlashWriteProtect(sft) != 1) return 0;
    if (OV_SerialFlashErase(sft) != 1) return 0;
    sleep(1);

    const LONG fwLen = lFwLength;
    BYTE temp[8];
    BYTE data[8];
    memset(temp, 0xFF, sizeof temp);
    // The last KiB of the image's range is not sampled.
    for (LONG i = 0; i < fwLen - kBlankCheckStride; i += kBlankCheckStride) {
        if (OV_ReadDataFormFlash(i, data, 8) != 1) return 0;
        if (memcmp(data, temp, 8) != 0) return 0;
    }

    ImageCopy copy(pFwBuffer, lFwLength);
    if (!copy.ok()) return 0;
    BYTE intBuffer[8];
    memcpy(intBuffer, copy.at(kDeferredAddr), 8);
    memset(copy.at(kDeferredAddr), 0xFF, kDeferredLen);

    float gProgress = 0;
    for (LONG i = 0; i < fwLen; i += 8) {
        if (setProgress && (i & (kProgressEvery - 1)) == 0) {
            gProgress = static_cast<float>(i) / static_cast<float>(fwLen);
            if (bFullCheckFW) gProgress = gProgress / 2;
            setProgress(ptrClass, gProgress);
        }
        memcpy(data, copy.at(i), 8);
        if (OV_WriteDataToFlash(i, data, 8) == 0) return 0;
    }
    // Bytes 0x164 to 0x167 get the values they already hold.
    if (OV_WriteDataToFlash(kDeferredAddr, intBuffer, 8) == 0) return 0;
    memcpy(copy.at(kDeferredAddr), intBuffer, 8);
    report(setProgress, ptrClass, bFullCheckFW ? 0.5f : 1.0f);

    const LONG step = bFullCheckFW ? 8 : kSampledVerifyStride;
    for (LONG i = 0; i < fwLen; i += step) {
        if (OV_ReadDataFormFlash(i, data, 8) != 1) return 0;
        if (memcmp(data, copy.at(i), 8) != 0) return 0;
        if (bFullCheckFW && setProgress && (i & (kProgressEvery - 1)) == 0) {
            gProgress = static_cast<float>(static_cast<float>(i) / static_cast<float>(fwLen) * 0.5 + 0.5);
            setProgress(ptrClass, gProgress);
        }
    }
    if (bFullCheckFW) report(setProgress, ptrClass, 1.0f);
    return 1;
}

}  // extern "C"
