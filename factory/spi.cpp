// The serial flash's own commands: identification, status, protection.
#include "spi.h"

#include <cctype>

#include "SFData/type_names.h"
#include "internal/sf_bytes.h"

namespace orvex_factory {

bool spi_command(const BYTE* send, int n_send, BYTE* recv, int n_recv) {
    return orvex_sf::command(send, n_send, recv, n_recv);
}

FlashId read_flash_id() {
    FlashId f;
    const BYTE rdid = orvex_sf::kCmdReadJedecId;
    if (!spi_command(&rdid, 1, f.id, 3))
        throw Failure(TRANSFER, "reading the flash's JEDEC id through the SPI master failed");
    sfManufactureID = f.id[0];
    sfDeviceID1 = f.id[1];
    sfDeviceID2 = f.id[2];
    // Row 0 is empty; a second device byte of 0xFF in the table means the
    // part answers with one device byte only, so any value matches.
    for (long row = 1; row < ubSFLib_GetIDSize() && row < SFLIB_ID_ROWS; ++row) {
        const BYTE* r = cbSFLib_ID[row];
        if (r[0] == f.id[0] && r[1] == f.id[1] && (r[2] == 0xFF || r[2] == f.id[2])) {
            f.row = static_cast<int>(row);
            f.type = static_cast<SERIAL_FLASH_TYPE>(r[3]);
            break;
        }
    }
    return f;
}

bool read_status_register(BYTE* status) {
    const BYTE rdsr = orvex_sf::kCmdReadStatus;
    return spi_command(&rdsr, 1, status, 1);
}

std::string protection_note() {
    BYTE status = 0;
    if (!read_status_register(&status) || !(status & orvex_sf::kStatusWriteLocks)) return "";
    return "it is write-protected (status register " + hex(status, 2) + ")";
}

const char* flash_type_name(int type) { return orvex::flash_type_name(type); }

SERIAL_FLASH_TYPE parse_flash_type(const std::string& name) {
    std::string n;
    for (char c : name) n += c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (n.rfind("SFT_", 0) == 0) n = n.substr(4);
    for (int i = 1; i < orvex::kFlashTypeCount; ++i)
        if (n == orvex::flash_type_name(i)) return static_cast<SERIAL_FLASH_TYPE>(i);
    std::string all;
    for (int i = 1; i < orvex::kFlashTypeCount; ++i) all += std::string(i > 1 ? ", " : "") + orvex::flash_type_name(i);
    throw Failure(USAGE, "unknown flash type '" + name + "' (one of auto, " + all + ")");
}

}  // namespace orvex_factory
