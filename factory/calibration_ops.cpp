// The exported calibration operations: the records as a document, its
// export and import, writes of single records, and the validation alone.
#include "archive.h"
#include "calibration_store.h"
#include "calibration_validate.h"
#include "result.h"
#include "sensor_types.h"
#include "text.h"

using namespace orvex_factory;

namespace {

json image_json(const CalibRecords& r) {
    int w = 0, h = 0;
    if (!r.has_type || !sensor_image(r.type, &w, &h)) return nullptr;
    return {{"width", w}, {"height", h}, {"known_type", find_sensor_type(r.type) != nullptr}};
}

ValidateOptions options(unsigned flags, bool all) {
    ValidateOptions o;
    o.all_records = all;
    o.unknown_sensor_type = flags & ORVEX_FACTORY_UNKNOWN_SENSOR_TYPE;
    return o;
}

// The named records of r, as a records object holds them.
json written_json(const CalibRecords& r, const std::vector<std::string>& names) {
    json all = records_json(r), out = json::object();
    for (const auto& n : names) out[n] = all[n];
    return out;
}

json parse_records(const char* text) {
    if (!text) throw Failure(USAGE, "no records given");
    json j = json::parse(text, nullptr, false);
    if (j.is_discarded()) throw Failure(USAGE, "the records are not JSON");
    return j;
}

json calib_read(Session& s) {
    StoredCalibration c = load_calibration(s);
    json records = records_json(c.records);
    return {{"document", make_document(records)},
            {"records", records},
            {"unit", identity_json(c.unit)},
            {"image", image_json(c.records)}};
}

json calib_import(Session& s, const std::string& file, unsigned flags) {
    Bytes raw = read_file(file);
    json doc = json::parse(raw.begin(), raw.end(), nullptr, false);
    if (doc.is_discarded()) throw Failure(REFUSED, file + " is not a calibration document");
    const json& records = document_records(doc, file, flags & ORVEX_FACTORY_EDITED);
    CalibRecords have = load_calibration(s).records;
    Validated v = validate_records(records, have, options(flags, true));
    json out = {{"file", file}, {"checks", v.checks}};
    if (flags & ORVEX_FACTORY_DRY_RUN) {
        out["imported"] = false;
        out["dry_run"] = true;
        out["changes"] = !same_records(v.records, have);
        return out;
    }
    save_calibration(s, v.records, have);
    out["imported"] = true;
    return out;
}

json calib_write(Session& s, const char* text, unsigned flags) {
    json j = parse_records(text);
    CalibRecords have = load_calibration(s).records;
    Validated v = validate_records(j, have, options(flags, false));
    json out = {{"records", written_json(v.records, v.written)},
                {"was", written_json(have, v.written)},
                {"checks", v.checks},
                {"changes", !same_records(v.records, have)}};
    if (flags & ORVEX_FACTORY_DRY_RUN) {
        out["dry_run"] = true;
        return out;
    }
    save_calibration(s, v.records, have);
    out["written"] = true;
    return out;
}

}  // namespace

extern "C" {

int OrvexFactory_CalibRead(OrvexFactorySession* s, OrvexFactoryResult** out) {
    return run(s, out, [&] {
        if (!s) throw Failure(USAGE, "no session");
        return calib_read(*s);
    });
}

int OrvexFactory_CalibExport(OrvexFactorySession* s, const char* file, OrvexFactoryResult** out) {
    return run(s, out, [&] {
        if (!s || !file || !*file) throw Failure(USAGE, "no session or no file");
        json doc = calib_read(*s)["document"];
        write_file(file, doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n");
        return json{{"file", file}, {"checksum", doc["checksum"]}};
    });
}

int OrvexFactory_CalibImport(OrvexFactorySession* s, const char* file, unsigned flags, OrvexFactoryResult** out) {
    Recording what{"calibration import"};
    if (file) what.image_name = file;
    return run_recorded(s, out, what, [&] {
        if (!s || !file || !*file) throw Failure(USAGE, "no session or no file");
        return calib_import(*s, file, flags);
    });
}

int OrvexFactory_CalibWrite(OrvexFactorySession* s, const char* records_json, unsigned flags,
                            OrvexFactoryResult** out) {
    auto op = [&] {
        if (!s) throw Failure(USAGE, "no session");
        return calib_write(*s, records_json, flags);
    };
    return flags & ORVEX_FACTORY_DRY_RUN ? run(s, out, op) : run_recorded(s, out, {"calibration edit"}, op);
}

int OrvexFactory_CalibValidate(const char* records_json, const char* camera_sensor_type, unsigned flags,
                               OrvexFactoryResult** out) {
    return run(nullptr, out, [&] {
        json j = parse_records(records_json);
        CalibRecords camera;
        if (camera_sensor_type) {
            camera.has_type = true;
            camera.type = camera_sensor_type;
        }
        Validated v = validate_records(j, camera, options(flags, false));
        return json{{"valid", true}, {"checks", v.checks}, {"records", written_json(v.records, v.written)}};
    });
}

}
