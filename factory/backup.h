// Internal: the backup document (the calibration area and the
// identification blocks as one self-describing JSON document with a
// CRC-32 over all of it) and the backup folder, where no backup ever
// replaces a file.
#ifndef ORVEX_FACTORY_BACKUP_H
#define ORVEX_FACTORY_BACKUP_H

#include "device.h"
#include "identity.h"
#include "session.h"

namespace orvex_factory {

// What a backup holds, and the only places a restore may write.
struct BackupRange {
    long addr, len;
};
const std::vector<BackupRange>& backup_ranges();
long backup_bytes();  // what make_backup reads from the flash

// Reads the ranges from the open camera (progress under "backup").
json make_backup(Session& s, const Chip& chip, const FwVersion& fw);
// Throws REFUSED naming `name` when doc is not a backup document, damaged
// (CRC, a range of the wrong length or at an unknown address) or of
// another version.
void check_backup(const json& doc, const std::string& name);
json load_backup(const std::string& file);  // parsed and checked
// The bytes of one backed-up range, or empty.
Bytes backup_range(const json& doc, long addr);
UnitIdentity backup_identity(const json& doc);
// A backup worth keeping: some valid identification block and a
// calibration area that is not blank.
bool backup_is_good(const json& doc);

// The session's backup folder: the one it names, else
// $XDG_STATE_HOME/orvex, else ~/.local/state/orvex.
std::string backup_dir(const Session& s);
// Creates the folder and its parents (0700); throws FILE_ERROR.
void make_dir_path(const std::string& path);
// Saves under a new unique name in the backup folder (the chip, the unit's
// identification and a time stamp to the microsecond); returns the path.
std::string save_backup(Session& s, const json& doc);
// Writes the document to file, which must not exist; throws FILE_ERROR
// when it cannot be written and REFUSED when it exists.
void save_backup_as(Session& s, const json& doc, const std::string& file);
// The newest good backup in the folder of this chip whose unit the
// identity rule calls the same as `unit`; empty when there is none, and
// always when `unit` carries no identity (nothing shows which is its own).
std::string newest_good_backup(Session& s, const std::string& chip_id, const UnitIdentity& unit);

}  // namespace orvex_factory

#endif
