// Burns through the C interface against the in-process camera: what each
// method keeps, which flash types the family table lets burn, the image
// length limit, the read-back reaching every byte, what a burn cut off in
// its erase phase says, and which backup a burn names as the unit's own.
#include <functional>

#include "factory_test.h"

namespace factory_test {
namespace {

// The unit's own bytes: the calibration records and both identification
// blocks' sectors.
Bytes units_own(const Bytes& f) {
    Bytes out(f.begin() + 0x19000, f.begin() + 0x1A000);
    out.insert(out.end(), f.begin() + kCalib, f.begin() + kCalibEnd);
    out.insert(out.end(), f.begin() + 0x3F000, f.end());
    return out;
}

class Burn : public FactoryTest {
protected:
    // The shipped firmware with 16 KiB of code at 0x20000 (bit 7 and bit 0
    // clear in every byte of it).
    Bytes image() {
        const Bytes f = flash();
        Bytes img(f.begin(), f.begin() + kCalib);
        for (size_t a = 0x20000; a < 0x24000; ++a) img[a] = static_cast<uint8_t>((a * 7 + (a >> 8)) & 0x7E);
        return img;
    }
    Outcome burn(const Bytes& img, const std::function<void(OrvexFactoryBurnOptions&)>& set = nullptr,
                 OrvexFactorySession* s = nullptr) {
        OrvexFactoryBurnOptions o;
        OrvexFactory_BurnOptionsInit(&o);
        o.image_name = "fw.bin";
        // image() carries the shipped firmware's version fields: a reinstall.
        o.allow_reinstall = 1;
        if (set) set(o);
        OrvexFactoryResult* r = nullptr;
        return take(OrvexFactory_Burn(s ? s : session(), img.data(), static_cast<LONG>(img.size()), &o, &r), r);
    }
    static void library(OrvexFactoryBurnOptions& o) { o.library_method = 1; }
    // Every phase start the session reports, in order.
    OrvexFactorySession* watched() {
        OrvexFactorySession* s = session();
        OrvexFactory_SetProgress(
            s,
            [](void* self, const char* phase, LONG done, LONG) {
                auto* t = static_cast<Burn*>(self);
                if (done == 0) t->phases.push_back(phase);
                if (t->on_phase) t->on_phase(phase, done);
            },
            this);
        return s;
    }
    std::vector<std::string> phases;
    std::function<void(const std::string&, long)> on_phase;
};

TEST_F(Burn, BothMethodsKeepTheUnitsOwnSectorsByteIdentical) {
    const Bytes shipped = flash();
    const Bytes img = image();
    struct Case {
        bool library;
        std::vector<std::string> phases;
    } cases[] = {
        {false, {"backup", "erase", "program", "verify"}},
        {true, {"backup", "erase", "program", "verify", "restore", "verify restore", "restore", "verify restore"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.library ? "library" : "sector");
        set_flash(shipped);
        phases.clear();
        Outcome o = burn(img, [&](OrvexFactoryBurnOptions& b) { b.library_method = c.library; }, watched());
        ASSERT_EQ(o.status, ORVEX_FACTORY_OK) << o.message;
        Bytes now = flash();
        EXPECT_TRUE(Bytes(now.begin(), now.begin() + kCalib) == img);
        EXPECT_TRUE(units_own(now) == units_own(shipped));
        EXPECT_EQ(phases, c.phases);
        EXPECT_EQ(o.doc["method"], c.library ? "library" : "sector");
        EXPECT_EQ(o.doc["calibration_store_recognises"], true);
        EXPECT_TRUE(o.doc["backup"].is_string()) << o.doc;
    }
}

TEST_F(Burn, TheFamilyTableDecidesWhichFlashTypesBurn) {
    const Bytes shipped = flash();
    const Bytes img = image();
    struct Case {
        const char* type;
        bool library;
        const char* refusal;  // nullptr: burns
    } cases[] = {
        {"MXIC", false, nullptr},
        {"ATMEL_AT25F", false, nullptr},  // 0x20 clears 4 KiB on these parts
        {"ATMEL_AT25FS", false, nullptr},
        {"ST", false, "--method=library"},  // its sector erase clears 64 KiB
        {"ATMEL_AT45DB", false, "clears nothing"},
        {"ATMEL_AT45DB", true, "clears nothing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.type) + (c.library ? " library" : " sector"));
        set_flash(shipped);
        OrvexFactorySession* s = session();
        ASSERT_TRUE(OrvexFactory_SetFlashType(s, c.type));
        Outcome o = burn(img, [&](OrvexFactoryBurnOptions& b) { b.library_method = c.library; }, s);
        if (!c.refusal) {
            EXPECT_EQ(o.status, ORVEX_FACTORY_OK) << o.message;
            EXPECT_TRUE(units_own(flash()) == units_own(shipped));
            continue;
        }
        EXPECT_EQ(o.status, ORVEX_FACTORY_REFUSED) << o.message;
        EXPECT_NE(o.message.find(c.refusal), std::string::npos) << o.message;
        EXPECT_TRUE(flash() == shipped);
    }
}

TEST_F(Burn, AnImageMustReachTheHeldBackChunk) {
    const Bytes shipped = flash();
    // The version fields lie past 0x168: their checks are forced.
    auto forced = [](OrvexFactoryBurnOptions& o) {
        o.force = ORVEX_FACTORY_CHECK_LENGTH | ORVEX_FACTORY_CHECK_VERSION_RECORD | ORVEX_FACTORY_CHECK_ID_BLOCK;
    };
    Bytes shortest(shipped.begin(), shipped.begin() + 0x168);
    Outcome ok = burn(shortest, forced);
    EXPECT_EQ(ok.status, ORVEX_FACTORY_OK) << ok.message;
    const Bytes after = flash();
    EXPECT_TRUE(Bytes(after.begin(), after.begin() + 0x168) == shortest);

    set_flash(shipped);
    Outcome refused = burn(Bytes(shipped.begin(), shipped.begin() + 0x167), forced);
    EXPECT_EQ(refused.status, ORVEX_FACTORY_REFUSED) << refused.message;
    EXPECT_NE(refused.message.find("0x00168"), std::string::npos) << refused.message;
    EXPECT_TRUE(flash() == shipped);
}

// Unforced, the length check sits on the chip's own minimum: the end of
// its last version field, which the refusal names. An image of exactly
// that length burns; one byte less is refused untouched.
TEST_F(Burn, AnImageOfExactlyTheChipsMinimumLengthBurns) {
    const Bytes shipped = flash();
    Outcome probe = burn(Bytes(shipped.begin(), shipped.begin() + 0x168));
    ASSERT_EQ(probe.status, ORVEX_FACTORY_REFUSED) << probe.message;
    const std::string needs = "needs at least ";
    const size_t at = probe.message.find(needs);
    ASSERT_NE(at, std::string::npos) << probe.message;
    const long need = std::stol(probe.message.substr(at + needs.size()));
    ASSERT_GT(need, 0x168);
    ASSERT_LT(need, kCalib);

    Outcome shorter = burn(Bytes(shipped.begin(), shipped.begin() + need - 1));
    EXPECT_EQ(shorter.status, ORVEX_FACTORY_REFUSED) << shorter.message;
    EXPECT_NE(shorter.message.find(needs + std::to_string(need)), std::string::npos) << shorter.message;
    EXPECT_TRUE(flash() == shipped);

    Outcome exact = burn(Bytes(shipped.begin(), shipped.begin() + need));
    EXPECT_EQ(exact.status, ORVEX_FACTORY_OK) << exact.message;
    EXPECT_TRUE(units_own(flash()) == units_own(shipped));
}

TEST_F(Burn, AStuckBitIsFoundWhereverItSitsInTheReadBack) {
    const Bytes shipped = flash();
    const Bytes img = image();
    struct Case {
        bool library, sampled;
        long addr;
    } cases[] = {
        {false, false, 0x20007},  // the last byte of an 8-byte chunk
        {false, false, 0x20FFF},  // the last byte of a sector's read-back
        {false, true, 0x20407},   // the last byte of a sampled chunk
        {true, false, 0x20FFF},
        {true, false, 0x23FFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.library) + " " + std::to_string(c.sampled) + " " + std::to_string(c.addr));
        set_flash(shipped);
        cam().faults().stuck_bits = {{static_cast<uint32_t>(c.addr), 0x80}};
        Outcome o = burn(img, [&](OrvexFactoryBurnOptions& b) {
            b.library_method = c.library;
            b.sample_verify = c.sampled;
        });
        cam().faults().stuck_bits.clear();
        EXPECT_EQ(o.status, ORVEX_FACTORY_VERIFY) << o.message;
        EXPECT_EQ(o.address, c.addr);
        char at[16];
        std::snprintf(at, sizeof at, "0x%05lX", c.addr);
        EXPECT_NE(o.message.find(std::string("differs from the image at ") + at), std::string::npos) << o.message;
        EXPECT_NE(o.message.find(c.library ? "burn --allow-reinstall --method=library fw.bin" : "burn --allow-reinstall fw.bin"), std::string::npos)
            << o.message;
    }
}

TEST_F(Burn, ABurnCutOffInItsErasePhaseSaysTheFirmwareMayBeErased) {
    const Bytes shipped = flash();
    const Bytes img = image();
    struct Case {
        bool library;
        long queries_before_cut;  // after the erase phase starts
    } cases[] = {
        {false, 0},  // the first erase command fails: the flash may have taken it
        {false, 3},  // inside the first sector's erase command
        {false, 400},
        {true, 0},
        {true, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.library) + " " + std::to_string(c.queries_before_cut));
        vcam::attach(0);  // plugged in again: a fresh chip, the flash as shipped
        auto left = std::make_shared<long>(c.queries_before_cut);
        on_phase = [&](const std::string& phase, long done) {
            if (phase != "erase" || done != 0) return;
            cam().faults().fail_if_errno = 19;  // ENODEV: unplugged
            cam().faults().fail_if = [left](const vcam::QueryRecord&) { return (*left)-- <= 0; };
        };
        Outcome o = burn(img, [&](OrvexFactoryBurnOptions& b) { b.library_method = c.library; }, watched());
        on_phase = nullptr;
        EXPECT_EQ(o.status, ORVEX_FACTORY_TRANSFER) << o.message;
        EXPECT_NE(o.message.find("may be erased"), std::string::npos) << o.message;
        EXPECT_EQ(o.message.find("nothing was erased"), std::string::npos) << o.message;
        EXPECT_NE(o.message.find(c.library ? "orvexctl -d 0 burn --allow-reinstall --method=library fw.bin"
                                          : "orvexctl -d 0 burn --allow-reinstall fw.bin"),
                  std::string::npos)
            << o.message;
        if (!c.library) {
            EXPECT_NE(o.message.find("the calibration is still in the flash"), std::string::npos) << o.message;
            EXPECT_TRUE(units_own(flash()) == units_own(shipped));
        }
    }
}

// The same model, another unit: identification block 1's last digit changed.
Bytes another_unit(Bytes f) {
    uint8_t& d = f[0x190C0 + 16];
    d = d == '2' ? '3' : '2';
    return f;
}

TEST_F(Burn, ABlankCalibrationAreaNamesOnlyTheSameUnitsBackup) {
    const Bytes shipped = flash();
    const Bytes img = image();
    auto blank_calibration = [](Bytes f) {
        std::fill(f.begin() + kCalib, f.begin() + kCalibEnd, 0xFF);
        return f;
    };
    Bytes no_identity = blank_calibration(shipped);
    std::fill(no_identity.begin() + 0x190C0, no_identity.begin() + 0x190C0 + 24, 0xFF);
    std::fill(no_identity.begin() + 0x3F000, no_identity.end(), 0xFF);
    struct Case {
        const char* what;
        Bytes backed_up;  // the flash whose backup is in the folder
        Bytes camera;
        bool named;
    } cases[] = {
        {"another unit's backup", another_unit(shipped), blank_calibration(shipped), false},
        {"this unit's backup", shipped, blank_calibration(shipped), true},
        {"a camera without identity", shipped, no_identity, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(system(("rm -rf '" + dir + "/backups'").c_str()), 0);
        set_flash(c.backed_up);
        OrvexFactoryResult* r = nullptr;
        Outcome b = take(OrvexFactory_Backup(session(), nullptr, &r), r);
        ASSERT_EQ(b.status, ORVEX_FACTORY_OK) << b.message;
        set_flash(c.camera);
        notes.clear();
        Outcome o = burn(img, library);
        ASSERT_EQ(o.status, ORVEX_FACTORY_OK) << o.message;
        std::string all;
        for (const auto& n : notes) all += n + "\n";
        if (c.named) {
            ASSERT_TRUE(o.doc["backup"].is_string()) << o.doc;
            EXPECT_NE(all.find("restore " + o.doc["backup"].get<std::string>()), std::string::npos) << all;
        } else {
            EXPECT_TRUE(o.doc["backup"].is_null()) << o.doc;
            EXPECT_EQ(all.find("restore"), std::string::npos) << all;
            EXPECT_EQ(all.find(dir + "/backups/"), std::string::npos) << all;
        }
    }
}

}  // namespace
}  // namespace factory_test
