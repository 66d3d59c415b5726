// Which cameras the store works on: the identification block at either
// location, its tag and number rules, and what happens to the connection.
#include <algorithm>
#include <cmath>

#include "store_test.h"

using namespace store_test;

namespace {

struct Block {
    const char* tag;     // nullptr: location erased
    const char* number;
};

struct IdCase {
    const char* name;
    Block first, second;
    int identified_at;  // location that matched, 0 for none
};

class Identification : public StoreTest {
protected:
    void attach_with(const Block& first, const Block& second) {
        vcam::Profile p = vcam::default_profile();
        vcam::clear_identification(p.flash);
        if (first.tag) vcam::write_identification(p.flash, 1, first.tag, first.number);
        if (second.tag) vcam::write_identification(p.flash, 2, second.tag, second.number);
        vcam::attach(0, p);
        vcam::trace().clear();
    }
};

const Block kNone = {nullptr, nullptr};

TEST_F(Identification, TagAndNumberRulesAtBothLocations) {
    const IdCase cases[] = {
        {"first, highest number", {"OG", "000249"}, kNone, 1},
        {"first, lowest number", {"OG", "000001"}, kNone, 1},
        {"first, number too high", {"OG", "000250"}, kNone, 0},
        {"first, number zero", {"OG", "000000"}, kNone, 0},
        {"first, digits stop at a letter", {"OG", "12ab34"}, kNone, 1},
        {"first, no leading digit", {"OG", "ab1234"}, kNone, 0},
        {"first, blanks and sign", {"OG", " +0042"}, kNone, 1},
        {"first, negative", {"OG", "-00001"}, kNone, 0},
        {"first, lower-case tag", {"og", "000123"}, kNone, 0},
        {"first, mixed-case tag", {"Og", "000123"}, kNone, 0},
        {"first, NUL in tag", {"O", "000123"}, kNone, 0},
        {"first, second location's tag", {"OF", "000050"}, kNone, 0},
        {"second, highest number", kNone, {"OF", "000099"}, 2},
        {"second, number too high", kNone, {"OF", "000100"}, 0},
        {"second, lowest number", kNone, {"OF", "000001"}, 2},
        {"second, first location's tag", kNone, {"OG", "000050"}, 0},
        {"first fails on its number, second holds", {"OG", "000250"}, {"OF", "000099"}, 2},
        {"first fails on its tag, second holds", {"og", "000001"}, {"OF", "000001"}, 2},
        {"both fail", {"OG", "000000"}, {"OF", "000100"}, 0},
        {"neither present", kNone, kNone, 0},
    };
    for (const IdCase& c : cases) {
        SCOPED_TRACE(c.name);
        attach_with(c.first, c.second);
        debug_enable = 1;
        MarkerConfig m;
        std::memset(&m, 0x5A, sizeof m);
        MarkerConfig before = m;
        auto out = orvex_test::capture([&] { ReadMarkerConfig(0, &m); });

        // The first location is always read; the second only when the
        // first does not match. An unidentified camera sees nothing else.
        std::vector<Transfer> expected = id_block_reads(1);
        if (c.identified_at != 1) {
            auto second = id_block_reads(2);
            expected.insert(expected.end(), second.begin(), second.end());
        }
        auto r = reads();
        ASSERT_GE(r.size(), expected.size());
        EXPECT_EQ(std::vector<Transfer>(r.begin(), r.begin() + expected.size()), expected);
        if (c.identified_at) {
            EXPECT_EQ(r.size(), expected.size() + 6);  // 44 bytes of the record
            EXPECT_EQ(m.width, 640);
            EXPECT_NE(out.out, "");
        } else {
            EXPECT_EQ(r.size(), expected.size());
            EXPECT_EQ(0, std::memcmp(&m, &before, sizeof m));
            EXPECT_EQ(out.out, "");  // silent even while debugging
            EXPECT_EQ(out.err, "");
        }
        EXPECT_TRUE(writes().empty());
        expect_closed();
    }
}

// Fresh flash (never programmed) and every byte outside the examined ones
// changed: only tag and number bytes count.
TEST_F(Identification, OnlyTheEvenTagAndNumberBytesCount) {
    vcam::Profile p = vcam::default_profile();
    p.flash.assign(vcam::kFlashSize, 0xFF);
    vcam::attach(0, p);
    float v = 7.0f;
    ReadExtraParams(0, &v, 1);
    EXPECT_EQ(v, 7.0f);

    std::vector<uint8_t>& f = flash();
    vcam::write_identification(f, 1, "OG", "000123");
    const uint32_t a = vcam::kIdBlockAddr[1];
    const int examined[] = {2, 4, 6, 8, 10, 12, 14, 16};
    for (int i = 0; i < 24; ++i)
        if (std::find(std::begin(examined), std::end(examined), i) == std::end(examined))
            f[a + i] = 0x20 + i;
    put32(f, kExtra, bits_of(2.5f));
    ReadExtraParams(0, &v, 1);
    EXPECT_EQ(v, 2.5f);
}

// The character after the six number characters is not part of the
// number: 000249 followed by a digit stays 249, 000099 stays 99.
TEST_F(Identification, NumberHasExactlySixCharacters) {
    for (int location : {1, 2}) {
        SCOPED_TRACE(location);
        if (location == 1)
            attach_with({"OG", "000249"}, kNone);
        else
            attach_with(kNone, {"OF", "000099"});
        flash()[vcam::kIdBlockAddr[location] + (location == 1 ? 18 : 22)] = '9';
        float v = 0;
        ReadExtraParams(0, &v, 1);
        EXPECT_EQ(v, 1.25f);
    }
}

TEST_F(Identification, NoCameraPrintsWithoutLineEndOnlyWhileDebugging) {
    vcam::detach(0);
    MarkerConfig m{};
    auto quiet = orvex_test::capture([&] { ReadMarkerConfig(0, &m); });
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.err, "Open video device failed\n");

    debug_enable = 1;
    auto loud = orvex_test::capture([&] { SetSensorType(0, "x"); });
    EXPECT_EQ(loud.out, "Could not find/open orvex device");
    EXPECT_EQ(loud.err, "Open video device failed\n");
    EXPECT_EQ(vcam::trace().query_count(), 0u);
}

// One connection per process: a store call works on the host's open
// camera, whatever index it names, and closes it.
TEST_F(Identification, HostConnectionIsUsedAndClosed) {
    vcam::attach(3);
    erase(vcam::camera(3)->flash(), kExtra, 4);
    ASSERT_EQ(OrvexTac_Init(3), 1);
    float v = 0;
    ReadExtraParams(0, &v, 1);
    EXPECT_TRUE(std::isnan(v));  // camera 3's erased value, not camera 0's
    EXPECT_EQ(camera_init, 0);
    EXPECT_EQ(OrvexTac_SerialFlashRead(kExtra, reinterpret_cast<unsigned char*>(&v), 4), 0);
}

}  // namespace

#include "env_config.h"

namespace {

// The launcher's camera options: no block at all, or only the second one.
TEST_F(Identification, LauncherOptions) {
    struct Case {
        const char* options;
        bool identified;
        bool second_read;
    } cases[] = {{"0", true, false}, {"0:noid", false, true}, {"0:id2", true, true},
                 {"0:fresh", false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        std::string error;
        ASSERT_TRUE(vcam::configure_from_string(c.options, &error)) << error;
        vcam::trace().clear();
        float v = 0;
        ReadExtraParams(0, &v, 1);
        EXPECT_EQ(v, c.identified ? 1.25f : 0.0f);
        auto r = reads();
        ASSERT_GE(r.size(), 3u);
        EXPECT_EQ(r.size() > 3 && r[3] == (Transfer{true, vcam::kIdBlockAddr[2], 8}), c.second_read);
    }
}

}  // namespace
