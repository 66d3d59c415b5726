// The firmware's version fields in an image or in the flash. A burn that
// stopped after its erase leaves them 0xFF (or some of them, when it
// stopped between sectors), which the boot code does not run: info and
// list say so instead of showing empty fields.
#include "fw_area.h"

#include <cctype>

#include "flash_io.h"
#include "internal/fw_layout.h"

namespace orvex_factory {

const orvex_fw::Layout* layout_for(const Chip& c) {
    return orvex_fw::find_layout(c.chip_id, c.rom_known, c.rom_version[5], false, DRT_Unknow);
}

namespace {

bool erased(const uint8_t* p, long n) {
    for (long i = 0; i < n; ++i)
        if (p[i] != 0xFF) return false;
    return true;
}

// Printable text with trailing NUL, blanks and 0xFF dropped; false when
// any other byte is not printable.
bool text_of(const uint8_t* p, long n, std::string* out) {
    while (n > 0 && (p[n - 1] == 0 || p[n - 1] == 0xFF || p[n - 1] == ' ')) --n;
    out->clear();
    for (long i = 0; i < n; ++i) {
        if (p[i] < 0x20 || p[i] > 0x7E) return false;
        *out += static_cast<char>(p[i]);
    }
    return true;
}

// The four fields' bytes, by a reader of [addr, addr+len).
template <class Read> FirmwareArea area(const orvex_fw::Layout* l, Read read) {
    FirmwareArea a;
    if (!l) return a;
    struct Field {
        long at, len;
        std::string* into;
    } fields[] = {{l->code, orvex_fw::kCodeLen, &a.code},
                  {l->cusVer, orvex_fw::kFieldLen, &a.customer_version},
                  {l->customer, orvex_fw::kFieldLen, &a.customer},
                  {l->dayVer, orvex_fw::kFieldLen, &a.date}};
    int blank = 0;
    bool readable = true;
    for (Field& f : fields) {
        Bytes b = read(f.at, f.len);
        if (erased(b.data(), f.len)) {
            ++blank;
            continue;
        }
        readable = text_of(b.data(), f.len, f.into) && readable;
    }
    if (blank == 4)
        a.state = FirmwareArea::blank;
    else if (blank > 0 || !readable || a.code.empty())
        a.state = FirmwareArea::damaged;
    else
        a.state = FirmwareArea::intact;
    return a;
}

// Natural order: digit runs as numbers, everything else byte by byte.
int natural_compare(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            size_t i2 = i, j2 = j;
            while (i2 < a.size() && a[i2] == '0') ++i2;
            while (j2 < b.size() && b[j2] == '0') ++j2;
            size_t ie = i2, je = j2;
            while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
            while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) ++je;
            if (ie - i2 != je - j2) return ie - i2 < je - j2 ? -1 : 1;
            int c = a.compare(i2, ie - i2, b, j2, je - j2);
            if (c) return c < 0 ? -1 : 1;
            i = ie;
            j = je;
            continue;
        }
        if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]) ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

}  // namespace

const char* fw_state_name(FirmwareArea::State s) {
    switch (s) {
    case FirmwareArea::intact: return "intact";
    case FirmwareArea::blank: return "blank";
    case FirmwareArea::damaged: return "damaged";
    case FirmwareArea::no_layout: break;
    }
    return "unknown";
}

std::string FirmwareArea::text() const {
    switch (state) {
    case intact: return code + " " + customer_version + (date.empty() ? "" : " (" + date + ")");
    case blank: return "none (the firmware area is blank)";
    case damaged: return "damaged (the firmware's version fields are partly erased or not text)";
    case no_layout: break;
    }
    return "unknown";
}

json fw_area_json(const FirmwareArea& a) {
    json j = {{"state", fw_state_name(a.state)}};
    if (a.state == FirmwareArea::intact || a.state == FirmwareArea::damaged)
        j.update({{"code", a.code}, {"customer_version", a.customer_version}, {"customer", a.customer},
                  {"date", a.date}});
    return j;
}

FirmwareArea image_firmware(const Bytes& image, const Chip& chip) {
    return area(layout_for(chip), [&](long at, long len) {
        Bytes b(static_cast<size_t>(len), 0xFF);
        for (long i = 0; i < len && at + i < static_cast<long>(image.size()); ++i)
            b[static_cast<size_t>(i)] = image[static_cast<size_t>(at + i)];
        return b;
    });
}

FirmwareArea camera_firmware(Session& s, const Chip& chip) {
    return area(layout_for(chip), [&](long at, long len) { return flash_read(s, at, len); });
}

int compare_firmware(const FirmwareArea& a, const FirmwareArea& b) {
    if (int c = natural_compare(a.code, b.code)) return c;
    if (int c = natural_compare(a.customer_version, b.customer_version)) return c;
    return natural_compare(a.date, b.date);
}

}  // namespace orvex_factory
