// Identification register of the controller. A chip of the first
// architecture answers at 0x101F; one of the second at 0x80F0, where its
// 0x101F reads 0 (no id).
#include "../parts.h"

namespace vcam {

void install_chip_registers(Camera& cam) {
    const Profile& p = cam.profile();
    cam.regs().raw(arch_map(p.arch).chip_id) = p.chip_id;
}

}  // namespace vcam
