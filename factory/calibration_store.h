// Internal: the calibration records through libOrvexConfig. The store is
// silent about failures and cannot tell a never-written record (0xFF
// bytes) from a written one, so reads check the identification blocks
// first and compare the store's decoding with the raw record bytes; every
// save is read back. The store opens and closes the camera itself: these
// hold the session's lock, never the camera open, while it works.
#ifndef ORVEX_FACTORY_CALIBRATION_STORE_H
#define ORVEX_FACTORY_CALIBRATION_STORE_H

#include "calibration_document.h"
#include "identity.h"
#include "session.h"

namespace orvex_factory {

struct StoredCalibration {
    CalibRecords records;
    UnitIdentity unit;
};
// NOT_OURS when no identification block lets the store work on the
// camera; TRANSFER when the store's decoding differs from the flash.
StoredCalibration load_calibration(Session& s);

// Writes the records of `want` that differ from `have` (an absent record
// is erased: the state of a never-written one), then reads them back:
// VERIFY naming the first record that differs.
void save_calibration(Session& s, const CalibRecords& want, const CalibRecords& have);

}  // namespace orvex_factory

#endif
