// Internal: the flash's regions as the firmware and the calibration store
// use them, and the guard on the ones that are one of a kind per unit.
#ifndef ORVEX_FACTORY_REGIONS_H
#define ORVEX_FACTORY_REGIONS_H

#include "core.h"

namespace orvex_factory {

// The names of the regions [from, to) overlaps, in address order.
json regions_json(long from, long to);
// The region whose name is given, as [*from, *to); false for an unknown name.
bool region_by_name(const std::string& name, long* from, long* to);
// The name of the INDEXth region a caller may give; nullptr past the last.
const char* region_name(int index);
// Refuses (REFUSED) a write or erase of [from, to) that touches the
// calibration records or a sector holding an identification block, unless
// include_calibration.
void guard_regions(long from, long to, bool include_calibration);

}  // namespace orvex_factory

#endif
