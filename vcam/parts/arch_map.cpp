#include "../parts.h"

namespace vcam {

// The two register layouts of the controller family. The model keeps its own
// copy of them on purpose, apart from the library's (base/ROMData/
// arch_maps.h): it is the other side of the wire, and a wrong address in
// the library must show up as traffic to the wrong register.
const ArchMap& arch_map(int arch) {
    static const ArchMap maps[2] = {
        {0x101F, 0x1084, 0x1073, 0x1005, 0x1006, 0x1007, 0x1080, 0x1091, 0x1082, 0x1083,
         0x1081, 0x10D0, 0x10D9, 0x10D7, 0x10D8, 0x10D1, 0x10D2},
        {0x80F0, 0x8E04, 0x8C00, 0x8200, 0x8201, 0x8202, 0x8E00, 0x8E11, 0x8E02, 0x8E03,
         0x8E01, 0x8600, 0x8609, 0x8607, 0x8608, 0x8601, 0x8602},
    };
    return maps[arch == 1 ? 1 : 0];
}

}  // namespace vcam
