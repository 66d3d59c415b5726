// Every multi-query operation of libOrvexBase under one failed, stalled or
// unplugged query at every point. A result of 1 must mean the promised
// effect is there exactly; a result of 0 may leave partial work only where
// the operation was aimed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "orvex_test.h"
#include "parts.h"
#include "serial_flash.h"
#include "sweep.h"

namespace {

using sweep::Operation;
using sweep::Ctx;
using Bytes = std::vector<uint8_t>;

const char* const kExact = "1, effect exact";
const char* const kZero = "0";


// A result of 1 must come with the effect; 0 promises nothing here.
std::string judge(Ctx& r, BOOL result, bool effect, const std::string& what) {
    r.check.expect(result == 0 || result == 1, "result is 0 or 1");
    if (result != 1) return kZero;
    r.check.expect(effect, "returned 1 but " + what);
    if (r.clean) r.check.expect(effect, "healthy run: " + what);
    return effect ? kExact : "1, effect wrong";
}

std::string healthy_must_succeed(Ctx& r, BOOL result) {
    if (r.clean) r.check.expect(result == 1, "healthy run returns 1");
    return {};
}

const uint16_t kRegs = 0x1200;
const Bytes kRegValues = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
const uint8_t kSensor = 0x6C;

vcam::Profile with_sensor() {
    vcam::Profile p = vcam::default_profile();
    vcam::SensorProfile s;
    s.slave_id = kSensor;
    s.addr_bytes = 2;
    s.registers = {{0x3000, 0x10}, {0x3001, 0x20}, {0x3002, 0x30}, {0x3003, 0x40}, {0x3004, 0x50}};
    p.sensors = {s};
    return p;
}

vcam::Profile named(const char* name) {
    vcam::Profile p;
    EXPECT_TRUE(vcam::find_profile(name, &p)) << name;
    return p;
}

vcam::Profile protected_flash() {
    vcam::Profile p = vcam::default_profile();
    p.start_protected = true;
    return p;
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + 7 * i);
    return b;
}

bool flash_holds(const vcam::Camera& cam, uint32_t addr, const Bytes& b) {
    auto& f = const_cast<vcam::Camera&>(cam).flash();
    return std::equal(b.begin(), b.end(), f.begin() + addr);
}

bool erased(vcam::Camera& cam, uint32_t from, uint32_t to) {
    for (uint32_t a = from; a < to; ++a)
        if (cam.flash()[a] != 0xFF) return false;
    return true;
}

// Registers and sensor ---------------------------------------------------

TEST(FaultSweep, RegisterBlocks) {
    Operation read;
    read.name = "register block read";
    read.prepare = [](vcam::Camera& cam) {
        for (size_t i = 0; i < kRegValues.size(); ++i) cam.regs().raw(kRegs + i) = kRegValues[i];
    };
    read.run = [](Ctx& r) {
        Bytes out(kRegValues.size(), 0xEE);
        BOOL res = OrvexTac_AsicRegisterRead(kRegs, out.data(), static_cast<long>(out.size()));
        healthy_must_succeed(r, res);
        return judge(r, res, out == kRegValues, "the output differs from the registers");
    };
    sweep::report(read);

    Operation write;
    write.name = "register block write";
    write.run = [](Ctx& r) {
        Bytes in = kRegValues;
        BOOL res = OrvexTac_AsicRegisterWrite(kRegs, in.data(), static_cast<long>(in.size()));
        healthy_must_succeed(r, res);
        bool held = true;
        for (size_t i = 0; i < in.size(); ++i) held &= r.cam.regs().raw(kRegs + i) == in[i];
        return judge(r, res, held, "the registers do not hold the values");
    };
    sweep::report(write);
}

TEST(FaultSweep, SensorBlocks) {
    Operation read;
    read.name = "sensor block read";
    read.profile = with_sensor();
    read.run = [](Ctx& r) {
        Bytes out(5, 0xEE);
        BOOL res = OrvexTac_SensorRegisterCustomRead(kSensor, 0x3000, out.data(), 5, 0);
        healthy_must_succeed(r, res);
        return judge(r, res, out == (Bytes{0x10, 0x20, 0x30, 0x40, 0x50}),
                     "the output differs from the sensor's registers");
    };
    sweep::report(read);

    Operation write;
    write.name = "sensor block write";
    write.profile = with_sensor();
    write.run = [](Ctx& r) {
        Bytes in = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5};
        BOOL res = OrvexTac_SensorRegisterCustomWrite(kSensor, 0x3000, in.data(), 5, 0);
        healthy_must_succeed(r, res);
        auto* bus = r.cam.part<vcam::SensorBus>();
        bool held = true;
        for (int i = 0; i < 5; ++i) held &= bus->reg(kSensor, static_cast<uint16_t>(0x3000 + i)) == in[i];
        return judge(r, res, held, "the sensor does not hold the values");
    };
    sweep::report(write);
}

// Flash ------------------------------------------------------------------

TEST(FaultSweep, FlashBlocks) {
    Operation read;
    read.name = "flash read";
    read.run = [](Ctx& r) {
        Bytes out(20, 0xEE);
        BOOL res = OrvexTac_SerialFlashRead(0x30000, out.data(), 20);
        healthy_must_succeed(r, res);
        return judge(r, res, out == sweep::bytes(&r.flash_before[0x30000], 20),
                     "the output differs from the flash");
    };
    sweep::report(read);

    Operation write;
    write.name = "flash write";
    write.target_sectors = {0x38000};
    write.prepare = [](vcam::Camera& cam) { std::fill_n(cam.flash().begin() + 0x38000, 0x1000, 0xFF); };
    write.run = [](Ctx& r) {
        Bytes in = pattern(20, 3);
        BOOL res = OrvexTac_SerialFlashWrite(0x38010, in.data(), 20);
        healthy_must_succeed(r, res);
        return judge(r, res, flash_holds(r.cam, 0x38010, in), "the flash does not hold the data");
    };
    sweep::report(write);
}

Operation sector_rewrite(const char* name, vcam::Profile p) {
    Operation op;
    op.name = name;
    op.profile = std::move(p);
    op.target_sectors = {0x31000};
    op.run = [](Ctx& r) {
        Bytes in = pattern(20, 9);
        BOOL res = OrvexTac_SerialFlashSectorWrite(0x31004, in.data(), 20, SFT_MXIC);
        bool exact = flash_holds(r.cam, 0x31004, in) && erased(r.cam, 0x31000, 0x31004) &&
                     erased(r.cam, 0x31018, 0x32000);
        if (r.cam.profile().name == "locked") {
            r.check.expect(res == 0, "a locked flash cannot be rewritten");
            return res == 1 ? std::string("1 on a locked flash") : std::string(kZero);
        }
        healthy_must_succeed(r, res);
        return judge(r, res, exact, "the sector does not hold exactly the data");
    };
    return op;
}

TEST(FaultSweep, SectorRewrite) {
    sweep::report(sector_rewrite("sector rewrite", vcam::default_profile()));
    sweep::report(sector_rewrite("sector rewrite, write-protected flash", protected_flash()));
    sweep::report(sector_rewrite("sector rewrite, locked flash", named("locked")));
}

// A small image over a camera whose calibration lies beyond it: a burn that
// returns 1 leaves the image and nothing else. The camera has a fast-erasing
// flash and queries take a realistic millisecond, so the chip erase's status
// polls stay few and the sweep stays short.
Operation burn(const char* name, BOOL full_check) {
    Operation op;
    op.name = name;
    op.whole_flash = true;
    op.profile.flash_type = SFT_SST;
    op.prepare = [](vcam::Camera&) { vcam::set_query_latency_us(1000); };
    op.run = [full_check](Ctx& r) {
        Bytes image = pattern(0x200, 0x21);
        BOOL res = OrvexTac_BurnerFW(image.data(), static_cast<LONG>(image.size()), nullptr, nullptr,
                                     SFT_SST, full_check);
        healthy_must_succeed(r, res);
        bool exact = flash_holds(r.cam, 0, image) &&
                     erased(r.cam, static_cast<uint32_t>(image.size()), vcam::kFlashSize);
        return judge(r, res, exact, "the flash is not exactly the image, erased beyond");
    };
    return op;
}

TEST(FaultSweep, Burn) {
    sweep::report(burn("burn, sampled verification", 0));
    sweep::report(burn("burn, full verification", 1));
}

// Identification and protection -----------------------------------------

TEST(FaultSweep, FirmwareVersion) {
    for (const char* profile : {"default", "chip-32-r2", "chip-75"}) {
        Operation op;
        op.name = std::string("firmware version (") + profile + ")";
        op.profile = named(profile);
        op.run = [](Ctx& r) {
            Bytes out(56, 0xEE);
            BOOL res = OrvexTac_GetFWVersion(out.data(), 56);
            healthy_must_succeed(r, res);
            if (r.clean) r.memo["version"] = out;
            return judge(r, res, out == r.memo["version"], "the record differs from the healthy one");
        };
        sweep::report(op);
    }
}

TEST(FaultSweep, WriteProtectRelease) {
    Operation op;
    op.name = "write-protect release";
    op.profile = protected_flash();
    op.run = [](Ctx& r) {
        BOOL res = OV_DisableSerialFlashWriteProtect(SFT_MXIC);
        healthy_must_succeed(r, res);
        auto* chip = r.cam.part<vcam::NorFlash>();
        return judge(r, res, !chip->protects(0, vcam::kFlashSize), "the flash is still protected");
    };
    sweep::report(op);

    Operation locked;
    locked.name = "write-protect release, locked flash";
    locked.profile = named("locked");
    locked.run = [](Ctx& r) {
        BOOL res = OV_DisableSerialFlashWriteProtect(SFT_MXIC);
        r.check.expect(res == 0, "a release that did not take returns 0");
        return std::string(res == 1 ? "1 on a locked flash" : kZero);
    };
    sweep::report(locked);
}

TEST(FaultSweep, ChipIdentification) {
    for (const char* profile : {"default", "second-arch"}) {
        Operation op;
        op.name = std::string("chip identification (") + profile + ")";
        op.profile = named(profile);
        op.open_first = true;
        op.run = [](Ctx& r) {
            BYTE chip = 0xEE;
            DSP_ARCH_TYPE arch = DAT_UNKNOW;
            DSP_ROM_TYPE rom = OV_GetChipRomType(&chip, &arch);
            Bytes got = {chip, static_cast<uint8_t>(arch), static_cast<uint8_t>(rom)};
            if (r.clean) {
                r.check.expect(rom != DRT_Unknow, "healthy run identifies the chip");
                r.memo["id"] = got;
            }
            if (rom == DRT_Unknow) return std::string("unknown");
            r.check.expect(got == r.memo["id"], "identified as something else");
            return std::string(got == r.memo["id"] ? "identified exactly" : "identified wrongly");
        };
        sweep::report(op);
    }
}

// A camera whose ROM row is told apart from its siblings by probing the
// chip: the model digits in ROM, the chip id and the undriven pin levels.
vcam::Profile probed(const char* model, uint8_t chip_id, uint8_t pins) {
    vcam::Profile p = vcam::default_profile();
    p.name = std::string("ROM ") + model + ", chip " + std::to_string(chip_id);
    p.chip_id = chip_id;
    p.gpio_input = pins;
    p.rom_string_addr = 0xBFF8;
    const uint8_t s[8] = {static_cast<uint8_t>(model[0]), static_cast<uint8_t>(model[1]),
                          static_cast<uint8_t>(model[2]), 'R', '0', 0x01, 0x40, 0x06};
    std::memcpy(p.rom_string, s, 8);
    return p;
}

TEST(FaultSweep, RomIdentification) {
    const vcam::Profile profiles[] = {vcam::default_profile(), probed("271", 0x70, 0x00),
                                      probed("271", 0x71, 0x10), probed("276", 0x15, 0x00),
                                      probed("288", 0x88, 0x20), probed("281", 0x80, 0x00)};
    for (const vcam::Profile& profile : profiles) {
        Operation op;
        op.name = "ROM identification (" + profile.name + ")";
        op.profile = profile;
        op.prepare = [](vcam::Camera& cam) {
            cam.regs().raw(0x1007) = 0xFF;
            cam.regs().raw(0x1006) = 0x00;
            cam.regs().raw(0x100A) = 0x5F;
        };
        op.run = [](Ctx& r) {
            Bytes data(10, 0xEE);
            uiRomID = 0xABCD;
            BOOL res = OV_GetAsicRomVersion(data.data());
            Bytes got = data;
            got.push_back(static_cast<uint8_t>(uiRomID));
            got.push_back(static_cast<uint8_t>(uiRomID >> 8));
            healthy_must_succeed(r, res);
            if (r.clean) r.memo["rom"] = got;
            if (res != 1) {
                bool untouched = data == Bytes(10, 0xEE) && uiRomID == 0xABCD;
                r.check.expect(untouched, "a failed identification left data and uiRomID as they were");
                return std::string(untouched ? "0, untouched" : "0, changed");
            }
            return judge(r, res, got == r.memo["rom"], "identified another ROM row");
        };
        sweep::report(op);
    }
}

}  // namespace
