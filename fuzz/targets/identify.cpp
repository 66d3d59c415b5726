// Chip and mask-ROM identification and the firmware version query on a
// camera whose chip id, architecture, pins, mask ROM and version fields in
// flash come from the input, optionally with seeded query failures.
#include <cstdlib>
#include <cstring>

#include "OrvexTac.h"
#include "fuzz_camera.h"

namespace {

// Flash windows that hold the firmware's version fields on one chip or
// another.
struct Window {
    uint32_t addr;
    size_t len;
};
const Window kVersionWindows[] = {
    {0x01F0, 0x10}, {0x0150, 0x10}, {0x0FD0, 0x28}, {0x2000, 0x28},
    {0x3E00, 0x28}, {0x3FD0, 0x28}, {0x4E00, 0x28}, {0x5E00, 0x28},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::silence_stdout();
    fuzz::Input in(data, size);
    uint8_t control = in.u8();
    vcam::Profile p = vcam::default_profile();
    p.chip_id = in.u8();
    p.arch = in.u8() & 1;
    p.gpio_input = in.u8();
    p.reg1185_sticky = in.flag();
    // The revision string at one of the places the library searches, or
    // anywhere; then more ROM bytes at the other places.
    uint8_t where = in.u8();
    p.rom_string_addr = where < ROMSTRADDRCNT ? RomStringAddr[where] : in.u16();
    std::vector<uint8_t> s = in.take(8);
    std::copy(s.begin(), s.end(), p.rom_string);
    for (int i = 0; i < ROMSTRADDRCNT && in.flag(); ++i) p.rom_bytes[RomStringAddr[i]] = in.take(8);
    long len = in.u8();  // the caller's record: 0 to 255 bytes
    DSP_ROM_TYPE ex_type = static_cast<DSP_ROM_TYPE>(in.u8() % 8);  // within the enum's range
    uint64_t seed = in.u32();
    for (const Window& w : kVersionWindows) {
        std::vector<uint8_t> b = in.take(w.len);
        std::copy(b.begin(), b.end(), p.flash.begin() + w.addr);
    }

    vcam::Camera& cam = fuzz::fresh_camera(p);
    if (control & 0x01) {
        cam.faults().seed = seed;
        cam.faults().random_fail_per_million = 30000;
    }
    if (OrvexTac_Init(0) != 1) return 0;

    BYTE chip = 0;
    DSP_ARCH_TYPE arch = DAT_UNKNOW;
    OV_GetChipRomType(&chip, &arch);
    BYTE* rom = static_cast<BYTE*>(std::malloc(8));  // the revision string's size
    OV_GetAsicRomVersion(rom);
    std::free(rom);

    unsigned char* record = static_cast<unsigned char*>(std::malloc(len ? static_cast<size_t>(len) : 1));
    if (control & 0x02)
        OrvexTac_GetFWVersionEx(ex_type, record, len);
    else
        OrvexTac_GetFWVersion(record, len);
    std::free(record);
    fuzz::reset_library();
    return 0;
}
