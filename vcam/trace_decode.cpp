// The trace's one decoder: queries into register accesses, flash-data
// transfers and ROM fetches; register accesses into serial-flash steps and
// frames and I2C transactions, with the model's own register maps.
#include <cstdio>
#include <map>

#include "parts.h"

namespace vcam {
namespace {

std::string hex(uint8_t v) {
    char b[4];
    std::snprintf(b, sizeof b, "%02X", v);
    return b;
}

std::string hex_bytes(const std::vector<uint8_t>& bytes) {
    std::string s;
    for (uint8_t b : bytes) s += " " + hex(b);
    return s;
}

const char* fail_mark(bool ok) { return ok ? "" : " !"; }

uint16_t addr16(const std::vector<uint8_t>& d) {
    return static_cast<uint16_t>(d[0] | (d[1] << 8));
}

// A query's own meaning, before register accesses fold into the masters.
struct Item {
    enum Kind { REG, FLASH, ROM, SLEEP, QUERY } kind = QUERY;
    int camera = 0;
    RegisterAccess reg;
    FlashTransfer flash;
    RomFetch rom;
    uint64_t us = 0;
    QueryRecord query;
};

// A request whose answer is still to come, per camera.
struct Pending {
    bool reg = false, flash = false, rom = false;
    Item reg_item, flash_item, rom_item;
};

std::vector<Item> items(const std::vector<TraceEvent>& events, int camera) {
    std::vector<Item> out;
    std::map<int, Pending> pending;
    auto give_up = [&out](bool& open, Item& it) {  // an answer that never came
        if (!open) return;
        it.reg.ok = it.flash.ok = it.rom.ok = false;
        out.push_back(it);
        open = false;
    };
    for (const TraceEvent& e : events) {
        if (e.kind == TraceEvent::SLEEP) {
            Item s;
            s.kind = Item::SLEEP;
            s.us = e.sleep_us;
            out.push_back(s);
            continue;
        }
        const QueryRecord& q = e.query;
        if (camera >= 0 && q.camera != camera) continue;
        Pending& p = pending[q.camera];
        Item it;
        it.camera = q.camera;
        it.query = q;
        bool set = q.request == REQ_SET_CUR;
        bool get = q.request == REQ_GET_CUR;
        if (set && as_register_access(q, &it.reg)) {
            give_up(p.reg, p.reg_item);
            it.kind = Item::REG;
            if (!it.reg.write && it.reg.ok) {
                p.reg = true;
                p.reg_item = it;
            } else {
                out.push_back(it);
            }
        } else if (get && q.selector == SEL_REGISTER && p.reg) {
            Item& r = p.reg_item;
            r.reg.ok = q.result == 0;
            if (r.reg.ok && q.returned.size() == 4) r.reg.value = q.returned[2];
            out.push_back(r);
            p.reg = false;
        } else if (set && as_flash_request(q, &it.flash)) {
            give_up(p.flash, p.flash_item);
            it.kind = Item::FLASH;
            if (it.flash.read && it.flash.ok) {
                p.flash = true;
                p.flash_item = it;
            } else {
                out.push_back(it);
            }
        } else if (get && q.selector == SEL_FLASH_DATA && p.flash) {
            FlashTransfer& f = p.flash_item.flash;
            f.ok = q.result == 0;
            if (f.ok && q.returned.size() >= 3 + f.len)
                f.data.assign(q.returned.begin() + 3, q.returned.begin() + 3 + f.len);
            out.push_back(p.flash_item);
            p.flash = false;
        } else if (set && as_rom_request(q, &it.rom)) {
            give_up(p.rom, p.rom_item);
            it.kind = Item::ROM;
            if (it.rom.ok) {
                p.rom = true;
                p.rom_item = it;
            } else {
                out.push_back(it);
            }
        } else if (get && q.selector == SEL_ROM && p.rom) {
            RomFetch& r = p.rom_item.rom;
            r.ok = q.result == 0;
            if (r.ok && q.returned.size() >= 3 + r.count)
                r.data.assign(q.returned.begin() + 3, q.returned.begin() + 3 + r.count);
            out.push_back(p.rom_item);
            p.rom = false;
        } else {
            out.push_back(it);  // kind QUERY
        }
    }
    for (auto& kv : pending) {
        give_up(kv.second.reg, kv.second.reg_item);
        give_up(kv.second.flash, kv.second.flash_item);
        give_up(kv.second.rom, kv.second.rom_item);
    }
    return out;
}

SpiStep reg_step(const RegisterAccess& a) {
    SpiStep s;
    s.kind = SpiStep::REGISTER;
    s.reg = a;
    s.ok = a.ok;
    return s;
}

// Serial-flash master steps, with the camera each came from. A byte's data
// write, trigger and ready poll fold into its TX or RX.
struct Stepped {
    SpiStep step;
    int camera = 0;
};

std::vector<Stepped> steps(const std::vector<Item>& in, const ArchMap& m) {
    std::vector<Stepped> out;
    uint8_t data = 0;
    bool bad = false;  // a failed step inside the byte being sent
    auto emit = [&out](SpiStep s, const Item& it) { out.push_back({s, it.camera}); };
    for (const Item& it : in) {
        if (it.kind == Item::SLEEP) {
            SpiStep s;
            s.kind = SpiStep::SLEEP;
            s.us = it.us;
            out.push_back({s, it.camera});
            continue;
        }
        if (it.kind != Item::REG) continue;
        const RegisterAccess& a = it.reg;
        SpiStep s;
        s.ok = a.ok;
        if (a.write && a.addr == m.sf_mode) {
            s.kind = SpiStep::MODE;
            s.value = a.value;
            emit(s, it);
        } else if (a.write && a.addr == m.sf_cs && (a.value == 0 || a.value == 1)) {
            s.kind = a.value ? SpiStep::RELEASE : SpiStep::SELECT;
            emit(s, it);
        } else if (a.write && a.addr == m.sf_write_data) {
            data = a.value;
            bad = !a.ok;
            if (bad) {  // its trigger folds into this
                s.kind = SpiStep::TX;
                s.value = data;
                s.ok = false;
                emit(s, it);
            }
        } else if (a.write && a.addr == m.sf_read_data && a.value == 0) {
            bad = !a.ok;
        } else if (a.write && a.addr == m.sf_trigger && a.value == 1) {
            if (!bad) {
                s.kind = SpiStep::TX;
                s.value = data;
                emit(s, it);
            }
            bad = false;
        } else if (a.write && a.addr == m.sf_trigger && a.value == 2) {
            if (!a.ok) {
                s.kind = SpiStep::RX;
                emit(s, it);
            }
        } else if (!a.write && a.addr == m.sf_ready) {
            if (!a.ok) {
                s.kind = SpiStep::READY;
                emit(s, it);
            }
        } else if (!a.write && a.addr == m.sf_read_data) {
            s.kind = SpiStep::RX;
            s.value = a.value;
            emit(s, it);
        } else {
            emit(reg_step(a), it);
        }
    }
    return out;
}

bool is_i2c_reg(const ArchMap& m, uint16_t addr) {
    return addr == m.i2c_dev || addr == m.i2c_slave_id || addr == m.i2c_trigger ||
           (addr >= m.i2c_data && addr < m.i2c_data + 5);
}

// Folds steps into frames (and, with an architecture map for I2C, the
// I2C master's accesses into transactions). Sleeps stay when keep_sleeps.
class Folder {
public:
    Folder(const ArchMap& m, bool fold_i2c, bool keep_sleeps)
        : m_(m), fold_i2c_(fold_i2c), keep_sleeps_(keep_sleeps) {}

    void step(const Stepped& st) {
        const SpiStep& s = st.step;
        switch (s.kind) {
        case SpiStep::SLEEP:
            if (keep_sleeps_) {
                DeviceEvent e;
                e.kind = DeviceEvent::SLEEP;
                e.sleep_us = s.us;
                out_.push_back(e);
            }
            return;
        case SpiStep::MODE:
            if (s.ok && s.value <= 1) {
                DeviceEvent e = make(DeviceEvent::SPI_MODE, st);
                e.reg.write = true;
                e.reg.addr = m_.sf_mode;
                e.reg.value = s.value;
                e.reg.ok = true;
                out_.push_back(e);
                return;
            }
            break;
        case SpiStep::SELECT:
            if (s.ok) {
                if (open_) reselect_ = true;
                open_ = true;
                camera_ = st.camera;
                return;
            }
            break;
        case SpiStep::RELEASE:
            if (s.ok) {
                if (open_) close(true);
                frame_ = SpiFrame();
                reselect_ = open_ = false;
                return;
            }
            break;
        case SpiStep::TX:
        case SpiStep::RX: {
            SpiByte b;
            b.rx = s.kind == SpiStep::RX;
            b.value = s.value;
            b.ok = s.ok;
            b.reselect = reselect_;
            reselect_ = false;
            frame_.bytes.push_back(b);
            return;
        }
        case SpiStep::REGISTER:
            if (fold_i2c_ && i2c(s.reg, st)) return;
            break;
        case SpiStep::READY:
            break;
        }
        DeviceEvent e = make(DeviceEvent::SPI_STEP, st);
        e.step = s;
        if (s.kind == SpiStep::REGISTER) {
            e.kind = DeviceEvent::REGISTER;
            e.reg = s.reg;
        }
        out_.push_back(e);
    }

    // Non-register items pass through in order.
    void other(const Item& it) {
        DeviceEvent e;
        e.camera = it.camera;
        if (it.kind == Item::FLASH) {
            e.kind = DeviceEvent::FLASH;
            e.flash = it.flash;
        } else if (it.kind == Item::ROM) {
            e.kind = DeviceEvent::ROM;
            e.rom = it.rom;
        } else {
            e.kind = DeviceEvent::QUERY;
            e.query = it.query;
        }
        out_.push_back(e);
    }

    std::vector<DeviceEvent> finish() {
        if (open_) close(false);
        return std::move(out_);
    }

private:
    DeviceEvent make(DeviceEvent::Kind k, const Stepped& st) {
        DeviceEvent e;
        e.kind = k;
        e.camera = st.camera;
        return e;
    }

    void close(bool closed) {
        DeviceEvent e;
        e.kind = DeviceEvent::SPI_FRAME;
        e.camera = camera_;
        e.frame = frame_;
        e.frame.closed = closed;
        e.frame.reselect_at_end = reselect_;
        out_.push_back(e);
    }

    // Takes an access of the I2C master into the transaction it belongs
    // to; false when it is not one (it stays a plain register access).
    bool i2c(const RegisterAccess& a, const Stepped& st) {
        if (!is_i2c_reg(m_, a.addr)) return false;
        bool window = a.addr >= m_.i2c_data && a.addr < m_.i2c_data + 5;
        bool status_read = !a.write && a.addr == m_.i2c_dev;
        if (!a.write && !(status_read && polling()) && !(window && triggered_))
            return false;  // a read outside a transaction: the set-up's speed bit
        // A write after the trigger sets up the next transaction, whether
        // or not the last one ever showed finished.
        if (a.write && (!current() || triggered_)) {
            DeviceEvent e = make(DeviceEvent::I2C, st);
            i2c_at_ = out_.size();
            out_.push_back(e);
            triggered_ = started_ = false;
        }
        DeviceEvent& e = out_[i2c_at_];
        I2cTransaction& t = e.i2c;
        t.ok = t.ok && a.ok;
        if (a.write && a.addr == m_.i2c_dev) {
            t.setup = a.value;
            t.read = (a.value & 0x02) != 0;
            t.count = (a.value >> 4) & 0x7;
        } else if (a.write && a.addr == m_.i2c_slave_id) {
            t.slave = a.value;
        } else if (a.write && window) {
            window_[a.addr - m_.i2c_data] = a.value;
            t.window.push_back(a.value);
        } else if (a.write && a.addr == m_.i2c_trigger) {
            triggered_ = true;
            started_ = (a.value & 0x10) != 0;
            t.sent.assign(window_, window_ + (t.count < 5 ? t.count : 5));
        } else if (status_read) {
            ++t.polls;
            t.finished = a.ok && (a.value & 0x04);
            t.failed = a.ok && (a.value & 0x08);
        } else if (window) {
            t.received.push_back(a.value);
        }
        return true;
    }
    I2cTransaction* current() {
        return i2c_at_ < out_.size() && out_[i2c_at_].kind == DeviceEvent::I2C ? &out_[i2c_at_].i2c
                                                                              : nullptr;
    }
    // Status reads after a trigger that started the transaction count as
    // polls until one shows it finished or failed.
    bool polling() { return current() && started_ && !current()->finished && !current()->failed; }

    const ArchMap& m_;
    bool fold_i2c_, keep_sleeps_;
    std::vector<DeviceEvent> out_;
    SpiFrame frame_;
    bool open_ = false, reselect_ = false;
    int camera_ = 0;
    size_t i2c_at_ = SIZE_MAX;
    bool triggered_ = false;  // the current transaction's trigger was written
    bool started_ = false;    // ... with the start bit
    uint8_t window_[5] = {};
};

std::vector<DeviceEvent> fold(const std::vector<Item>& in, int arch, bool fold_i2c, bool keep_sleeps,
                              bool keep_other) {
    const ArchMap& m = arch_map(arch);
    Folder f(m, fold_i2c, keep_sleeps);
    // Steps come from register items and sleeps; the other items are merged
    // back in their place, so walk both in order.
    std::vector<Item> regs;
    for (const Item& it : in) {
        if (it.kind == Item::REG || it.kind == Item::SLEEP) {
            regs.push_back(it);
            continue;
        }
        if (!keep_other) continue;
        for (const Stepped& s : steps(regs, m)) f.step(s);
        regs.clear();
        f.other(it);
    }
    for (const Stepped& s : steps(regs, m)) f.step(s);
    return f.finish();
}

}  // namespace

// ---------------------------------------------------------------- single queries

bool as_register_access(const QueryRecord& q, RegisterAccess* out) {
    if (q.selector != SEL_REGISTER || q.request != REQ_SET_CUR || q.size != 4 || q.sent.size() != 4)
        return false;
    out->addr = addr16(q.sent);
    out->write = q.sent[3] != 0xFF;
    out->value = out->write ? q.sent[2] : 0;
    out->ok = q.result == 0;
    return true;
}

bool as_flash_request(const QueryRecord& q, FlashTransfer* out) {
    if (q.selector != SEL_FLASH_DATA || q.request != REQ_SET_CUR || q.sent.size() < 3) return false;
    uint8_t control = q.sent[2];
    out->read = (control & 0x80) != 0;
    out->addr = ((control >> 4) & 3u) * 0x10000u + addr16(q.sent);
    out->len = control & 0x0F;
    out->data.clear();
    if (!out->read) {
        size_t end = 3 + out->len;
        if (end > q.sent.size()) end = q.sent.size();
        out->data.assign(q.sent.begin() + 3, q.sent.begin() + end);
    }
    out->ok = q.result == 0;
    return true;
}

bool as_rom_request(const QueryRecord& q, RomFetch* out) {
    if (q.selector != SEL_ROM || q.request != REQ_SET_CUR || q.sent.size() < 3) return false;
    out->addr = addr16(q.sent);
    out->count = q.sent[2];
    out->data.clear();
    out->ok = q.result == 0;
    return true;
}

// ---------------------------------------------------------------- views

std::vector<RegisterAccess> Trace::register_accesses(int camera) const {
    std::vector<RegisterAccess> out;
    for (const Item& it : items(events_, camera))
        if (it.kind == Item::REG) out.push_back(it.reg);
    return out;
}

std::vector<RegisterAccess> Trace::register_writes(int camera) const {
    std::vector<RegisterAccess> out;
    for (const auto& a : register_accesses(camera))
        if (a.write) out.push_back(a);
    return out;
}

std::vector<FlashTransfer> Trace::flash_transfers(int camera) const {
    std::vector<FlashTransfer> out;
    for (const Item& it : items(events_, camera))
        if (it.kind == Item::FLASH) out.push_back(it.flash);
    return out;
}

std::vector<RomFetch> Trace::rom_fetches(int camera) const {
    std::vector<RomFetch> out;
    for (const Item& it : items(events_, camera))
        if (it.kind == Item::ROM) out.push_back(it.rom);
    return out;
}

std::vector<SpiStep> Trace::spi_steps(int arch, int camera) const {
    std::vector<SpiStep> out;
    for (const Stepped& s : steps(items(events_, camera), arch_map(arch))) out.push_back(s.step);
    return out;
}

std::vector<std::string> Trace::spi_log(int arch, int camera) const {
    std::vector<std::string> out;
    for (const SpiStep& s : spi_steps(arch, camera)) out.push_back(s.str());
    return out;
}

std::vector<std::string> Trace::spi_frames(int arch, int camera) const {
    return strs(fold(items(events_, camera), arch, false, false, false));
}

std::vector<I2cTransaction> Trace::i2c_transactions(int arch, int camera) const {
    std::vector<I2cTransaction> out;
    for (const DeviceEvent& e : fold(items(events_, camera), arch, true, false, false))
        if (e.kind == DeviceEvent::I2C) out.push_back(e.i2c);
    return out;
}

std::vector<DeviceEvent> Trace::conversation(int arch, int camera) const {
    return fold(items(events_, camera), arch, true, true, true);
}

std::vector<std::string> Trace::register_log(int camera) const {
    std::vector<std::string> out;
    for (const RegisterAccess& a : register_accesses(camera)) out.push_back(a.str());
    return out;
}

// ---------------------------------------------------------------- text

std::string RegisterAccess::str() const {
    char b[24];
    if (write)
        std::snprintf(b, sizeof b, "W %04X=%02X", addr, value);
    else
        std::snprintf(b, sizeof b, "R %04X", addr);
    return b + std::string(fail_mark(ok));
}

bool RegisterAccess::operator==(const RegisterAccess& o) const {
    return write == o.write && addr == o.addr && value == o.value && ok == o.ok;
}

std::string FlashTransfer::str() const {
    char b[32];
    std::snprintf(b, sizeof b, "F%c %05X [%u]", read ? 'R' : 'W', addr, len);
    return b + hex_bytes(data) + fail_mark(ok);
}

bool FlashTransfer::operator==(const FlashTransfer& o) const {
    return read == o.read && addr == o.addr && len == o.len && data == o.data && ok == o.ok;
}

std::string RomFetch::str() const {
    char b[24];
    std::snprintf(b, sizeof b, "ROM %04X [%u]", addr, count);
    return b + hex_bytes(data) + fail_mark(ok);
}

bool RomFetch::operator==(const RomFetch& o) const {
    return addr == o.addr && count == o.count && data == o.data && ok == o.ok;
}

bool SpiByte::operator==(const SpiByte& o) const {
    return rx == o.rx && value == o.value && ok == o.ok && reselect == o.reselect;
}

int SpiFrame::opcode() const {
    for (const SpiByte& b : bytes)
        if (!b.rx) return b.value;
    return -1;
}

std::vector<uint8_t> SpiFrame::sent() const {
    std::vector<uint8_t> out;
    for (const SpiByte& b : bytes)
        if (!b.rx) out.push_back(b.value);
    return out;
}

std::vector<uint8_t> SpiFrame::received() const {
    std::vector<uint8_t> out;
    for (const SpiByte& b : bytes)
        if (b.rx) out.push_back(b.value);
    return out;
}

std::string SpiFrame::str() const {
    std::string s;
    for (const SpiByte& b : bytes) {
        if (b.reselect) s += " |";
        if (b.rx)
            s += " <" + (b.ok ? hex(b.value) : std::string("!")) + ">";
        else
            s += " " + hex(b.value) + fail_mark(b.ok);
    }
    if (reselect_at_end) s += " |";
    if (!s.empty() && s[0] == ' ') s.erase(0, 1);
    if (!closed) s += " ...";
    return s;
}

std::string SpiStep::str() const {
    switch (kind) {
    case MODE: return "mode " + std::to_string(value) + fail_mark(ok);
    case SELECT: return std::string("sel") + fail_mark(ok);
    case RELEASE: return std::string("rel") + fail_mark(ok);
    case TX: return "tx " + hex(value) + fail_mark(ok);
    case RX: return "rx " + (ok ? hex(value) : std::string("!"));
    case READY: return "ready !";
    case SLEEP: return "sleep " + std::to_string(us);
    case REGISTER: break;
    }
    return reg.str();
}

std::string I2cTransaction::str() const {
    char b[32];
    std::snprintf(b, sizeof b, "I2C %02X %c [%u]", slave, read ? 'R' : 'W', count);
    std::string s = b + hex_bytes(sent);
    if (!received.empty()) s += " <" + hex_bytes(received).substr(1) + ">";
    s += " polls " + std::to_string(polls);
    if (failed) s += " failed";
    else if (!finished) s += " unfinished";
    return s + fail_mark(ok);
}

std::string DeviceEvent::str() const {
    switch (kind) {
    case REGISTER: return reg.str();
    case SPI_MODE: return reg.value ? "M1" : "M0";
    case SPI_FRAME: return frame.str();
    case SPI_STEP: return step.str();
    case FLASH: return flash.str();
    case ROM: return rom.str();
    case I2C: return i2c.str();
    case SLEEP: return "sleep " + std::to_string(sleep_us);
    case QUERY: break;
    }
    char b[64];
    std::snprintf(b, sizeof b, "Q sel %u %02X size %u -> %d", query.selector, query.request,
                  query.size, query.error);
    return b;
}

std::vector<std::string> strs(const std::vector<DeviceEvent>& events) {
    std::vector<std::string> out;
    for (const DeviceEvent& e : events) out.push_back(e.str());
    return out;
}

}  // namespace vcam
