/* libOrvexFactory: the safe operations every Orvex front end shares.
 *
 * Built on the exported API of libOrvexBase and libOrvexConfig only, it
 * owns the rules that keep a unit's one-of-a-kind data safe: the unit's
 * identity (both identification blocks and the USB identity), backups and
 * their restore, the calibration document with one validation for every
 * write, guarded flash regions, firmware burns that keep the calibration,
 * and one read-back verification that names the first differing address.
 *
 * Every operation works on a session (one camera, chosen by video index)
 * and returns an OrvexFactoryStatus; the same numbers are orvexctl's exit
 * codes. Its result object carries one message (what failed, why and how
 * to recover, empty on success) and the whole result as a JSON object.
 * Nothing here prints: notes go to the session's log callback.
 *
 * The ABI is plain C: booleans are 32-bit ints, LONG is 64-bit, strings
 * are NUL-terminated UTF-8 owned by the library until the result (or the
 * session) is freed. */
#ifndef ORVEX_FACTORY_H
#define ORVEX_FACTORY_H

#include "util.h"

ORVEX_EXTERN_C_BEGIN

/* Outcome classes, also orvexctl's exit codes. */
typedef enum {
    ORVEX_FACTORY_OK = 0,
    ORVEX_FACTORY_FILE = 1,      /* a local file could not be read or written */
    ORVEX_FACTORY_USAGE = 2,     /* an argument the operation cannot take */
    ORVEX_FACTORY_NO_DEVICE = 3, /* no such camera, it cannot be opened, or another process holds it */
    ORVEX_FACTORY_NOT_OURS = 4,  /* no extension unit, unknown chip, or no identification block */
    ORVEX_FACTORY_TRANSFER = 5,  /* a transfer failed or the flash refused the operation */
    ORVEX_FACTORY_VERIFY = 6,    /* the read-back differs from what was written */
    ORVEX_FACTORY_REFUSED = 7,   /* refused for safety: another unit, a guarded region, a bad value */
    ORVEX_FACTORY_CANCELLED = 130 /* OrvexFactory_Cancel stopped a phase that writes nothing */
} OrvexFactoryStatus;

/* Operation flags. */
#define ORVEX_FACTORY_FORCE 0x0001u               /* restore another unit's backup, or onto a camera without identity */
#define ORVEX_FACTORY_DRY_RUN 0x0002u             /* check and report, change nothing */
#define ORVEX_FACTORY_INCLUDE_CALIBRATION 0x0004u /* flash writes may touch calibration and identification sectors */
#define ORVEX_FACTORY_NO_VERIFY 0x0008u           /* skip the read-back of a flash write */
#define ORVEX_FACTORY_EDITED 0x0010u              /* calibration document edited by hand: its checksum is not checked */
#define ORVEX_FACTORY_UNKNOWN_SENSOR_TYPE 0x0020u /* accept a sensor type that is not in the known list */

typedef struct OrvexFactorySession OrvexFactorySession;
typedef struct OrvexFactoryResult OrvexFactoryResult;

/* Log levels of the callback. */
#define ORVEX_FACTORY_LOG_NOTE 0 /* worth telling the operator (warnings, backups written) */
#define ORVEX_FACTORY_LOG_INFO 1 /* detail for whoever asks (flash type found, library messages) */
typedef void (*OrvexFactoryLogFn)(void* context, int level, const char* message);
/* Progress of a phase ("read", "erase", "program", "verify", ...): done and
 * total in bytes; called with done 0 when a phase starts and done == total
 * when it has finished. A phase that failed never reports its end. */
typedef void (*OrvexFactoryProgressFn)(void* context, const char* phase, LONG done, LONG total);

/* ------------------------------------------------------------ sessions */
/* A session opens the camera for each operation and closes it again; when
 * the host already holds a camera open through OrvexTac_Init, operations
 * work on that connection and leave it open. The calibration operations go
 * through libOrvexConfig, which opens and closes the camera itself: they
 * must not be called while the host holds it open. */

/* A session on /dev/video<index>; opens nothing yet. NULL when out of memory. */
ORVEX_API OrvexFactorySession* OrvexFactory_New(int video_index);
/* Releases the camera lock the session holds and frees it. */
ORVEX_API void OrvexFactory_Free(OrvexFactorySession* session);
ORVEX_API void OrvexFactory_SetLog(OrvexFactorySession* session, OrvexFactoryLogFn fn, void* context);
ORVEX_API void OrvexFactory_SetProgress(OrvexFactorySession* session, OrvexFactoryProgressFn fn, void* context);
/* A running count of the extension-unit queries the process has issued,
 * for callers that can see them (an ioctl interposer, a virtual camera's
 * trace): operations that report phases give each phase's share. Without
 * one, phase query counts are 0. */
typedef LONG (*OrvexFactoryCountFn)(void* context);
ORVEX_API void OrvexFactory_SetQueryCounter(OrvexFactorySession* session, OrvexFactoryCountFn fn, void* context);
/* Seconds to wait for a camera another process holds (default 30). */
ORVEX_API void OrvexFactory_SetWait(OrvexFactorySession* session, LONG seconds);
/* Folder of calibration backups; NULL or "": $XDG_STATE_HOME/orvex, else ~/.local/state/orvex. */
ORVEX_API BOOL OrvexFactory_SetBackupDir(OrvexFactorySession* session, const char* dir);
/* Flash type by name (MXIC, ST, ...) or "auto" (the default: the JEDEC id decides). */
ORVEX_API BOOL OrvexFactory_SetFlashType(OrvexFactorySession* session, const char* name);
/* A text naming the program for the lock's holder record ("orvexctl burn fw.bin"). */
ORVEX_API void OrvexFactory_SetCommand(OrvexFactorySession* session, const char* command);
/* The archive the session's burns, backups, restores, flash verifies and
 * calibration imports and edits are recorded in: an SQLite file (created
 * when missing); NULL or "": none (the default). Each operation adds a
 * "started" row once the camera is identified and a "finished" row with
 * its outcome; the calibration it saw is kept by its SHA-256. The archive
 * never changes an operation's status: when it cannot be written, the log
 * callback and the result's "archive" member ({"recorded": 0, "error"})
 * say so. Dry runs are not recorded. */
ORVEX_API BOOL OrvexFactory_SetArchive(OrvexFactorySession* session, const char* archive);
/* The line database (postgresql://... URL) the session's archive file
 * forwards to; NULL or "": none (the default). After each recorded
 * operation the rows the line lacks are sent, waiting at most
 * $ORVEX_ARCHIVE_TIMEOUT seconds (default 5) per connection and statement;
 * the result's "archive" member says under "forward" how many were sent
 * and how many are still pending, and "error" when the line could not be
 * reached. Forwarding never changes an operation's status. Ignored when
 * the archive is itself a line database. */
ORVEX_API BOOL OrvexFactory_SetLineArchive(OrvexFactorySession* session, const char* line);
/* Asks the running operation to stop; safe in a signal handler. Phases that
 * only read stop at once (ORVEX_FACTORY_CANCELLED): reads, verifies, the
 * backup before a burn, and the sector-wise burn's final read-back. Phases
 * that write finish first, since stopping them would leave a camera that
 * does not boot; so does the library method's read-back, which the
 * calibration's write-back follows. */
ORVEX_API void OrvexFactory_Cancel(OrvexFactorySession* session);

/* ------------------------------------------------------------ results */

ORVEX_API int OrvexFactory_ResultStatus(const OrvexFactoryResult* result);
/* "" on success; otherwise one readable block: what failed, why, and the
 * commands that recover the camera when it is not as promised. */
ORVEX_API const char* OrvexFactory_ResultMessage(const OrvexFactoryResult* result);
/* The whole result as a compact JSON object. */
ORVEX_API const char* OrvexFactory_ResultJson(const OrvexFactoryResult* result);
/* The first flash address that differs after a write, else -1. */
ORVEX_API LONG OrvexFactory_ResultAddress(const OrvexFactoryResult* result);
/* errno of the failed transfer, 0 when none. */
ORVEX_API int OrvexFactory_ResultErrno(const OrvexFactoryResult* result);
ORVEX_API void OrvexFactory_ResultFree(OrvexFactoryResult* result);
/* The driver's reason for a failed extension-unit query from its errno
 * ("the camera is gone: unplugged or reset (ENODEV)"), "" when errno says
 * nothing the driver would. Static text. */
ORVEX_API const char* OrvexFactory_TransferReason(int err);

/* Every operation below returns its status and, when result is not NULL,
 * stores a result object the caller frees with OrvexFactory_ResultFree. */

/* ------------------------------------------------------------ identity */

/* The camera: extension unit, chip, ROM, firmware version, flash JEDEC id
 * and type, both identification blocks, the unit identity and the USB
 * identity (serial, USB path, vendor:product, udev links). */
ORVEX_API int OrvexFactory_Info(OrvexFactorySession* session, OrvexFactoryResult** result);
/* Every video node, whether an Orvex camera answers there, and its identities. */
ORVEX_API int OrvexFactory_ListCameras(OrvexFactoryResult** result);
/* The video index a selector names: "N", "/dev/videoN", a /dev/v4l link,
 * "serial=S" or "usb=P". The result's JSON holds {"index": N}. */
ORVEX_API int OrvexFactory_FindCamera(const char* selector, int* index, OrvexFactoryResult** result);

/* ------------------------------------------------------------ flash */

/* Reads [addr, addr+len) into buffer. */
ORVEX_API int OrvexFactory_FlashRead(OrvexFactorySession* session, LONG addr, BYTE* buffer, LONG len,
                                     OrvexFactoryResult** result);
/* Rewrites [addr, addr+len) sector by sector, skipping sectors that already
 * hold the data, then reads every byte back. Sectors holding calibration
 * records or an identification block are refused unless flags include
 * ORVEX_FACTORY_INCLUDE_CALIBRATION. */
ORVEX_API int OrvexFactory_FlashWrite(OrvexFactorySession* session, LONG addr, const BYTE* data, LONG len,
                                      unsigned flags, OrvexFactoryResult** result);
/* Erases whole erase units of [addr, addr+len), guarded like a write, and
 * checks that they read blank. */
ORVEX_API int OrvexFactory_FlashErase(OrvexFactorySession* session, LONG addr, LONG len, unsigned flags,
                                      OrvexFactoryResult** result);
/* Compares the flash with data and counts the differences per region;
 * ORVEX_FACTORY_VERIFY when any byte differs. */
ORVEX_API int OrvexFactory_FlashVerify(OrvexFactorySession* session, LONG addr, const BYTE* data, LONG len,
                                       OrvexFactoryResult** result);
/* Whether a write or erase of [addr, addr+len) may go ahead: REFUSED when
 * it touches calibration records or an identification block's sector and
 * flags lack ORVEX_FACTORY_INCLUDE_CALIBRATION. No camera needed. */
ORVEX_API int OrvexFactory_GuardRegion(LONG addr, LONG len, unsigned flags, OrvexFactoryResult** result);
/* The flash region NAME ("whole", "firmware", "calibration", "free",
 * "identification-1", "identification-2") as [*from, *to); 0 for an
 * unknown name. */
ORVEX_API BOOL OrvexFactory_Region(const char* name, LONG* from, LONG* to);
/* The name of region INDEX, counting from 0; NULL past the last. */
ORVEX_API const char* OrvexFactory_RegionName(int index);

/* ------------------------------------------------------------ backups */

/* Saves the calibration area and the identification blocks as a backup
 * document into the backup folder and, when file is not NULL, into file,
 * which must not exist yet: a backup never replaces a file. */
ORVEX_API int OrvexFactory_Backup(OrvexFactorySession* session, const char* file, OrvexFactoryResult** result);
/* Restores a backup document. A backup of another unit, one whose unit
 * cannot be told the same (its identification block at the other
 * location), or a camera without identity is refused unless flags include
 * ORVEX_FACTORY_FORCE; another chip's is always refused. Every restored
 * range is read back. */
ORVEX_API int OrvexFactory_Restore(OrvexFactorySession* session, const char* file, unsigned flags,
                                   OrvexFactoryResult** result);

/* Restores the newest good calibration the session's archive
 * (OrvexFactory_SetArchive) holds of this camera's unit, found by the
 * camera's identification blocks and chip, as OrvexFactory_Restore does
 * with its backup (the same identity rule and flags). A camera without
 * identity, or a unit the archive holds no good calibration of, is
 * ORVEX_FACTORY_REFUSED. */
ORVEX_API int OrvexFactory_RestoreFromArchive(OrvexFactorySession* session, unsigned flags,
                                              OrvexFactoryResult** result);

/* ------------------------------------------------------------ calibration */

/* The calibration records as the document orvexctl exports:
 * {"document": {...}, "records": {...}, "unit": {"tag", "number"} or null,
 * "image": {"width", "height", "known_type"} or null (the image the sensor
 * type names)}. A non-finite float the flash holds is the string "NaN",
 * "Infinity" or "-Infinity". */
ORVEX_API int OrvexFactory_CalibRead(OrvexFactorySession* session, OrvexFactoryResult** result);
/* Writes the calibration document to file (replacing it atomically). */
ORVEX_API int OrvexFactory_CalibExport(OrvexFactorySession* session, const char* file, OrvexFactoryResult** result);
/* Imports a calibration document from file: its checksum must match unless
 * flags include ORVEX_FACTORY_EDITED; every value is validated either way. */
ORVEX_API int OrvexFactory_CalibImport(OrvexFactorySession* session, const char* file, unsigned flags,
                                       OrvexFactoryResult** result);
/* Writes the records a JSON object names ("marker", "sensor_type",
 * "extra_params", "rectify"; null erases one, an absent key keeps it),
 * validated as an import is, then read back; only records that change are
 * written. Every value must be one the store's type holds exactly (int32:
 * an integer within 32 bits; float32: finite, within range, not rounding
 * to 0; send a non-finite float as "NaN"/"Infinity"/"-Infinity" to have it
 * refused by name); the sensor type a known one unless flags include
 * ORVEX_FACTORY_UNKNOWN_SENSOR_TYPE; base points inside its image. A
 * refusal is ORVEX_FACTORY_REFUSED naming the field path and the value
 * ("records.extra_params[1]: NaN is not a finite number"). The result
 * holds "records" and "was" (the named records after and before),
 * "checks" and "changes"; ORVEX_FACTORY_DRY_RUN writes nothing. */
ORVEX_API int OrvexFactory_CalibWrite(OrvexFactorySession* session, const char* records_json, unsigned flags,
                                      OrvexFactoryResult** result);
/* Checks records without a camera; camera_sensor_type (may be NULL) is the
 * type in force when the records carry none. */
ORVEX_API int OrvexFactory_CalibValidate(const char* records_json, const char* camera_sensor_type, unsigned flags,
                                         OrvexFactoryResult** result);

/* ------------------------------------------------------------ burning */

typedef struct {
    LONG size;               /* sizeof(OrvexFactoryBurnOptions) */
    int library_method;      /* 0: sector-wise (keeps the calibration in the flash); 1: the library's chip-erase burner */
    int sample_verify;       /* 0: every byte read back; 1: 8 bytes per KiB */
    int erase_calibration;   /* give the calibration up (library method) */
    int no_backup;           /* with erase_calibration: take no backup */
    int dry_run;             /* check and plan, touch nothing */
    unsigned force;          /* image checks to override: ORVEX_FACTORY_CHECK_* */
    const char* backup_file; /* also save the backup here (must not exist); NULL: none */
    const char* image_name;  /* for messages and recovery advice */
    /* The firmware-version rule: before anything is erased the image's
     * firmware version (code version, customer version, date, at the
     * place the chip keeps them) is compared with the camera's. An older
     * image is refused unless allow_older, the same version unless
     * allow_reinstall. A camera whose firmware area is blank or damaged
     * takes any version. Callers built before these fields existed (a
     * smaller size) keep the burn they were built for: both allowed. */
    int allow_older;
    int allow_reinstall;
} OrvexFactoryBurnOptions;

#define ORVEX_FACTORY_CHECK_LENGTH 0x1u         /* long enough for this chip's version fields */
#define ORVEX_FACTORY_CHECK_VERSION_RECORD 0x2u /* a code version where this chip keeps it */
#define ORVEX_FACTORY_CHECK_ID_BLOCK 0x4u       /* an identification block after the burn */

/* Zeroes the options and sets size: the sector-wise burn, full read-back,
 * a backup, and older or same-version images refused. */
ORVEX_API void OrvexFactory_BurnOptionsInit(OrvexFactoryBurnOptions* options);
ORVEX_API int OrvexFactory_Burn(OrvexFactorySession* session, const BYTE* image, LONG len,
                                const OrvexFactoryBurnOptions* options, OrvexFactoryResult** result);

/* ------------------------------------------------------------ archive */
/* Each opens the archive (migrating it to this library's schema; an
 * archive of a newer schema, or one that cannot be migrated, is
 * ORVEX_FACTORY_FILE and left as it is). */

/* Counts: events, operations, interrupted (started, never finished),
 * failed, units, calibrations, pending (not yet forwarded); the schema
 * version and the station's id. */
ORVEX_API int OrvexFactory_ArchiveStatus(const char* archive, OrvexFactoryResult** result);
/* The unit's operations ("OG 123"), oldest first, each with its state
 * ("ok", "failed" or "interrupted"), and its calibrations, the first
 * marked "first". */
ORVEX_API int OrvexFactory_ArchiveHistory(const char* archive, const char* unit, OrvexFactoryResult** result);

/* Writes every row to file as JSON lines ({"event": {...}} and
 * {"calibration": {...}}, raw bytes in hex), for a line without a network. */
ORVEX_API int OrvexFactory_ArchiveExport(const char* archive, const char* file, OrvexFactoryResult** result);
/* Adds the rows of path: an export's JSON lines, a backup document or a
 * folder of them (each a backup event with its calibration), or an
 * orvexctl --log file (one event a line). Rows already there (by UUID;
 * calibrations by SHA-256) are skipped, so the same import twice adds
 * nothing; rows from backups and logs get a UUID made from their content.
 * The result counts "added" and "already_there"; damaged backups are
 * listed under "skipped". */
ORVEX_API int OrvexFactory_ArchiveImport(const char* archive, const char* path, OrvexFactoryResult** result);
/* Yield per station and per UTC day: "rows" (one per station and day),
 * "stations" and "days" (their totals) and "line" (the whole line), each
 * with units seen, operations, burns, passed_burns, failed_burns (finished
 * with a non-zero exit code), interrupted (operations of any kind started
 * and never finished) and yield (passed_burns / burns; null without
 * burns). An operation counts on the day and station of its first row; an
 * interrupted burn is a burn that did not pass. options: NULL, "" or a
 * JSON object with "since" and "until" (UTC days, YYYY-MM-DD, both
 * included) and "station" (a station's id), each optional. */
ORVEX_API int OrvexFactory_ArchiveSummary(const char* archive, const char* options, OrvexFactoryResult** result);
/* Records one station run (kind "station run": a started and a finished
 * row) besides its cameras' own operations. run: a JSON object with
 * "exit_code" (the run's) and "cameras" (each camera's serial, node and
 * exit code), and optionally "command", "operator", "started_utc",
 * "image_name", "image_sha256", "image_length"; the whole object is kept
 * as the finished row's result. With "line" (a line database's URL, not
 * kept) the rows are then forwarded there as a recorded operation's are,
 * the outcome in the result's "forward". */
ORVEX_API int OrvexFactory_ArchiveStationRun(const char* archive, const char* run, OrvexFactoryResult** result);

/* Forwards every row of the station's archive file that the line database
 * (a postgresql://... URL) lacks, in batches of one remote transaction;
 * rows are marked forwarded only once the line committed them, and the
 * line skips what it has, so a repeated or interrupted sync never adds a
 * row twice. The result counts "sent" and "pending"; a line that cannot
 * be reached or refuses a batch is ORVEX_FACTORY_TRANSFER with the same
 * counts, the rest left pending. */
ORVEX_API int OrvexFactory_ArchiveSync(const char* archive, const char* line, OrvexFactoryResult** result);

ORVEX_EXTERN_C_END

#endif
