// Reading and writing the calibration records.
#include "calibration_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "OrvexTac.h"
#include "device.h"
#include "flash_io.h"
#include "internal/store_layout.h"
#include "spi.h"
#include "text.h"

namespace orvex_factory {

namespace {

using namespace orvex_store;

// The store's own camera open reports failures on standard error; the
// operation's message says what failed.
class Quiet {
public:
    Quiet() {
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0) dup2(null, STDERR_FILENO);
        if (null >= 0) ::close(null);
    }
    ~Quiet() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }
    Quiet(const Quiet&) = delete;
    Quiet& operator=(const Quiet&) = delete;

private:
    int saved_ = -1;
};

bool all_ff(const Bytes& b, size_t from, size_t n) {
    for (size_t i = from; i < from + n && i < b.size(); ++i)
        if (b[i] != 0xFF) return false;
    return true;
}

struct Raw {
    Bytes marker, params, type, rect_head;
    UnitIdentity unit;
};

Raw read_raw(Session& s) {
    Connection c(s);
    identify_chip(s, false);
    Raw r;
    r.unit = unit_identity(read_id_blocks(s));
    if (!store_recognises(r.unit.blocks))
        throw Failure(NOT_OURS, "no valid identification block in the camera's flash: "
                                "the calibration store does not recognise this camera");
    r.marker = flash_read(s, kMarkerAddr, kMarkerLen);
    r.params = flash_read(s, kExtraParamsAddr, 4 * kMaxExtraParams);
    r.type = flash_read(s, kSensorTypeAddr, kSensorTypeCapacity);
    r.rect_head = flash_read(s, kRectifyAddr, kRectifyHeaderLen);
    return r;
}

void erase_record(Session& s, long addr) {
    Connection c(s);
    identify_chip(s, false);
    BYTE none = 0xFF;
    if (OrvexTac_SerialFlashSectorWrite(addr, &none, 0, kFlashType) != 1) {
        std::string why = protection_note();
        throw Failure(TRANSFER, "erasing the record at " + hex(static_cast<uint64_t>(addr), 5) + " failed" +
                                    (why.empty() ? "" : ": " + why),
                      addr);
    }
}

}  // namespace

StoredCalibration load_calibration(Session& s) {
    Raw raw = read_raw(s);
    StoredCalibration out;
    out.unit = raw.unit;
    CalibRecords& rec = out.records;
    Quiet quiet;
    if (!all_ff(raw.marker, 0, raw.marker.size())) {
        std::memset(&rec.marker, 0, sizeof rec.marker);
        ReadMarkerConfig(s.index, &rec.marker);
        if (std::memcmp(&rec.marker, raw.marker.data(), sizeof rec.marker) != 0)
            throw Failure(TRANSFER, "reading the marker configuration through the store failed");
        rec.has_marker = true;
    }
    if (raw.type[0] != 0xFF) {
        char buf[kSensorTypeCapacity + 32] = {};
        GetSensorType(s.index, buf);
        rec.type = buf;
        std::string expect(reinterpret_cast<const char*>(raw.type.data()),
                           strnlen(reinterpret_cast<const char*>(raw.type.data()), kSensorTypeCapacity));
        if (rec.type != expect) throw Failure(TRANSFER, "reading the sensor type through the store failed");
        rec.has_type = true;
    }
    // The store keeps no count: the values run to the first never-written one.
    int count = 0;
    while (count < kMaxExtraParams && !all_ff(raw.params, static_cast<size_t>(4 * count), 4)) ++count;
    if (count > 0) {
        float vals[kMaxExtraParams];
        std::memset(vals, 0xFF, sizeof vals);
        ReadExtraParams(s.index, vals, static_cast<unsigned char>(count));
        if (std::memcmp(vals, raw.params.data(), 4 * static_cast<size_t>(count)) != 0)
            throw Failure(TRANSFER, "reading the extra parameters through the store failed");
        rec.params.assign(vals, vals + count);
    }
    if (!all_ff(raw.rect_head, 0, raw.rect_head.size())) {
        RectifyConfig rc{};
        rc.base_grid = nullptr;
        ReadRectifyConfig(s.index, &rc);
        int rows, cols;
        std::memcpy(&rows, raw.rect_head.data() + kRectifyRowsOffset, 4);
        std::memcpy(&cols, raw.rect_head.data() + kRectifyColsOffset, 4);
        bool in_limits = rows <= kMaxRectifyRows && cols <= kMaxRectifyCols;
        if (std::memcmp(&rc, raw.rect_head.data(), raw.rect_head.size()) != 0 ||
            (in_limits && rows > 0 && cols > 0 && !rc.base_grid)) {
            std::free(rc.base_grid);
            throw Failure(TRANSFER, "reading the rectification record through the store failed");
        }
        rec.rect = rc;
        if (rc.base_grid && rows > 0 && cols > 0) rec.grid.assign(rc.base_grid, rc.base_grid + 2 * rows * cols);
        std::free(rc.base_grid);
        rec.rect.base_grid = nullptr;
        rec.has_rect = true;
    }
    return out;
}

void save_calibration(Session& s, const CalibRecords& want, const CalibRecords& have) {
    hold_camera(s);
    // Only the records that change are written: each save erases its sector.
    auto only = [](const CalibRecords& r, int which) {
        CalibRecords o;
        if (which == 0) o.has_marker = r.has_marker, o.marker = r.marker;
        if (which == 1) o.has_type = r.has_type, o.type = r.type;
        if (which == 2) o.params = r.params;
        if (which == 3) o.has_rect = r.has_rect, o.rect = r.rect, o.grid = r.grid;
        return o;
    };
    auto changes = [&](int which) { return !same_records(only(want, which), only(have, which)); };
    {
        Quiet quiet;
        if (changes(0)) {
            if (want.has_marker) {
                MarkerConfig m = want.marker;
                SaveMarkerConfig(s.index, &m);
            } else {
                erase_record(s, kMarkerAddr);
            }
        }
        if (changes(1)) {
            if (want.has_type) SetSensorType(s.index, want.type.c_str());
            else erase_record(s, kSensorTypeAddr);
        }
        if (changes(2)) {
            // The save rewrites the whole sector: no longer list's tail remains.
            if (!want.params.empty())
                SaveExtraParams(s.index, want.params.data(), static_cast<unsigned char>(want.params.size()));
            else
                erase_record(s, kExtraParamsAddr);
        }
        if (changes(3)) {
            if (want.has_rect) {
                RectifyConfig c = want.rect;
                std::vector<int> grid = want.grid;
                c.base_grid = grid.empty() ? nullptr : grid.data();
                SaveRectifyConfig(s.index, &c);
            } else {
                erase_record(s, kRectifyAddr);
            }
        }
    }
    CalibRecords back = load_calibration(s).records;
    const char* names[] = {"marker configuration", "sensor type", "extra parameters", "rectification record"};
    for (int i = 0; i < 4; ++i)
        if (!same_records(only(want, i), only(back, i)))
            throw Failure(VERIFY, std::string("the ") + names[i] + " read back differs from what was written");
}

}  // namespace orvex_factory
