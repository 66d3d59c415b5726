// Identification blocks, unit identities and the one rule that compares them.
#include "identity.h"

#include <cstdio>

#include "archive.h"
#include "flash_io.h"
#include "internal/store_layout.h"
#include "text.h"

namespace orvex_factory {

IdBlock parse_id_block(long addr, const uint8_t* b) {
    IdBlock blk;
    blk.addr = addr;
    const orvex_store::IdLocation* loc = orvex_store::id_location(addr);
    if (!loc) return blk;
    orvex_store::IdFields f = orvex_store::read_id_fields(*loc, b);
    blk.number = f.number;
    blk.valid = f.matches;
    for (const char* c = f.tag; *c; ++c) {  // stops at a NUL, as the store's comparison does
        unsigned char u = static_cast<unsigned char>(*c);
        if (u >= 0x20 && u < 0x7F) {
            blk.tag += *c;
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", u);
            blk.tag += buf;
        }
    }
    return blk;
}

std::vector<IdBlock> read_id_blocks(Session& s) {
    std::vector<IdBlock> out;
    for (const auto& loc : orvex_store::kIdLocations) {
        Bytes b = flash_read(s, loc.addr, orvex_store::kIdBlockLen);
        out.push_back(parse_id_block(loc.addr, b.data()));
    }
    if (s.recording) {
        json blocks = json::array();
        for (const IdBlock& b : out)
            blocks.push_back({{"addr", hex(b.addr, 5)}, {"valid", b.valid}, {"tag", b.tag}, {"number", b.number}});
        archive_saw_id_blocks(s, blocks, identity_json(unit_identity(out)));
    }
    return out;
}

bool store_recognises(const std::vector<IdBlock>& blocks) {
    for (const auto& b : blocks)
        if (b.valid) return true;
    return false;
}

const IdBlock* UnitIdentity::at(long addr) const {
    for (const IdBlock& b : blocks)
        if (b.addr == addr && b.valid) return &b;
    return nullptr;
}

UnitIdentity unit_identity(const std::vector<IdBlock>& blocks) {
    UnitIdentity u;
    u.blocks = blocks;
    for (long want : {orvex_store::kIdSecondAddr, orvex_store::kIdFirstAddr})
        if (const IdBlock* b = u.at(want); b && !u.known) {
            u.known = true;
            u.tag = b->tag;
            u.number = b->number;
        }
    return u;
}

std::string identity_text(const UnitIdentity& u) {
    return u.known ? u.tag + " " + std::to_string(u.number) : std::string("no identification block");
}

json identity_json(const UnitIdentity& u) {
    if (!u.known) return nullptr;
    return {{"tag", u.tag}, {"number", u.number}};
}

UnitMatch match_units(const UnitIdentity& camera, const UnitIdentity& data) {
    if (!camera.known) return UnitMatch::camera_unknown;
    if (!data.known) return UnitMatch::data_unknown;
    bool common = false;
    for (const auto& loc : orvex_store::kIdLocations) {
        const IdBlock* a = camera.at(loc.addr);
        const IdBlock* b = data.at(loc.addr);
        if (!a || !b) continue;
        if (a->tag != b->tag || a->number != b->number) return UnitMatch::other_unit;
        common = true;
    }
    return common ? UnitMatch::same : UnitMatch::other_location;
}

const char* unit_match_name(UnitMatch m) {
    switch (m) {
    case UnitMatch::same: return "same";
    case UnitMatch::other_unit: return "other-unit";
    case UnitMatch::other_location: return "other-location";
    case UnitMatch::camera_unknown: return "camera-without-identity";
    case UnitMatch::data_unknown: return "data-without-identity";
    }
    return "?";
}

namespace {
std::string blocks_text(const UnitIdentity& u) {
    std::string t;
    for (const IdBlock& b : u.blocks)
        if (b.valid) t += std::string(t.empty() ? "" : " and ") + b.tag + " " + std::to_string(b.number) + " at " + hex(b.addr, 5);
    return t.empty() ? "no identification block" : t;
}
}  // namespace

std::string unit_match_problem(UnitMatch m, const UnitIdentity& camera, const UnitIdentity& data,
                               const std::string& what) {
    switch (m) {
    case UnitMatch::same: return "";
    case UnitMatch::other_unit:
        return what + " belongs to unit " + identity_text(data) + ", this camera is unit " + identity_text(camera);
    case UnitMatch::other_location:
        return what + " carries " + blocks_text(data) + ", this camera " + blocks_text(camera) +
               ": the blocks sit at different locations, so they cannot show the same unit";
    case UnitMatch::camera_unknown:
        return "this camera carries no identification block, so nothing shows that " + what + " (unit " +
               identity_text(data) + ") is its own";
    case UnitMatch::data_unknown:
        return what + " carries no identification block, so nothing shows it belongs to this camera (unit " +
               identity_text(camera) + ")";
    }
    return "";
}

}  // namespace orvex_factory
