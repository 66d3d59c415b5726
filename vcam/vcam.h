// The virtual camera: a device model that stands where the kernel's UVC
// driver and the camera firmware stand. The interposer (interposer.cpp)
// answers open/close/ioctl on /dev/video<N> nodes that have a camera
// attached, and sleep/usleep advance the virtual clock instead of sleeping.
//
// In-process API for test programs; unmodified programs get the same model
// through LD_PRELOAD, configured from the ORVEX_VCAM environment variable.
#ifndef ORVEX_VCAM_H
#define ORVEX_VCAM_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "trace.h"

namespace vcam {

// ---------------------------------------------------------------- clock
// Microseconds since the virtual clock was last reset. sleep/usleep and the
// optional per-query latency advance it; device timings (busy bits, erase
// and program times) are measured on it.
uint64_t now_us();
void advance_us(uint64_t us);
// Latency added to every extension-unit query (a real control transfer
// takes about 1 ms). 0 by default.
void set_query_latency_us(uint64_t us);
uint64_t query_latency_us();
// Real-time mode: the clock follows the monotonic wall clock and advancing
// it (a sleep, a query's latency) really waits.
void set_real_time(bool on);
bool real_time();

// ---------------------------------------------------------------- trace
// Queries, sleeps and the events decoded from them: trace.h.

// ---------------------------------------------------------------- profile
struct SensorProfile {
    uint8_t slave_id = 0x6C;
    int addr_bytes = 2;                    // register address width: 1 or 2
    std::map<uint16_t, uint8_t> registers; // initial contents (others read 0)
    // How long the sensor holds SCL low per transaction (clock stretching).
    // A master without SCL polling does not wait and the transaction fails.
    uint32_t stretch_us = 0;
};

// How the camera shows itself on USB: the device descriptor's ids and
// strings, and where it is plugged in. The defaults are those of the
// end-to-end run's gadget, so both answer a tool's reads alike.
struct UsbIdentity {
    uint16_t vendor_id = 0x1d6b;
    uint16_t product_id = 0x0104;
    std::string manufacturer = "Orvex";
    std::string product = "Orvex virtual camera";
    std::string serial = "0001";
    // Bus number, then the port chain: "1-1.2" is port 2 of the hub on
    // port 1 of bus 1, as sysfs names the device.
    std::string bus_path = "1-1";
};

// Everything that distinguishes one camera from another, as data.
struct Profile {
    std::string name = "custom";
    UsbIdentity usb;
    uint8_t unit_id = 3;           // extension unit the firmware answers on
    uint8_t chip_id = 0x15;        // value of the chip-id register
    int arch = 0;                  // 0: first register map, 1: second
    // Mask ROM: the revision string and where it sits.
    uint16_t rom_string_addr = 0x9FF8;
    uint8_t rom_string[8] = {'2', '2', '0', 'R', '0', 0x01, 0x00, 0x00};
    // Further mask-ROM contents by address (the rest of the ROM reads 0).
    std::map<uint16_t, std::vector<uint8_t>> rom_bytes;
    uint8_t mem_type = 0;          // byte 2 of selector 5
    // GPIO: level an input pin reads when nothing drives it (bit n = pin n).
    uint8_t gpio_input = 0x00;
    bool reg1185_sticky = true;    // whether bits 4-6 of 0x1185 hold
    // I2C master: image sensors on the bus; the status read (counted from the
    // trigger, at least the first) that may first show "finished", if the
    // transaction's bus time has passed by then.
    std::vector<SensorProfile> sensors;
    int i2c_polls_to_finish = 1;
    // Serial flash.
    int flash_type = 1;            // SERIAL_FLASH_TYPE of the chip fitted
    int wp_gpio = 2;               // GPIO wired to the flash's WP# input
    bool wp_release_high = true;   // GPIO level that lets the flash be written
    bool start_protected = false;  // status register starts with BP bits + SRP
    std::vector<uint8_t> flash_jedec;  // 0x9F answer; empty: a part of flash_type
    bool wp_config_newer = false;  // WP configuration byte in the newer format
    std::vector<uint8_t> flash;    // initial contents, 256 KiB (0xFF if short)
    // The UVC driver's second node of the camera: a metadata-capture node at
    // /dev/video<N+1> (sysfs index 1, the same USB device and interface)
    // beside the video node at /dev/video<N> (index 0). It opens, but has
    // no extension-unit control: its UVCIOC_CTRL_QUERY fails with ENOTTY.
    // Only where no camera is attached at N+1.
    bool metadata_node = false;
};

// Named profiles (the embedded default first).
std::vector<std::string> profile_names();
bool find_profile(const std::string& name, Profile* out);
Profile default_profile();

// ---------------------------------------------------------------- camera
// A device part plugs into the camera: it claims registers and controls.
class Camera;
struct Part {
    virtual ~Part() = default;
};

// Plain 8-bit register space with optional per-address hooks.
class RegisterSpace {
public:
    using ReadHook = std::function<uint8_t(uint16_t addr)>;
    using WriteHook = std::function<void(uint16_t addr, uint8_t value)>;
    RegisterSpace();
    // A part claims a register. A null hook means plain storage for that
    // direction.
    void map(uint16_t addr, ReadHook on_read, WriteHook on_write);
    uint8_t read(uint16_t addr);              // as the firmware would
    void write(uint16_t addr, uint8_t value); // as the firmware would
    uint8_t& raw(uint16_t addr) { return cells_[addr]; } // backing storage

private:
    std::vector<uint8_t> cells_;
    std::map<uint16_t, ReadHook> read_hooks_;
    std::map<uint16_t, WriteHook> write_hooks_;
};

// One control of the extension unit. Handlers return 0 or an errno; a
// handler that is empty means the request is not supported (EBADRQC, as the
// driver reports a request the control's info does not allow).
struct XuControl {
    uint16_t size = 0;
    std::function<int(uint8_t* data)> get;
    std::function<int(const uint8_t* data)> set;
};

struct Faults {
    // Fail the Nth query (1-based, counted from attach or reset_faults).
    long fail_query_n = 0;
    int fail_query_errno = 5;  // EIO
    // Fail every query the predicate accepts.
    std::function<bool(const QueryRecord&)> fail_if;
    int fail_if_errno = 32;    // EPIPE: the device stalled the request
    // Unplug after N queries: every later query fails with ENODEV.
    long unplug_after = -1;
    int open_errno = 0;        // refuse open with this errno (ENOENT, EACCES)
    int close_errno = 0;       // fail close with this errno (EIO)
    // Worn flash cells, honoured by the NOR chip. An erase (sector, block or
    // chip) leaves every sector named here, by any address inside it, as it
    // was, though it takes its usual time and the chip reports ready.
    std::vector<uint32_t> unerasable_sectors;
    // Bits that stay 1 however they are programmed: flash address -> mask.
    std::map<uint32_t, uint8_t> stuck_bits;

    // Seeded, repeatable faults: with the same seed and the same traffic,
    // the same queries fail and the same bits flip. Rates are per million
    // queries; 0 turns the fault off.
    uint64_t seed = 1;
    uint32_t random_fail_per_million = 0;  // the query fails with random_fail_errno
    int random_fail_errno = 5;             // EIO
    uint32_t random_flip_per_million = 0;  // one bit of a GET_CUR answer flips
    // Flip bits of the answer of the Nth query (1-based) when it is a GET_CUR
    // that succeeds: the payload byte at flip_byte is XORed with flip_mask.
    // The device state stays as it was; only the read-back is wrong.
    long flip_query_n = 0;
    uint16_t flip_byte = 0;
    uint8_t flip_mask = 0x01;
};

class Camera {
public:
    explicit Camera(int index, Profile profile);
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    int index() const { return index_; }
    Profile& profile() { return profile_; }
    RegisterSpace& regs() { return regs_; }
    Faults& faults() { return faults_; }
    void reset_faults() { faults_ = Faults(); query_count_ = 0; rng_state_ = 0; }
    long query_count() const { return query_count_; }
    // An unplugged camera answers no query (ENODEV) and its node no longer
    // opens: ENODEV while a descriptor still holds it, ENOENT once the last
    // one is closed and the node is gone.
    bool unplugged() const { return unplugged_; }
    // Pulls the camera: every later query fails with ENODEV, and the flash
    // image is saved to the camera's state file, as it is at that moment.
    void unplug();
    // Descriptors open on the camera, across every process using it.
    int open_count() const { return open_count_; }

    // Extension unit.
    void add_control(uint8_t selector, XuControl control);
    // Serves one extension-unit request, as the driver and the firmware
    // together answer it: a UVCIOC_CTRL_QUERY from the interposer, or a
    // class request that reached the gadget responder. GET_LEN and GET_INFO
    // describe the control; GET_MIN/MAX/RES/DEF stall (EPIPE), as the
    // firmware implements only the current value. Returns 0 or an errno.
    int query(uint8_t unit, uint8_t selector, uint8_t request, uint16_t size, uint8_t* data);

    // Parts, by type.
    template <class T> T* part() {
        for (auto& p : parts_)
            if (auto* t = dynamic_cast<T*>(p.get())) return t;
        return nullptr;
    }
    template <class T, class... A> T* add_part(A&&... args) {
        parts_.push_back(std::make_unique<T>(std::forward<A>(args)...));
        return static_cast<T*>(parts_.back().get());
    }

    // Flash contents (256 KiB), owned by the serial-flash part.
    std::vector<uint8_t>& flash();
    // Load or save the flash image; save writes atomically (temp + rename).
    bool load_state(const std::string& path);
    bool save_state(const std::string& path) const;

private:
    int index_;
    Profile profile_;
    RegisterSpace regs_;
    Faults faults_;
    // A query's way in: the driver's checks (driver_checks.cpp), the faults
    // a test injected (fault_injection.cpp), the firmware's answer
    // (firmware_dispatch.cpp). Each returns 0 or an errno.
    int driver_refusal(uint8_t unit, uint8_t selector, uint8_t request, uint16_t size) const;
    bool unplug_due() const;
    int injected_failure(uint8_t unit, uint8_t selector, uint8_t request, uint16_t size,
                         const uint8_t* data);
    int firmware_answer(uint8_t selector, uint8_t request, uint16_t size, uint8_t* data);
    // Draws from the seeded generator; true with the given rate per million.
    bool chance(uint32_t per_million);
    void apply_flips(uint8_t request, uint16_t size, uint8_t* data);

    long query_count_ = 0;
    uint64_t rng_state_ = 0;  // 0: not yet seeded from faults_.seed
    bool unplugged_ = false;
    int open_count_ = 0;
    friend int device_open(int, int);
    friend int device_close(int);
    friend void device_release(int);
    friend int device_adopt(int);
    std::map<uint8_t, XuControl> controls_;
    std::vector<std::unique_ptr<Part>> parts_;
    std::vector<uint8_t> flash_;
};

// ---------------------------------------------------------------- registry
// Attach a camera as /dev/video<index>; replaces one already there.
Camera& attach(int index, const Profile& profile = default_profile());
void detach(int index);
Camera* camera(int index);
std::vector<int> camera_indexes();  // attached cameras, ascending
// The camera whose metadata node /dev/video<index> is, or nullptr.
Camera* metadata_node_of(int index);
// Detach every camera, clear the trace, reset the clock and the latency,
// and forget which descriptors were bound to cameras (they become plain
// descriptors of /dev/null; closing them later is harmless).
void reset();
// Descriptors currently open on virtual cameras.
int open_descriptor_count();

// ---------------------------------------------------------------- device
// The device side of the system calls: what the driver and the camera do
// for an open, a close and a control query. The in-process interposer and
// the device process (which serves every program sharing the cameras) both
// answer through these, so the two modes behave alike.
// Returns 0 or an errno; ENXIO when no virtual camera is at the index (the
// caller passes the path on to the system).
int device_open(int index, int flags);
int device_close(int index);
// A descriptor the kernel releases because its process ended: no close
// fault applies.
void device_release(int index);
// A forked child's share of a descriptor its parent opened: one more
// holder, released by its close or its end like any other.
int device_adopt(int index);
// Serves one UVCIOC_CTRL_QUERY from process pid and records it in the trace.
int device_query(int index, int pid, uint8_t unit, uint8_t selector, uint8_t request,
                 uint16_t size, uint8_t* data);
// A program's sleep: recorded in the trace and taken on the device's clock.
void device_sleep(uint64_t us);

constexpr size_t kFlashSize = 256 * 1024;

}  // namespace vcam

#endif
