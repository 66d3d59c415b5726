// The ASIC's I2C master and the image sensors on its bus.
//
// Registers (at the addresses of the camera's architecture):
//   control/status  set-up on write: bit 0 speed, bit 1 direction (1 =
//                   read), bits 4-6 byte count, bit 7 enable. On read the
//                   set-up with bit 2 "finished" and bit 3 "failed".
//   slave id        the byte on the bus, as written
//   data window     five byte registers; a write sends the first count
//                   bytes, a read leaves the received bytes at its end
//   trigger         writing bit 4 starts the transaction set up
//   mode            bit 1: SCL polling, the master waits while a sensor
//                   holds SCL low (clock stretching)
//   SCL select      plain storage
// A transaction takes time: its clocks (a start, the slave byte, the count
// bytes, 9 clocks each, a stop) at 100 kHz, or 400 kHz with speed bit 0,
// plus the time the sensor stretches the clock. That time runs on the
// virtual clock, and the firmware runs the bus while control transfers
// come and go, so every query that reaches the camera after the trigger
// counts as the 1 ms a transfer takes. A status read sees the transaction
// finished once that much time has passed and, in addition, no sooner
// than the Profile::i2c_polls_to_finish-th status read after the trigger;
// it takes effect then. It fails when no sensor answers the slave id, when
// the count exceeds the window, or when the sensor stretches the clock and
// SCL polling is off (the master samples before the sensor lets go).
// Without the enable bit the trigger starts nothing, so the status never
// shows finished.
//
// Sensors take Profile::SensorProfile::addr_bytes address bytes, most
// significant first, into an address shift register cleared at START (so a
// short address reads as its low bits); further bytes of a write go to
// consecutive registers, and a read returns consecutive registers from the
// address last set.
#include "../parts.h"

namespace vcam {

SensorBus::Sensor* SensorBus::find(uint8_t slave_id) {
    for (auto& s : sensors)
        if (s.profile.slave_id == slave_id) return &s;
    return nullptr;
}

uint8_t SensorBus::reg(uint8_t slave_id, uint16_t addr) {
    Sensor* s = find(slave_id);
    if (!s) return 0;
    auto it = s->profile.registers.find(addr);
    return it == s->profile.registers.end() ? 0 : it->second;
}

namespace {

const uint8_t kFinished = 0x04;
const uint8_t kFailed = 0x08;
const uint8_t kSclPolling = 0x02;
const int kWindow = 5;
const uint64_t kTransferUs = 1000;  // one control transfer, as the firmware sees the bus

struct I2cMaster : Part {
    I2cMaster(Camera& cam, SensorBus* bus) : cam(cam), bus(bus), m(arch_map(cam.profile().arch)) {}
    Camera& cam;
    SensorBus* bus;
    const ArchMap& m;
    bool running = false;
    int polls = 0;
    uint8_t status = 0;
    uint64_t started_us = 0;      // virtual clock at the trigger
    long started_query = 0;       // camera's query count at the trigger
    uint64_t duration_us = 0;     // bus time of the transaction set up

    uint8_t& reg(uint16_t addr) { return cam.regs().raw(addr); }

    // Runs the transaction set up in the registers; returns whether a
    // sensor took part in all of it.
    bool run() {
        uint8_t setup = reg(m.i2c_dev);
        int count = (setup >> 4) & 0x7;
        bool read = (setup & 0x02) != 0;
        SensorBus::Sensor* s = bus->find(reg(m.i2c_slave_id));
        if (!s || count > kWindow) return false;
        if (s->profile.stretch_us && !(reg(m.i2c_mode) & kSclPolling)) return false;
        uint16_t mask = s->profile.addr_bytes == 1 ? 0xFF : 0xFFFF;
        if (read) {
            for (int i = 0; i < count; ++i) {
                uint8_t v = bus->reg(s->profile.slave_id, s->pointer);
                reg(static_cast<uint16_t>(m.i2c_data + kWindow - count + i)) = v;
                s->pointer = static_cast<uint16_t>((s->pointer + 1) & mask);
            }
            return true;
        }
        int abytes = s->profile.addr_bytes;
        uint16_t addr = 0;
        for (int i = 0; i < count; ++i) {
            uint8_t b = reg(static_cast<uint16_t>(m.i2c_data + i));
            if (i < abytes) {
                addr = static_cast<uint16_t>(((addr << 8) | b) & mask);
                s->pointer = addr;
            } else {
                s->profile.registers[s->pointer] = b;
                s->pointer = static_cast<uint16_t>((s->pointer + 1) & mask);
            }
        }
        return true;
    }

    // Clocks at the speed set up, plus the sensor's stretching when the
    // master waits for it.
    uint64_t bus_time_us() {
        uint8_t setup = reg(m.i2c_dev);
        uint64_t clocks = 2 + 9 * (1 + ((setup >> 4) & 0x7));
        uint64_t us = clocks * ((setup & 0x01) ? 5 : 20) / 2;
        SensorBus::Sensor* s = bus->find(reg(m.i2c_slave_id));
        if (s && (reg(m.i2c_mode) & kSclPolling)) us += s->profile.stretch_us;
        return us;
    }

    uint64_t elapsed_us() {
        return (now_us() - started_us) +
               kTransferUs * static_cast<uint64_t>(cam.query_count() - started_query);
    }

    uint8_t read_status() {
        if (running && ++polls >= cam.profile().i2c_polls_to_finish &&
            elapsed_us() >= duration_us) {
            running = false;
            status = run() ? kFinished : static_cast<uint8_t>(kFinished | kFailed);
        }
        return static_cast<uint8_t>((reg(m.i2c_dev) & ~(kFinished | kFailed)) | status);
    }

    void write_setup(uint8_t v) {
        reg(m.i2c_dev) = static_cast<uint8_t>(v & ~(kFinished | kFailed));
        running = false;  // a new set-up abandons a transaction in flight
        status = 0;
    }

    void write_trigger(uint8_t v) {
        reg(m.i2c_trigger) = static_cast<uint8_t>(v & ~0x10);  // start bit clears itself
        if (!(v & 0x10) || !(reg(m.i2c_dev) & 0x80)) return;
        running = true;
        polls = 0;
        status = 0;
        started_us = now_us();
        started_query = cam.query_count();
        duration_us = bus_time_us();
    }
};

}  // namespace

void install_i2c_master(Camera& cam) {
    auto* bus = cam.add_part<SensorBus>();
    for (const SensorProfile& p : cam.profile().sensors) {
        SensorBus::Sensor s;
        s.profile = p;
        bus->sensors.push_back(s);
    }
    auto* i2c = cam.add_part<I2cMaster>(cam, bus);
    cam.regs().map(
        i2c->m.i2c_dev, [i2c](uint16_t) { return i2c->read_status(); },
        [i2c](uint16_t, uint8_t v) { i2c->write_setup(v); });
    cam.regs().map(i2c->m.i2c_trigger, nullptr, [i2c](uint16_t, uint8_t v) { i2c->write_trigger(v); });
}

}  // namespace vcam
