// The virtual camera's trace: every query and every sleep as it happened,
// and the one decoder that turns those queries into what they mean on the
// device — register accesses, serial-flash frames, flash-data transfers,
// mask-ROM fetches, I2C transactions. Tests compare these typed events;
// trace files hold them as JSON lines (trace_json.cpp).
#ifndef ORVEX_VCAM_TRACE_H
#define ORVEX_VCAM_TRACE_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vcam {

enum : uint8_t {
    REQ_SET_CUR = 0x01,
    REQ_GET_CUR = 0x81,
    REQ_GET_MIN = 0x82,
    REQ_GET_MAX = 0x83,
    REQ_GET_RES = 0x84,
    REQ_GET_LEN = 0x85,  // 2 bytes: the control's size, little-endian
    REQ_GET_INFO = 0x86, // 1 byte: bit 0 GET supported, bit 1 SET supported
    REQ_GET_DEF = 0x87,
};

// The firmware's extension-unit controls.
enum : uint8_t {
    SEL_REGISTER = 1,    // {addr lo, addr hi, value, op}: op 0xFF reads
    SEL_FLASH_DATA = 3,  // {addr lo, addr hi, control, data[8]}
    SEL_ROM = 4,         // {addr lo, addr hi, count, 0...}
    SEL_MEMTYPE = 5,
};

struct QueryRecord {
    int camera = 0;         // video index of the camera that was addressed
    int pid = 0;            // process that sent the query
    uint8_t unit = 0;
    uint8_t selector = 0;
    uint8_t request = 0;    // REQ_SET_CUR or REQ_GET_CUR (or anything sent)
    uint16_t size = 0;
    std::vector<uint8_t> sent;     // payload handed in (SET_CUR)
    std::vector<uint8_t> returned; // payload handed back (GET_CUR, on success)
    int result = 0;                // what ioctl returned: 0 or -1
    int error = 0;                 // errno when result is -1
    uint64_t at_us = 0;
};

// The record of a query as it arrives: the payload is kept for SET_CUR.
QueryRecord query_record(int camera, uint8_t unit, uint8_t selector, uint8_t request,
                         uint16_t size, const uint8_t* data);

struct TraceEvent {
    enum Kind { QUERY, SLEEP } kind = QUERY;
    QueryRecord query;      // kind == QUERY
    uint64_t sleep_us = 0;  // kind == SLEEP: requested duration
};

// ---------------------------------------------------------------- events
// One register access on selector 1: a write is one SET_CUR; a read is a
// SET_CUR with op 0xFF and the GET_CUR that follows it.
struct RegisterAccess {
    bool write = false;
    uint16_t addr = 0;
    uint8_t value = 0;  // written value, or value read (when ok)
    bool ok = false;    // every query of the access succeeded
    // "W 1006=04", "R 101F", with " !" when it failed.
    std::string str() const;
    bool operator==(const RegisterAccess& o) const;
};

// A flash-data request on selector 3 (and, for a read, the GET_CUR that
// returns the bytes). The address includes the bank (control bits 5-4).
struct FlashTransfer {
    bool read = false;
    uint32_t addr = 0;
    unsigned len = 0;           // control bits 3-0
    std::vector<uint8_t> data;  // bytes programmed, or bytes returned
    bool ok = false;
    // "FW 012345 11 22" / "FR 012345 [2] 11 22", " !" when it failed.
    std::string str() const;
    bool operator==(const FlashTransfer& o) const;
};

// A mask-ROM fetch on selector 4 and the GET_CUR that returns its bytes.
struct RomFetch {
    uint16_t addr = 0;
    unsigned count = 0;
    std::vector<uint8_t> data;  // bytes returned (empty when it failed)
    bool ok = false;
    std::string str() const;  // "ROM 9FF8 [8] 32 32 ..."
    bool operator==(const RomFetch& o) const;
};

// One byte the serial-flash master moved, in a frame.
struct SpiByte {
    bool rx = false;      // clocked in (a read) rather than out
    uint8_t value = 0;
    bool ok = true;
    bool reselect = false;  // chip select was driven low again before it
    bool operator==(const SpiByte& o) const;
};

// The bytes between chip-select low and high, opcode first.
struct SpiFrame {
    std::vector<SpiByte> bytes;
    bool closed = true;  // chip select went high again
    bool reselect_at_end = false;  // selected again after the last byte
    int opcode() const;  // first byte sent, or -1
    std::vector<uint8_t> sent() const;
    std::vector<uint8_t> received() const;
    // "20 03 00 00", received bytes in angle brackets ("05 <03>"), " |"
    // where the chip was selected again inside the frame, " ..." when the
    // frame never closed, "!" after a byte that failed.
    std::string str() const;
};

// One step of the serial-flash master at register level, for the tests
// that pin down every poll: "mode 1", "sel", "tx 06", "rx 03", "rel",
// "sleep 1000", "ready !" (a failed ready poll), or any other register
// access ("W 1006=04"); " !" marks a step that failed.
struct SpiStep {
    enum Kind { MODE, SELECT, RELEASE, TX, RX, READY, SLEEP, REGISTER } kind = REGISTER;
    uint8_t value = 0;       // MODE, TX, RX
    bool ok = true;
    uint64_t us = 0;         // SLEEP
    RegisterAccess reg;      // REGISTER
    std::string str() const;
};

// A transaction of the ASIC's I2C master: set up, triggered, polled.
struct I2cTransaction {
    uint8_t setup = 0;            // the set-up byte as written
    uint8_t slave = 0;            // the slave byte as written
    bool read = false;            // set-up bit 1
    unsigned count = 0;           // set-up bits 6-4
    std::vector<uint8_t> window;  // data-window writes, in order
    std::vector<uint8_t> sent;    // the first count bytes of the data window
    std::vector<uint8_t> received;  // window bytes read back after it finished
    int polls = 0;                // status reads until it finished or failed
    bool finished = false;        // a status read showed bit 2
    bool failed = false;          // ... or bit 3
    bool ok = true;               // every register access succeeded
    std::string str() const;      // "I2C 6C W [3] 30 0A 00 polls 1"
};

// One item of the conversation between the program and the camera.
struct DeviceEvent {
    enum Kind { REGISTER, SPI_MODE, SPI_FRAME, SPI_STEP, FLASH, ROM, I2C, SLEEP, QUERY } kind = QUERY;
    int camera = 0;
    RegisterAccess reg;    // REGISTER; SPI_MODE: the mode register write
    SpiFrame frame;        // SPI_FRAME
    SpiStep step;          // SPI_STEP: a failed select, release, mode or ready poll
    FlashTransfer flash;   // FLASH
    RomFetch rom;          // ROM
    I2cTransaction i2c;    // I2C
    uint64_t sleep_us = 0; // SLEEP
    QueryRecord query;     // QUERY: any query no decoder above claims
    // Compact text: "M1"/"M0", frames, registers, transfers as above,
    // "sleep N", "Q sel 5 GET size 4 -> 0".
    std::string str() const;
};

std::vector<std::string> strs(const std::vector<DeviceEvent>& events);

// ---------------------------------------------------------------- trace
class Trace {
public:
    void clear() { events_.clear(); }
    const std::vector<TraceEvent>& events() const { return events_; }
    std::vector<QueryRecord> queries() const;
    std::vector<uint64_t> sleeps() const;  // durations, in order
    size_t sleep_count(uint64_t us) const; // sleeps of exactly this length
    size_t query_count() const;

    // Decoded views. Each decodes the queries of one camera (every camera
    // when camera < 0); register addresses follow the architecture given.
    std::vector<RegisterAccess> register_accesses(int camera = -1) const;
    std::vector<RegisterAccess> register_writes(int camera = -1) const;
    std::vector<FlashTransfer> flash_transfers(int camera = -1) const;
    std::vector<RomFetch> rom_fetches(int camera = -1) const;
    std::vector<SpiStep> spi_steps(int arch = 0, int camera = -1) const;
    std::vector<I2cTransaction> i2c_transactions(int arch = 0, int camera = -1) const;
    // The whole conversation: selector-1 traffic folded into serial-flash
    // frames, mode switches and I2C transactions where it drives those
    // masters, plain register accesses elsewhere; flash-data transfers, ROM
    // fetches, sleeps and any other query, in order.
    std::vector<DeviceEvent> conversation(int arch = 0, int camera = -1) const;
    // The serial-flash part of it: mode switches, frames and other register
    // accesses, without sleeps.
    std::vector<std::string> spi_frames(int arch = 0, int camera = -1) const;
    std::vector<std::string> spi_log(int arch = 0, int camera = -1) const;
    std::vector<std::string> register_log(int camera = -1) const;

    void record_query(const QueryRecord& q);
    void record_sleep(uint64_t us);
    // Replaces the events (a trace read back from a file).
    void assign(std::vector<TraceEvent> events) { events_ = std::move(events); }

private:
    std::vector<TraceEvent> events_;
};

Trace& trace();  // process-wide: queries of every camera, and every sleep

// Decoders of single queries, for fault predicates that pick a query by what
// it means. False when the query is not of that kind.
bool as_register_access(const QueryRecord& q, RegisterAccess* out);  // SET_CUR only
bool as_flash_request(const QueryRecord& q, FlashTransfer* out);     // SET_CUR only
bool as_rom_request(const QueryRecord& q, RomFetch* out);            // SET_CUR only

// Trace files: one JSON object a line. Every query and sleep, then the
// decoded conversation of each camera, all lines tagged with "kind".
// write_trace_file returns false when the file cannot be written;
// read_trace_file returns false (and an error) when it is missing,
// unreadable or holds a line that is not a trace record.
// arch_of: the architecture of each camera by index (0 when absent).
bool write_trace_file(const std::string& path, const Trace& t, const std::map<int, int>& arch_of);
bool read_trace_file(const std::string& path, Trace* out, std::string* error);

}  // namespace vcam

#endif
