// The flash's regions as the firmware and the calibration store use them.
// The calibration records and the two sectors that hold identification
// blocks are one of a kind per unit: commands that write refuse to touch
// them unless asked to.
#include "orvexctl.h"

namespace orvexctl {

namespace {
struct Region {
    const char* name;
    long from, to;  // [from, to)
    bool unit_data;
};
constexpr long kId1SectorStart = orvex_store::kIdFirstSector;
constexpr long kId1SectorEnd = kId1SectorStart + orvex_store::kSectorSize;
const Region kRegions[] = {
    {"firmware", 0x00000, kId1SectorStart, false},
    {"identification block 1 sector", kId1SectorStart, kId1SectorEnd, true},
    {"firmware", kId1SectorEnd, kCalibStart, false},
    {"calibration records", kCalibStart, kCalibEnd, true},
    {"free", kCalibEnd, kId2SectorStart, false},
    {"identification block 2 sector", kId2SectorStart, kId2SectorEnd, true},
};
}  // namespace

json regions_json(long from, long to) {
    json a = json::array();
    for (const Region& r : kRegions)
        if (from < r.to && to > r.from) a.push_back(r.name);
    return a;
}

void check_regions(long from, long to, bool include_calibration) {
    if (include_calibration) return;
    std::string hit;
    for (const Region& r : kRegions)
        if (r.unit_data && from < r.to && to > r.from)
            hit += std::string(hit.empty() ? "" : ", ") + r.name + " " + hex(r.from, 5) + "-" + hex(r.to - 1, 5);
    if (!hit.empty())
        throw Failure(EXIT_REFUSED, "the sectors " + hex(from, 5) + "-" + hex(to - 1, 5) + " include the unit's " + hit +
                                        "; refusing (--include-calibration allows it)");
}

}  // namespace orvexctl
