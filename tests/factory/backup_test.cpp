// Backups and restore: the identity rule as a table over where each side
// keeps its identification blocks and whose they are, a backup that never
// replaces a file, and damaged documents refused. Every refusal leaves the
// flash byte-identical.
#include <fstream>
#include <iterator>

#include "factory_test.h"
#include "images/identification.h"

namespace factory_test {
namespace {

// Where a flash carries its blocks: location 1 (0x190C0, "OG") and 2
// (0x3FA00, "OF"), each absent or a number.
struct Ids {
    const char* first;   // nullptr: no block
    const char* second;  // nullptr: no block
};

void put_ids(Bytes& flash, Ids ids) {
    vcam::clear_identification(flash);
    if (ids.first) vcam::write_identification(flash, 1, "OG", ids.first);
    if (ids.second) vcam::write_identification(flash, 2, "OF", ids.second);
}

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

class Restore : public FactoryTest {
protected:
    // Takes a backup of the camera carrying `ids`, then gives the camera
    // `now` (calibration changed too) and restores.
    Outcome backup_then_restore(Ids ids, Ids now, unsigned flags, Bytes* before_restore) {
        Bytes f = flash();
        put_ids(f, ids);
        set_flash(f);
        OrvexFactoryResult* r = nullptr;
        const std::string file = dir + "/b.json";
        std::remove(file.c_str());
        Outcome b = take(OrvexFactory_Backup(session(), file.c_str(), &r), r);
        EXPECT_EQ(b.status, ORVEX_FACTORY_OK) << b.message;
        f = flash();
        put_ids(f, now);
        f[0x30000] ^= 0xFF;  // a changed calibration the restore would put back
        set_flash(f);
        *before_restore = flash();
        return take(OrvexFactory_Restore(session(), file.c_str(), flags, &r), r);
    }
};

TEST_F(Restore, TheIdentityRuleDecidesOverBlockLocationsAndUnits) {
    struct Case {
        const char* name;
        Ids backup, camera;
        bool refused;
        const char* why;
    } cases[] = {
        {"same unit, first location", {"000123", nullptr}, {"000123", nullptr}, false, ""},
        {"same unit, both locations", {"000123", "000045"}, {"000123", "000045"}, false, ""},
        {"same unit, second location only", {nullptr, "000045"}, {nullptr, "000045"}, false, ""},
        {"another unit, first location", {"000124", nullptr}, {"000123", nullptr}, true, "belongs to unit OG 124"},
        {"another unit, second location", {nullptr, "000046"}, {"000123", "000045"}, true, "belongs to unit OF 46"},
        {"backup's block at the second location, camera's at the first", {nullptr, "000045"}, {"000123", nullptr},
         true, "different locations"},
        {"backup's block at the first location, camera's at the second", {"000123", nullptr}, {nullptr, "000045"},
         true, "different locations"},
        {"camera without identity", {"000123", nullptr}, {nullptr, nullptr}, true, "carries no identification block"},
        {"backup without identity", {nullptr, nullptr}, {"000123", nullptr}, true, "carries no identification block"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes before;
        Outcome o = backup_then_restore(c.backup, c.camera, 0, &before);
        if (!c.refused) {
            EXPECT_EQ(o.status, ORVEX_FACTORY_OK) << o.message;
            EXPECT_EQ(flash()[0x30000], before[0x30000] ^ 0xFF) << "the calibration came back";
            continue;
        }
        EXPECT_EQ(o.status, ORVEX_FACTORY_REFUSED) << o.message;
        EXPECT_NE(o.message.find(c.why), std::string::npos) << o.message;
        EXPECT_NE(o.message.find("--force"), std::string::npos) << o.message;
        EXPECT_EQ(flash(), before) << "a refusal changes nothing";
        // Forced, the backup goes on as it is.
        OrvexFactoryResult* r = nullptr;
        o = take(OrvexFactory_Restore(session(), (dir + "/b.json").c_str(), ORVEX_FACTORY_FORCE, &r), r);
        EXPECT_EQ(o.status, ORVEX_FACTORY_OK) << o.message;
        EXPECT_EQ(o.doc.value("forced", false), true);
    }
}

// A backup of the same unit made before the camera got its second block
// does not erase that block.
TEST_F(Restore, TheCamerasOwnBlockIsKeptWhereTheBackupHasNone) {
    Bytes before;
    Outcome o = backup_then_restore({"000123", nullptr}, {"000123", "000045"}, 0, &before);
    ASSERT_EQ(o.status, ORVEX_FACTORY_OK) << o.message;
    Bytes after = flash();
    EXPECT_TRUE(std::equal(before.begin() + 0x3FA00, before.begin() + 0x3FA18, after.begin() + 0x3FA00))
        << "the camera's second block is still there";
    EXPECT_EQ(after[0x30000], before[0x30000] ^ 0xFF);
}

TEST_F(Restore, AnotherChipIsRefusedEvenWhenForced) {
    OrvexFactoryResult* r = nullptr;
    const std::string file = dir + "/b.json";
    ASSERT_EQ(take(OrvexFactory_Backup(session(), file.c_str(), &r), r).status, ORVEX_FACTORY_OK);
    vcam::Profile p = vcam::default_profile();
    p.chip_id = 0x16;
    p.flash = flash();
    vcam::attach(0, p);
    Bytes before = flash();
    Outcome o = take(OrvexFactory_Restore(session(), file.c_str(), ORVEX_FACTORY_FORCE, &r), r);
    EXPECT_EQ(o.status, ORVEX_FACTORY_REFUSED);
    EXPECT_NE(o.message.find("chip"), std::string::npos) << o.message;
    EXPECT_EQ(flash(), before);
}

// The CRC-32 a backup document carries, over its compact JSON without it.
uint32_t crc32_of(const std::string& s) {
    uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : s) {
        c ^= b;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    return ~c;
}

TEST_F(Restore, DamagedDocumentsAreRefused) {
    OrvexFactoryResult* r = nullptr;
    const std::string file = dir + "/b.json";
    ASSERT_EQ(take(OrvexFactory_Backup(session(), file.c_str(), &r), r).status, ORVEX_FACTORY_OK);
    json good = json::parse(slurp(file));
    auto resealed = [](json doc) {
        doc.erase("crc32");
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%08X", crc32_of(doc.dump()));
        doc["crc32"] = buf;
        return doc;
    };
    struct Case {
        const char* name;
        json doc;
        const char* why;
    };
    json flipped = good;
    flipped["ranges"][0]["data"] = std::string(good["ranges"][0]["data"]).replace(0, 2, "00");
    json shortened = good;
    std::string d = shortened["ranges"][2]["data"];
    shortened["ranges"][2]["data"] = d.substr(0, d.size() - 2);
    json moved = good;
    moved["ranges"][0]["addr"] = "0x20000";
    // The length each range claims, against what a backup keeps there.
    json claims_short = good;
    claims_short["ranges"][0]["length"] = 0x4FFF;
    json claims_long = good;
    claims_long["ranges"][1]["length"] = 25;
    json lengthened = good;
    lengthened["ranges"][1]["data"] = std::string(good["ranges"][1]["data"]) + "ff";
    lengthened["ranges"][1]["length"] = 25;
    json missing = good;
    missing["ranges"].erase(2);
    json twice = good;
    twice["ranges"][2] = good["ranges"][1];
    const Case cases[] = {
        {"a flipped byte", flipped, "CRC32 does not match"},
        {"a range one byte short, CRC recomputed", resealed(shortened), "holds 4095 bytes"},
        {"full data, a length one short, CRC recomputed", resealed(claims_short), "range 0x30000"},
        {"full data, a length one long, CRC recomputed", resealed(claims_long), "range 0x190C0"},
        {"a range one byte long, CRC recomputed", resealed(lengthened), "holds 25 bytes"},
        {"a range left out, CRC recomputed", resealed(missing), "no range at 0x3F000"},
        {"a range given twice, CRC recomputed", resealed(twice), "range 0x190C0 twice"},
        {"a range at an address a backup never holds", resealed(moved), "that restore does not write"},
        {"a calibration export", json{{"format", "orvex-calibration"}}, "calib import"},
    };
    Bytes before = flash();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(dir + "/bad.json") << c.doc.dump();
        Outcome o = take(OrvexFactory_Restore(session(), (dir + "/bad.json").c_str(), ORVEX_FACTORY_FORCE, &r), r);
        EXPECT_EQ(o.status, ORVEX_FACTORY_REFUSED);
        EXPECT_NE(o.message.find(c.why), std::string::npos) << o.message;
        EXPECT_NE(o.message.find("bad.json"), std::string::npos) << "names the file: " << o.message;
    }
    EXPECT_EQ(flash(), before);
}

// A restore that does not take is never reported as done: a flash whose
// protection no release lifts refuses the rewrite before its erase (a
// transfer failure naming where and why), one that takes the write but
// reads back otherwise fails the read-back at the differing byte.
TEST_F(Restore, AWriteThatDoesNotTakeIsNamedWithItsAddress) {
    OrvexFactoryResult* r = nullptr;
    const std::string file = dir + "/b.json";
    ASSERT_EQ(take(OrvexFactory_Backup(session(), file.c_str(), &r), r).status, ORVEX_FACTORY_OK);
    const Bytes shipped = flash();
    ASSERT_NE(shipped[0x30004], 0xFF);
    Bytes f = shipped;
    f[0x30004] ^= 0xFF;  // the calibration the restore would put back
    struct Case {
        const char* name;
        bool locked;
        int status;
        const char* says;
    } cases[] = {
        {"locked", true, ORVEX_FACTORY_TRANSFER,
         "the flash refused the write at 0x30000: it is write-protected (status register 0x"},
        {"stuck bits", false, ORVEX_FACTORY_VERIFY, "at 0x30004: wrote "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vcam::Profile p = vcam::default_profile();
        if (c.locked) {
            ASSERT_TRUE(vcam::find_profile("locked", &p));
        }
        p.flash = f;
        vcam::attach(0, p);
        if (!c.locked) cam().faults().stuck_bits = {{0x30004u, static_cast<uint8_t>(~shipped[0x30004])}};
        Outcome o = take(OrvexFactory_Restore(session(), file.c_str(), 0, &r), r);
        EXPECT_EQ(o.status, c.status) << o.message;
        EXPECT_EQ(o.address, c.locked ? 0x30000 : 0x30004);
        EXPECT_NE(o.message.find(c.says), std::string::npos) << o.message;
        if (c.locked) {
            EXPECT_TRUE(flash() == f);
        }
    }
}

TEST_F(Restore, ABackupNeverReplacesAFile) {
    const std::string file = dir + "/mine.txt";
    std::ofstream(file) << "keep me";
    OrvexFactoryResult* r = nullptr;
    Outcome o = take(OrvexFactory_Backup(session(), file.c_str(), &r), r);
    EXPECT_EQ(o.status, ORVEX_FACTORY_REFUSED);
    EXPECT_NE(o.message.find("never replaces"), std::string::npos) << o.message;
    EXPECT_EQ(slurp(file), "keep me");
}

}  // namespace
}  // namespace factory_test
