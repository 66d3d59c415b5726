// Hostile arguments through the exported functions of both libraries: any
// address and length, null data, negative and overflowing values, unknown
// flash types, on a healthy camera. A data pointer is either null or a
// buffer of exactly the length passed, the contract a caller can keep; the
// libraries must refuse or serve everything else without a fault.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "OrvexConfig.h"
#include "OrvexTac.h"
#include "fuzz_camera.h"

namespace {

constexpr long kMaxBuffer = 4096;

// A length from the input: small ones most of the time, and the edges.
long pick_length(fuzz::Input& in) {
    switch (in.u8() % 8) {
    case 0: return 0;
    case 1: return -static_cast<long>(in.u16()) - 1;
    case 2: return LONG_MAX - in.u8();
    case 3: return LONG_MIN + in.u8();
    case 4: return in.u32() % (kMaxBuffer + 1);
    default: return in.u8() % 64;
    }
}

long pick_address(fuzz::Input& in) {
    switch (in.u8() % 6) {
    case 0: return LONG_MAX - in.u16();
    case 1: return LONG_MIN + in.u16();
    case 2: return -static_cast<long>(in.u16());
    case 3: return 0x40000 - in.u16();
    default: return static_cast<long>(in.u32() % 0x50000);
    }
}

// Null, or a buffer of exactly len bytes (a one-byte one for a length of
// zero or less); a length no caller could allocate gets null.
unsigned char* pick_buffer(fuzz::Input& in, long len, std::vector<unsigned char>& store) {
    bool null = in.flag();
    if (null || len > kMaxBuffer) return nullptr;
    store.assign(len > 0 ? static_cast<size_t>(len) : 1, in.u8());
    return store.data();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::silence_stdout();
    fuzz::Input in(data, size);
    vcam::Profile p = vcam::default_profile();
    p.start_protected = in.flag();
    vcam::Camera& cam = fuzz::fresh_camera(p);
    (void)cam;
    if (OrvexTac_Init(0) != 1) return 0;
    for (int step = 0; step < 8 && in.left() > 0; ++step) {
        std::vector<unsigned char> store(1);
        uint8_t op = in.u8();
        long addr = pick_address(in);
        long len = pick_length(in);
        unsigned char* buf = pick_buffer(in, len, store);
        // Enumerators as a C caller may pass them, unknown ones included;
        // values past the enum's range would already be undefined here.
        SERIAL_FLASH_TYPE sft = static_cast<SERIAL_FLASH_TYPE>(in.u8() % 16);
        switch (op % 16) {
        case 0: OrvexTac_AsicRegisterRead(static_cast<unsigned short>(addr), buf, len); break;
        case 1: OrvexTac_AsicRegisterWrite(static_cast<unsigned short>(addr), buf, len); break;
        case 2: OrvexTac_SensorRegisterCustomRead(in.u8(), addr, buf, len, in.flag()); break;
        case 3: OrvexTac_SensorRegisterCustomWrite(in.u8(), addr, buf, len, in.flag()); break;
        case 4: OrvexTac_SerialFlashRead(addr, buf, len); break;
        case 5: OrvexTac_SerialFlashWrite(addr, buf, len); break;
        case 6: OrvexTac_SerialFlashSectorWrite(addr, buf, len, sft); break;
        case 7: OrvexTac_GetFWVersion(buf, len); break;
        case 8:
            OrvexTac_GetFWVersionEx(static_cast<DSP_ROM_TYPE>(in.u8() % 8), buf, len);
            break;
        case 9:
            if (len <= 0x4000)  // a burn of the whole flash takes long; short images suffice
                OrvexTac_BurnerFW(buf, len, nullptr, nullptr, sft, in.flag());
            break;
        case 10:  // the length is unsigned here: only lengths the buffer has
            if (len >= 0) OrvexTac_XuRead(buf, static_cast<unsigned int>(len), in.u8(), in.u8());
            break;
        case 11:
            if (len >= 0) OrvexTac_XuWrite(buf, static_cast<unsigned int>(len), in.u8(), in.u8());
            break;
        case 12: {
            unsigned char count = in.u8();
            float* params = nullptr;
            std::vector<float> values;
            if (!in.flag()) {
                values.assign(count ? count : 1, 0.5f);
                params = values.data();
            }
            if (in.flag())
                SaveExtraParams(0, params, count);
            else
                ReadExtraParams(0, params, count);
            break;
        }
        case 13: {
            RectifyConfig rc;
            std::memset(&rc, 0, sizeof rc);
            int rows = static_cast<int8_t>(in.u8());
            int cols = static_cast<int8_t>(in.u8());
            initializeBaseGrid(in.flag() ? nullptr : &rc, rows, cols);
            if (in.flag()) SaveRectifyConfig(0, &rc);
            std::free(rc.base_grid);
            break;
        }
        case 14:
            SetSensorType(0, in.flag() ? nullptr : reinterpret_cast<const char*>("x"));
            GetSensorType(0, nullptr);
            ReadMarkerConfig(0, nullptr);
            SaveMarkerConfig(0, nullptr);
            break;
        default:
            OV_EraseSectorForSerialFlash(addr, sft);
            break;
        }
        if (!camera_init && OrvexTac_Init(0) != 1) break;
    }
    fuzz::reset_library();
    return 0;
}
