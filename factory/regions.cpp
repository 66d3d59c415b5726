// The flash's regions. The calibration records and the two sectors that
// hold identification blocks are one of a kind per unit: writers refuse to
// touch them unless asked to by name.
#include "regions.h"

#include "internal/burn_layout.h"
#include "internal/store_layout.h"
#include "result.h"
#include "text.h"

namespace orvex_factory {

namespace {

struct Region {
    const char* name;
    long from, to;  // [from, to)
    bool unit_data;
};

using namespace orvex_store;
constexpr long kId1End = kIdFirstSector + kSectorSize;
constexpr long kId2End = kIdSecondSector + kSectorSize;

// The map, in address order; the firmware area is cut by the first
// identification block's sector.
const Region kMap[] = {
    {"firmware", 0x00000, kIdFirstSector, false},
    {"identification block 1 sector", kIdFirstSector, kId1End, true},
    {"firmware", kId1End, kCalibStart, false},
    {"calibration records", kCalibStart, kCalibEnd, true},
    {"free", kCalibEnd, kIdSecondSector, false},
    {"identification block 2 sector", kIdSecondSector, kId2End, true},
};

// Names a caller may give.
struct Named {
    const char* name;
    long from, to;
};
const Named kNamed[] = {
    {"whole", 0, orvex_burn::kFlashSize},
    {"firmware", 0, kCalibStart},
    {"calibration", kCalibStart, kCalibEnd},
    {"free", kCalibEnd, kIdSecondSector},
    {"identification-1", kIdFirstSector, kId1End},
    {"identification-2", kIdSecondSector, kId2End},
};

}  // namespace

json regions_json(long from, long to) {
    json a = json::array();
    for (const Region& r : kMap)
        if (from < r.to && to > r.from && (a.empty() || a.back() != r.name)) a.push_back(r.name);
    return a;
}

const char* region_name(int index) {
    constexpr int n = static_cast<int>(sizeof kNamed / sizeof kNamed[0]);
    return index >= 0 && index < n ? kNamed[index].name : nullptr;
}

bool region_by_name(const std::string& name, long* from, long* to) {
    for (const Named& n : kNamed)
        if (name == n.name) {
            *from = n.from;
            *to = n.to;
            return true;
        }
    return false;
}

void guard_regions(long from, long to, bool include_calibration) {
    if (include_calibration) return;
    std::string hit;
    for (const Region& r : kMap)
        if (r.unit_data && from < r.to && to > r.from)
            hit += std::string(hit.empty() ? "" : ", ") + r.name + " " + hex(r.from, 5) + "-" + hex(r.to - 1, 5);
    if (!hit.empty())
        throw Failure(REFUSED, "the sectors " + hex(from, 5) + "-" + hex(to - 1, 5) + " include the unit's " + hit +
                                   "; refusing (--include-calibration allows it)");
}

}  // namespace orvex_factory

extern "C" int OrvexFactory_GuardRegion(LONG addr, LONG len, unsigned flags, OrvexFactoryResult** out) {
    return orvex_factory::run(nullptr, out, [&] {
        using namespace orvex_factory;
        if (addr < 0 || len < 0 || addr + len > orvex_burn::kFlashSize)
            throw Failure(USAGE, "flash range " + hex(addr, 5) + "+" + std::to_string(len) +
                                     " lies outside the 256 KiB flash");
        guard_regions(addr, addr + len, flags & ORVEX_FACTORY_INCLUDE_CALIBRATION);
        return json{{"addr", hex(addr, 5)}, {"length", len}, {"regions", regions_json(addr, addr + len)}};
    });
}

extern "C" BOOL OrvexFactory_Region(const char* name, LONG* from, LONG* to) {
    if (!name || !from || !to) return 0;
    long f = 0, t = 0;
    if (!orvex_factory::region_by_name(name, &f, &t)) return 0;
    *from = f;
    *to = t;
    return 1;
}

extern "C" const char* OrvexFactory_RegionName(int index) { return orvex_factory::region_name(index); }
