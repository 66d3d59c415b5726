// Identification register of the controller. A chip of the first
// architecture answers at 0x101F; one of the second at 0x80F0, where its
// 0x101F reads 0 (no id).
//
// Register 0x1185: bits 4-6 are implemented on some parts only
// (Profile::reg1185_sticky); elsewhere they read back 0 whatever is written.
#include "../parts.h"

namespace vcam {

void install_chip_registers(Camera& cam) {
    const Profile& p = cam.profile();
    cam.regs().raw(arch_map(p.arch).chip_id) = p.chip_id;
    const bool sticky = p.reg1185_sticky;
    RegisterSpace* regs = &cam.regs();
    regs->map(0x1185, nullptr, [regs, sticky](uint16_t addr, uint8_t v) {
        regs->raw(addr) = sticky ? v : static_cast<uint8_t>(v & ~0x70);
    });
}

}  // namespace vcam
