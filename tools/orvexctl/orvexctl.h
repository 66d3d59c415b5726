// orvexctl: the factory and calibration tool. Internal declarations shared
// by the command files. Every device access goes through the exported API
// of libOrvexBase (OrvexTac_ and OV_ layers) and libOrvexConfig.
#ifndef ORVEXCTL_H
#define ORVEXCTL_H

#include <signal.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "OrvexFactory.h"
#include "OrvexTac.h"
#include "internal/store_layout.h"

namespace orvexctl {

using json = nlohmann::json;
using Bytes = std::vector<uint8_t>;

// ------------------------------------------------------------ exit codes
enum Exit : int {
    EXIT_OK = 0,
    EXIT_FILE = 1,        // a local file could not be read or written
    EXIT_USAGE = 2,       // bad command line
    EXIT_NO_DEVICE = 3,   // no such node, or it cannot be opened
    EXIT_NOT_OURS = 4,    // opens, but chip or identification block not recognised
    EXIT_TRANSFER = 5,    // a library call failed, or the device refused the operation
    EXIT_VERIFY = 6,      // read-back differs from what was written
    EXIT_REFUSED = 7,     // refused for safety (calibration overlap, damaged or foreign file)
};
const char* exit_code_table();  // for --help and the README

// A command ends early with an exit code and a message.
struct Failure : std::runtime_error {
    Failure(int code, const std::string& msg, bool name_cameras = false)
        : std::runtime_error(msg), code(code), name_cameras(name_cameras), err(errno) {}
    int code;
    // No camera of ours at the chosen node: the message then also names
    // the nodes where one answers.
    bool name_cameras;
    // errno when thrown: the libraries leave the failed ioctl's there, and
    // a transfer failure's message then names the driver's reason.
    int err;
};
// The driver's reason for a failed extension-unit query, from its errno
// ("" when errno says nothing the driver would).
std::string driver_reason(int err);

// ------------------------------------------------------------ options and output
struct Options {
    int device = 0;        // the chosen camera's video index, once resolved
    bool json = false;
    int verbosity = 0;          // -1 quiet, 0 normal, >0 verbose
    std::string progress = "auto";
    int wait_s = 30;       // how long to wait for a camera another process holds
    std::string command;   // the command line, for the lock's holder record
    std::vector<std::string> args;  // the arguments as given, for the station log
    std::string subcommand;         // "burn", "calib import", ...
    std::string log_file;           // --log: the station log
    std::string backup_dir;         // --backup-dir; empty: the library's default
    std::vector<std::string> backups_written;  // by this command, for the log
    std::string log_result;  // the result for the log when no error says it
};
// Appends the command's line to the station log (--log), if any.
void log_command(int code, const std::string& error);
// Appends one JSON object as one line with one write: several processes
// may append to the same log at once. Never throws; false when it failed.
bool append_log_line(const std::string& file, const json& line);
// Holds the camera /dev/video<index> for the rest of the command (first
// call only); throws EXIT_NO_DEVICE naming the holder after --wait.
void hold_camera(int index);
void release_camera();
extern Options g_opt;

// The tool's own standard output. The library prints its diagnostics with
// printf to standard output; once set up, those land in a capture buffer so
// that they can neither corrupt a JSON document nor flood a listing.
FILE* out();
void start_capturing_library_output();
std::string captured_library_output();
// Also captures standard error while alive: OrvexTac_Init and UnInit write
// their failures there.
class QuietStderr {
public:
    QuietStderr();
    ~QuietStderr();
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;
private:
    int saved_ = -1;
};
// With --progress=json every line on standard error is a JSON object:
// progress lines, {"note": ...}, {"info": ...}, {"error": ..., "exit_code"}
// and {"signal": ...}.
bool json_lines();
void message_line(const char* kind, const std::string& msg, int code = -1);
void note(const std::string& msg);  // to stderr unless -q
void info(const std::string& msg);  // to stderr only with -v
// Prints the result: the JSON document with --json, otherwise the text.
void emit(const json& doc, const std::string& text);

// ------------------------------------------------------------ helpers
long parse_number(const std::string& s, const char* what);   // 0x.. hex, else decimal
long parse_hex(const std::string& s, const char* what);      // hex with or without 0x
Bytes parse_hex_bytes(const std::vector<std::string>& args); // "12 34", "1234", "12,34"
std::string hex(uint64_t v, int digits);
std::string hex_bytes(const uint8_t* p, size_t n);
uint32_t crc32(const uint8_t* p, size_t n, uint32_t crc = 0);
Bytes read_file(const std::string& path);
// Writes an output file; throws EXIT_FILE. "-" is standard output (the
// command's result then goes to standard error). A device, FIFO or socket
// is written in place; a symbolic link is followed and its target
// replaced atomically (temporary file, fsync, rename), as is a regular file.
void write_file(const std::string& path, const void* data, size_t n);
bool results_to_stderr();
inline void write_file(const std::string& path, const std::string& s) {
    write_file(path, s.data(), s.size());
}

// SVG plots (calib.cpp): text made safe inside SVG, a plot's file name
// checked before any work (FILE.svg, - for standard output, or FILE.png
// when rsvg-convert is installed), and the plot written in that format.
std::string xml_text(const std::string& s);
void check_plot_name(const std::string& file);
void write_plot(const std::string& file, const std::string& svg);

// Extension-unit queries issued by this process so far (query_count.cpp).
uint64_t queries_issued();

// ------------------------------------------------------------ progress
// Columns of the terminal on standard error ($COLUMNS, else 80, elsewhere).
int terminal_width();
class Progress {
public:
    // Unmeasured phases (one long library call) show the time elapsed
    // instead of a fraction until they finish.
    Progress(const char* phase, uint64_t total_bytes, bool measured = true);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    void update(double fraction);  // 0..1
    void finish();
    // Adapter for OrvexTac_BurnerFW; never throws.
    static void callback(void* self, float fraction);
private:
    void draw(double fraction, double now_s);
    void tick();
    void stop_ticker();
    std::string phase_;
    uint64_t total_;
    bool measured_;
    int mode_;  // none, bar, JSON lines, phase lines
    double start_s_;
    double last_fraction_ = -1;
    double last_print_s_ = -1;
    bool done_ = false;
    // On a terminal: redraws when the updates pause.
    std::mutex m_;
    std::condition_variable cv_;
    bool stopping_ = false;
    std::thread ticker_;
};

// ------------------------------------------------------------ device
constexpr long kFlashSize = 0x40000;

// Opens /dev/video<N> for the duration of a command.
class Session {
public:
    explicit Session(int index);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    void close();
private:
    bool open_ = false;
};

struct Identity {
    int unit = 0;
    BYTE chip_id = 0;
    DSP_ARCH_TYPE arch = DAT_UNKNOW;
    DSP_ROM_TYPE rom_class = DRT_Unknow;
    bool rom_known = false;
    BYTE rom_version[8] = {};
    unsigned rom_row = 0;
};
// Finds the extension unit and classifies the chip (register reads only).
// With rom, also matches the mask-ROM revision (that probes registers).
Identity identify(bool rom);
// ------------------------------------------------------------ selection
// What sysfs and udev say about /dev/video<index> ("" where nothing does).
struct NodeIdentity {
    int index = 0;
    std::string node, name, node_index, serial, usb_path, vendor, product, driver, by_id, by_path;
};
NodeIdentity node_identity(int index);
struct Selector {
    std::string device;  // -d: N, /dev/videoN or a /dev/v4l link
    std::string serial, usb_path;
};
// The video index the selector names; throws EXIT_USAGE or EXIT_NO_DEVICE.
int resolve_device(const Selector& s);
// The video index a station's camera name gives: N, /dev/videoN, a
// /dev/v4l link, serial=S or usb=P.
int find_camera(const std::string& selector);
// A node opened and asked whether it is ours, as the library lists it.
struct NodeProbe {
    NodeIdentity id;
    bool opens = false;
    bool ours = false;
    json doc;  // the library's description of the node
};
std::vector<NodeProbe> probe_nodes();
// "an Orvex camera answers at /dev/video1 (serial A1)", skipping index except.
std::string where_ours_answer(int except);
// One line naming a camera for tables and logs: serial, else the node.
std::string camera_label(const NodeIdentity& n);

// ------------------------------------------------------------ commands
int cmd_list();
int cmd_info();
int cmd_xu_get(int unit, int selector, int size);
int cmd_xu_set(int unit, int selector, const Bytes& data, bool dry_run);
int cmd_reg_read(long addr, long count);
int cmd_reg_write(long addr, const Bytes& data, bool dry_run);
int cmd_sensor_read(long slave, long addr, long count);
int cmd_sensor_write(long slave, long addr, const Bytes& data, bool dry_run);
int cmd_flash_read(long addr, long len, const std::string& file);
struct FlashWriteOptions {
    std::string flash_type = "auto";
    bool verify = true;
    bool include_calibration = false;
    bool dry_run = false;
};
int cmd_flash_write(long addr, const std::string& file, const FlashWriteOptions& o);
int cmd_flash_erase(long addr, long len, const FlashWriteOptions& o);
int cmd_flash_verify(long addr, const std::string& file);
struct BurnOptions {
    std::string image;
    std::string verify = "full";  // full: every byte; sample: the library's 8 bytes per KiB
    std::string flash_type = "auto";
    bool erase_calibration = false;
    bool no_backup = false;
    bool dry_run = false;
    std::vector<std::string> force;  // image checks to override, by name
    std::string backup;  // a further copy of the backup, besides the backup folder
    std::string method;  // sector (the default) or library; empty: not given
    bool allow_older = false;      // an image older than the camera's firmware
    bool allow_reinstall = false;  // the camera's own firmware version again
};
int cmd_burn(const BurnOptions& o);

// SIGINT, SIGTERM and SIGHUP are held off while alive: the first prints
// MESSAGE (a static string), later ones a short reminder.
class SignalGuard {
public:
    explicit SignalGuard(const char* message);
    // A phase that only reads, after which nothing is written: a signal
    // during it stops it at once through OrvexFactory_Cancel. NULL: writes
    // again, signals held off.
    void read_only(OrvexFactorySession* session);
    ~SignalGuard();
    SignalGuard(const SignalGuard&) = delete;
    SignalGuard& operator=(const SignalGuard&) = delete;
    int received() const;
private:
    struct sigaction saved_[3];
};

int cmd_calib_show();
int cmd_calib_export(const std::string& file);
int cmd_calib_import(const std::string& file, bool edited, bool dry_run, bool unknown_type);
int cmd_calib_set_sensor_type(const std::string& text, bool dry_run, bool unknown_type);
int cmd_calib_set_params(const std::vector<std::string>& values, bool dry_run);
int cmd_calib_plot(const std::string& file);

int cmd_backup(const std::string& file);
int cmd_restore(const std::string& file, bool force, const std::string& flash_type, bool dry_run);
int cmd_doctor();
const char* udev_rule();

// The calibration area and the identification sectors.
constexpr long kCalibStart = orvex_store::kCalibStart, kCalibEnd = orvex_store::kCalibEnd;
constexpr long kId2SectorStart = orvex_store::kIdSecondSector,
               kId2SectorEnd = orvex_store::kIdSecondSector + orvex_store::kSectorSize;

}  // namespace orvexctl

#endif
