#include "vcam.h"

namespace vcam {

RegisterSpace::RegisterSpace() : cells_(0x10000, 0) {}

void RegisterSpace::map(uint16_t addr, ReadHook on_read, WriteHook on_write) {
    if (on_read) read_hooks_[addr] = std::move(on_read);
    if (on_write) write_hooks_[addr] = std::move(on_write);
}

uint8_t RegisterSpace::read(uint16_t addr) {
    auto it = read_hooks_.find(addr);
    return it != read_hooks_.end() ? it->second(addr) : cells_[addr];
}

void RegisterSpace::write(uint16_t addr, uint8_t value) {
    auto it = write_hooks_.find(addr);
    if (it != write_hooks_.end())
        it->second(addr, value);
    else
        cells_[addr] = value;
}

}  // namespace vcam
