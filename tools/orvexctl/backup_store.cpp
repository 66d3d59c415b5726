// The unit identity calib plot names; the rule that compares identities
// lives in the library.
#include "orvexctl.h"

namespace orvexctl {

UnitIdentity unit_identity(const std::vector<IdBlock>& blocks) {
    // The second block lives in the sector every burn keeps; the first comes
    // with the firmware image, so it names the unit only when the second
    // is missing.
    UnitIdentity u;
    for (const auto& b : blocks)
        if (b.valid) u.valid.push_back(b);
    for (long want : {kIdBlock2, kIdBlock1})
        for (const auto& b : blocks)
            if (b.addr == want && b.valid && !u.known) {
                u.known = true;
                u.tag = b.tag;
                u.number = b.number;
            }
    return u;
}

std::string identity_text(const UnitIdentity& u) {
    return u.known ? u.tag + " " + std::to_string(u.number) : std::string("no identification block");
}

}  // namespace orvexctl
