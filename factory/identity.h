// Internal: the unit's identity. A camera's flash carries up to two
// identification blocks, at 0x190C0 (tag "OG", in the firmware area) and
// at 0x3FA00 (tag "OF", in the last sector, which every burn keeps); the
// two locations use different tags and number ranges, so only blocks at the
// same location can be compared. One rule decides, for every operation that
// moves a unit's data, whether two identities are the same unit.
#ifndef ORVEX_FACTORY_IDENTITY_H
#define ORVEX_FACTORY_IDENTITY_H

#include "core.h"
#include "session.h"

namespace orvex_factory {

struct IdBlock {
    long addr = 0;
    bool valid = false;
    std::string tag;  // printable, other bytes escaped
    int number = 0;
};
// The block as the calibration store reads it from its 24 bytes.
IdBlock parse_id_block(long addr, const uint8_t* bytes24);
// Both blocks of the open camera, first location first.
std::vector<IdBlock> read_id_blocks(Session& s);
bool store_recognises(const std::vector<IdBlock>& blocks);

// The identity a flash (or a backup of it) carries: both blocks, and the
// one that names the unit (the second first: it lives in the sector every
// burn keeps; the first comes with the firmware image).
struct UnitIdentity {
    std::vector<IdBlock> blocks;
    bool known = false;
    std::string tag;
    int number = 0;
    const IdBlock* at(long addr) const;  // the valid block at addr, or nullptr
};
UnitIdentity unit_identity(const std::vector<IdBlock>& blocks);
std::string identity_text(const UnitIdentity& u);  // "OG 123", or "no identification block"
json identity_json(const UnitIdentity& u);         // {"tag", "number"} or null

// How a unit's data (a backup) relates to a camera.
enum class UnitMatch {
    same,            // every location valid on both sides agrees, and one at least is
    other_unit,      // a location valid on both sides differs
    other_location,  // both carry an identity, but never at the same location
    camera_unknown,  // the camera carries no identification block
    data_unknown,    // the data carries none
};
UnitMatch match_units(const UnitIdentity& camera, const UnitIdentity& data);
const char* unit_match_name(UnitMatch m);
// Why a match other than `same` needs the caller's force, as one sentence
// naming both identities; "" for same.
std::string unit_match_problem(UnitMatch m, const UnitIdentity& camera, const UnitIdentity& data,
                               const std::string& what);

}  // namespace orvex_factory

#endif
