// The calibration document and its one validation: every value must be
// one the store's types hold exactly, every refusal names the field and
// its value and leaves the flash byte-identical, and what the flash holds
// survives an export and an import bit for bit.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <fstream>

#include "factory_test.h"

namespace factory_test {
namespace {

class Calibration : public FactoryTest {
protected:
    json read_document() {
        OrvexFactoryResult* r = nullptr;
        Outcome o = take(OrvexFactory_CalibRead(session(), &r), r);
        EXPECT_EQ(o.status, ORVEX_FACTORY_OK) << o.message;
        return o.doc["document"];
    }
    std::string spill(const json& doc, const char* name = "c.json") {
        std::string path = dir + "/" + name;
        std::ofstream(path) << doc.dump(2);
        return path;
    }
    Outcome import(const std::string& path, unsigned flags) {
        OrvexFactoryResult* r = nullptr;
        return take(OrvexFactory_CalibImport(session(), path.c_str(), flags, &r), r);
    }
    Outcome write(const json& records, unsigned flags = 0) {
        OrvexFactoryResult* r = nullptr;
        std::string text = records.dump();
        return take(OrvexFactory_CalibWrite(session(), text.c_str(), flags, &r), r);
    }
    // The checksum a document with these records must carry.
    static json with_checksum(json doc) {
        std::string s = doc["records"].dump();
        uint32_t c = 0xFFFFFFFFu;
        for (unsigned char b : s) {
            c ^= b;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08X", ~c);
        doc["checksum"] = hex;
        return doc;
    }
};

bool has(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }

// Every value the store could not hold as given, refused by every import
// (edited, and plain with a matching checksum) and by a record write.
TEST_F(Calibration, EveryValueTheStoreCannotHoldIsRefusedNamingTheField) {
    const json base = read_document();
    ASSERT_EQ(base["records"]["sensor_type"], "stereo-nir-640x480");
    ASSERT_EQ(base["records"]["rectify"]["cols"], 4);
    struct Case {
        const char* pointer;  // into the records
        json value;
        const char* says;
    } cases[] = {
        {"/rectify/padding/1", 8589934592LL,
         "records.rectify.padding[1]: 8589934592 is outside the 32-bit integer range"},
        {"/rectify/base_grid/3/0", 86.5, "records.rectify.base_grid[3][0]: 86.5 is not an integer"},
        {"/rectify/base_grid/3/0", 1e10, "records.rectify.base_grid[3][0]: 10000000000.0 is outside the 32-bit"},
        {"/marker/x0", -2147483649LL, "records.marker.x0: -2147483649 is outside the 32-bit integer range"},
        {"/marker/dy", 18446744073709551615ULL, "records.marker.dy: 18446744073709551615 is outside"},
        {"/marker/x0", "12", "records.marker.x0: \"12\" is not an integer"},
        {"/marker/y0", true, "records.marker.y0: true is not a number"},
        {"/marker/theta", 1e39, "records.marker.theta: 1e+39 is out of range for a 32-bit float"},
        {"/marker/theta", -3.5e38, "records.marker.theta: -3.5e+38 is out of range for a 32-bit float"},
        {"/extra_params/0", "NaN", "records.extra_params[0]: NaN is not a finite number"},
        {"/extra_params/1", "Infinity", "records.extra_params[1]: Infinity is not a finite number"},
        {"/rectify/rotation", "-Infinity", "records.rectify.rotation: -Infinity is not a finite number"},
        {"/extra_params/1", "0x7FC00000", "records.extra_params[1]: \"0x7FC00000\" is not a number"},
        {"/rectify/scale", 1e-50, "records.rectify.scale: 1e-50 is too small for a 32-bit float"},
        {"/sensor_type", "stereo-nir-640x48", "records.sensor_type: \"stereo-nir-640x48\" is not a known sensor type"},
        {"/sensor_type", std::string(128, 'x'), "the store keeps at most 127"},
        {"/sensor_type", std::string("a\0b", 3), "records.sensor_type: \"a\\u0000b\" holds a NUL byte"},
        {"/extra_params", json(std::vector<double>(256, 1.0)), "records.extra_params: 256 values; the store keeps at most 255"},
        {"/rectify/rows", 26, "records.rectify.rows: 26 is outside the grid the store keeps (at most 25 x 18)"},
        {"/rectify/cols", -1, "records.rectify.cols: -1 is outside the grid"},
        {"/rectify/base_grid/5", json::array({10, 480}),
         "records.rectify.base_grid[5]: base point 5 (row 1, column 1) at (10, 480) lies outside the 640 x 480 image"},
        {"/rectify/base_grid/0", json::array({64000, 48000}), "base point 0 (row 0, column 0) at (64000, 48000) lies outside"},
        {"/rectify/base_grid/0", json::array({-1, 0}), "at (-1, 0) lies outside"},
        {"/rectify/base_grid/2", json::array({1}), "records.rectify.base_grid[2]: [1] is not an [x, y] point"},
        {"/rectify/padding", json::array({1, 2, 3}), "records.rectify.padding: [1,2,3] is not 4 integers"},
        {"/marker/ncol", -1, "records.marker.ncol: -1 is not a marker count"},
        {"/marker/x_0", 1, "records.marker.x_0 is not a field of this record"},
        {"/extra", 1, "records.extra is not a record"},
    };
    Bytes before = flash();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.pointer) + " = " + c.value.dump());
        json doc = base;
        doc["records"][json::json_pointer(c.pointer)] = c.value;
        for (unsigned flags : {unsigned(ORVEX_FACTORY_EDITED), 0u}) {
            Outcome o = import(spill(flags ? doc : with_checksum(doc)), flags);
            EXPECT_EQ(o.status, ORVEX_FACTORY_REFUSED) << o.message;
            EXPECT_TRUE(has(o.message, c.says)) << o.message;
            EXPECT_EQ(o.doc["error"], o.message);
        }
        std::string record = std::string(c.pointer).substr(1, std::string(c.pointer).find('/', 1) - 1);
        if (record != "extra") {
            Outcome o = write({{record, doc["records"][record]}});
            EXPECT_EQ(o.status, ORVEX_FACTORY_REFUSED) << o.message;
            EXPECT_TRUE(has(o.message, c.says)) << o.message;
        }
        ASSERT_EQ(flash(), before);
    }
}

TEST_F(Calibration, AMissingFieldIsNamed) {
    json doc = read_document();
    doc["records"]["marker"].erase("x0");
    Outcome o = import(spill(doc), ORVEX_FACTORY_EDITED);
    EXPECT_EQ(o.status, ORVEX_FACTORY_REFUSED);
    EXPECT_EQ(o.message, "records.marker.x0 is missing");
    doc = read_document();
    doc["records"].erase("rectify");
    EXPECT_EQ(import(spill(doc), ORVEX_FACTORY_EDITED).message, "records.rectify is missing");
}

// Values the store holds exactly are taken, whatever form JSON gives them.
TEST_F(Calibration, ExactValuesAreTaken) {
    Outcome o = write({{"rectify",
                        {{"rotation", -0.0},
                         {"translation_x", FLT_MAX},
                         {"translation_y", -static_cast<double>(FLT_TRUE_MIN)},
                         {"scale", 1e-3},
                         {"padding", {INT32_MIN, INT32_MAX, 86.0, 0}},
                         {"rows", 1},
                         {"cols", 2},
                         {"base_grid", {{0, 0}, {639, 479}}}}}});
    ASSERT_EQ(o.status, ORVEX_FACTORY_OK) << o.message;
    json rec = read_document()["records"]["rectify"];
    EXPECT_EQ(rec["padding"], json::array({INT32_MIN, INT32_MAX, 86, 0}));
    EXPECT_EQ(rec["translation_x"].get<double>(), static_cast<double>(FLT_MAX));
    EXPECT_EQ(rec["translation_y"].get<double>(), -static_cast<double>(FLT_TRUE_MIN));
    EXPECT_TRUE(std::signbit(rec["rotation"].get<double>()));
    EXPECT_EQ(rec["scale"].get<double>(), static_cast<double>(1e-3f));
}

// What the flash holds comes back bit for bit from its own export, and the
// import of an unchanged export writes nothing.
TEST_F(Calibration, ExportAndImportKeepEveryValueBitForBit) {
    json params = json::array();
    for (int i = 0; i < 255; ++i) params.push_back(i % 3 ? std::ldexp(1.0 + i / 256.0, i - 140) : -1.0 / (i + 3));
    ASSERT_EQ(write({{"extra_params", params},
                     {"marker",
                      {{"x0", INT32_MIN}, {"y0", INT32_MAX}, {"dx", -7}, {"dy", 0}, {"theta", 3.14159265358979},
                       {"ncol", 1000}, {"nrow", 0}, {"width", 1}, {"height", 2}, {"lower_threshold", -1},
                       {"min_area", 5}}}})
                  .status,
              ORVEX_FACTORY_OK);
    Bytes stored = flash();
    std::string file = dir + "/e.json";
    OrvexFactoryResult* r = nullptr;
    Outcome o = take(OrvexFactory_CalibExport(session(), file.c_str(), &r), r);
    ASSERT_EQ(o.status, ORVEX_FACTORY_OK) << o.message;
    // Change every record, then import the export back.
    ASSERT_EQ(write({{"marker", nullptr}, {"sensor_type", "stereo-nir-1280x800"}, {"extra_params", {1}}, {"rectify", nullptr}})
                  .status,
              ORVEX_FACTORY_OK);
    ASSERT_NE(flash(), stored);
    o = import(file, 0);
    ASSERT_EQ(o.status, ORVEX_FACTORY_OK) << o.message;
    EXPECT_EQ(flash(), stored);
    o = import(file, ORVEX_FACTORY_DRY_RUN);
    EXPECT_EQ(o.doc["changes"], false);
}

// The flash can hold a value no import may write; the export says what it
// is, and no import takes it back.
TEST_F(Calibration, ANonFiniteValueInTheFlashIsExportedByNameAndRefusedOnImport) {
    Bytes f = flash();
    const uint32_t patterns[] = {0x7FC00000u, 0x7F800000u, 0xFF800000u};
    for (int i = 0; i < 3; ++i) std::memcpy(&f[0x31000 + 4 * i], &patterns[i], 4);
    set_flash(f);
    json doc = read_document();
    EXPECT_EQ(doc["records"]["extra_params"][0], "NaN");
    EXPECT_EQ(doc["records"]["extra_params"][1], "Infinity");
    EXPECT_EQ(doc["records"]["extra_params"][2], "-Infinity");
    EXPECT_EQ(doc, with_checksum(doc));
    std::string file = dir + "/nan.json";
    OrvexFactoryResult* r = nullptr;
    ASSERT_EQ(take(OrvexFactory_CalibExport(session(), file.c_str(), &r), r).status, ORVEX_FACTORY_OK);
    std::ifstream in(file);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_FALSE(has(text, "0x7F")) << text;
    for (unsigned flags : {0u, unsigned(ORVEX_FACTORY_EDITED)}) {
        Outcome o = import(file, flags);
        EXPECT_EQ(o.status, ORVEX_FACTORY_REFUSED);
        EXPECT_EQ(o.message, "records.extra_params[0]: NaN is not a finite number");
    }
    EXPECT_EQ(flash(), f);
}

TEST_F(Calibration, PlainImportRefusesABadChecksumAndEditedSkipsOnlyThatCheck) {
    json doc = read_document();
    EXPECT_EQ(doc, with_checksum(doc));  // zlib's CRC-32 of the compact, key-sorted records
    doc["records"]["marker"]["x0"] = 99;
    std::string file = spill(doc);
    Bytes before = flash();
    Outcome o = import(file, 0);
    EXPECT_EQ(o.status, ORVEX_FACTORY_REFUSED);
    EXPECT_TRUE(has(o.message, "its checksum does not match")) << o.message;
    EXPECT_EQ(flash(), before);
    o = import(file, ORVEX_FACTORY_EDITED | ORVEX_FACTORY_DRY_RUN);
    EXPECT_EQ(o.status, ORVEX_FACTORY_OK) << o.message;
    EXPECT_EQ(o.doc["changes"], true);
    EXPECT_EQ(flash(), before);
    o = import(file, ORVEX_FACTORY_EDITED);
    EXPECT_EQ(o.status, ORVEX_FACTORY_OK) << o.message;
    EXPECT_EQ(read_document()["records"]["marker"]["x0"], 99);
    // Only the marker's sector changed.
    Bytes after = flash();
    for (long a = 0; a < 0x40000; a += 0x1000) {
        bool same = std::equal(after.begin() + a, after.begin() + a + 0x1000, before.begin() + a);
        EXPECT_EQ(same, a != kCalib) << a;
    }

    spill({{"format", "orvex-calibration"}, {"version", 2}, {"records", doc["records"]}}, "v2.json");
    EXPECT_TRUE(has(import(dir + "/v2.json", ORVEX_FACTORY_EDITED).message, "document version 2 is not supported"));
    EXPECT_EQ(import(dir + "/none.json", 0).status, ORVEX_FACTORY_FILE);
}

TEST_F(Calibration, SensorTypes) {
    const json grid = read_document()["records"]["rectify"];
    struct Case {
        const char* type;
        unsigned flags;
        int status;
        const char* says;  // in the message, or in the checks
    } cases[] = {
        {"stereo-nir-1280x800", 0, ORVEX_FACTORY_OK, "20 base points inside the 1280 x 800 image"},
        {"test rig 7", 0, ORVEX_FACTORY_REFUSED, "is not a known sensor type (known: stereo-nir-640x480, stereo-nir-1280x800"},
        {"test rig 7", ORVEX_FACTORY_UNKNOWN_SENSOR_TYPE, ORVEX_FACTORY_OK,
         "base points not checked against an image: the sensor type names no size"},
        {"rig-640x480-b", ORVEX_FACTORY_UNKNOWN_SENSOR_TYPE, ORVEX_FACTORY_OK, "inside the 640 x 480 image"},
        {"rig-100x100", ORVEX_FACTORY_UNKNOWN_SENSOR_TYPE, ORVEX_FACTORY_REFUSED, "lies outside the 100 x 100 image"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        Bytes before = flash();
        Outcome o = write({{"sensor_type", c.type}}, c.flags);
        EXPECT_EQ(o.status, c.status) << o.message;
        EXPECT_TRUE(has(o.message + o.doc.value("checks", json::array()).dump(), c.says)) << o.message << o.doc;
        if (c.status != ORVEX_FACTORY_OK) EXPECT_EQ(flash(), before);
        else EXPECT_EQ(read_document()["records"]["sensor_type"], c.type);
    }
    // A grid written alone is checked against the type the camera holds.
    json far = grid;
    far["base_grid"][0] = {700, 10};
    EXPECT_EQ(write({{"rectify", far}}).status, ORVEX_FACTORY_REFUSED);
}

TEST_F(Calibration, AWriteChangesOnlyTheRecordsItNames) {
    Bytes before = flash();
    Outcome o = write({{"extra_params", {1.5, -2, 1e-3}}});
    ASSERT_EQ(o.status, ORVEX_FACTORY_OK) << o.message;
    EXPECT_EQ(o.doc["records"], json({{"extra_params", {1.5, -2.0, static_cast<double>(1e-3f)}}}));
    Bytes after = flash();
    for (long a = kCalib; a < kCalibEnd; a += 0x1000)
        EXPECT_EQ(std::equal(after.begin() + a, after.begin() + a + 0x1000, before.begin() + a), a != 0x31000) << a;
    ASSERT_EQ(write({{"sensor_type", nullptr}}).status, ORVEX_FACTORY_OK);
    EXPECT_TRUE(read_document()["records"]["sensor_type"].is_null());
    EXPECT_EQ(write({{"extra_params", {1}}}, ORVEX_FACTORY_DRY_RUN).doc["changes"], true);
    EXPECT_EQ(write(json::array()).status, ORVEX_FACTORY_REFUSED);
    OrvexFactoryResult* r = nullptr;
    EXPECT_EQ(take(OrvexFactory_CalibWrite(session(), "{", 0, &r), r).status, ORVEX_FACTORY_USAGE);
}

TEST_F(Calibration, ValidationWithoutACamera) {
    json records = {{"rectify",
                     {{"rotation", 0}, {"translation_x", 0}, {"translation_y", 0}, {"scale", 1},
                      {"padding", {0, 0, 0, 0}}, {"rows", 1}, {"cols", 1}, {"base_grid", {{700, 10}}}}}};
    std::string text = records.dump();
    OrvexFactoryResult* r = nullptr;
    Outcome o = take(OrvexFactory_CalibValidate(text.c_str(), "stereo-nir-640x480", 0, &r), r);
    EXPECT_EQ(o.status, ORVEX_FACTORY_REFUSED);
    EXPECT_TRUE(has(o.message, "at (700, 10) lies outside the 640 x 480 image")) << o.message;
    o = take(OrvexFactory_CalibValidate(text.c_str(), "stereo-nir-1280x800", 0, &r), r);
    EXPECT_EQ(o.status, ORVEX_FACTORY_OK) << o.message;
    o = take(OrvexFactory_CalibValidate(text.c_str(), nullptr, 0, &r), r);
    EXPECT_EQ(o.status, ORVEX_FACTORY_OK);
    EXPECT_TRUE(has(o.doc["checks"].dump(), "base points not checked against an image: no sensor type"));
}

}  // namespace
}  // namespace factory_test
