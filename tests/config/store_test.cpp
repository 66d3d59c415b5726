#include "store_test.h"

#include <ostream>

namespace store_test {

std::ostream& operator<<(std::ostream& os, const Transfer& t) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%s 0x%05X len %u", t.read ? "read" : "write", t.addr, t.len);
    return os << buf;
}

std::vector<Transfer> transfers() {
    std::vector<Transfer> out;
    for (const vcam::FlashTransfer& f : vcam::trace().flash_transfers())
        out.push_back({f.read, f.addr, f.len});
    return out;
}

static std::vector<Transfer> only(bool read) {
    std::vector<Transfer> out;
    for (const auto& t : transfers())
        if (t.read == read) out.push_back(t);
    return out;
}
std::vector<Transfer> reads() { return only(true); }
std::vector<Transfer> writes() { return only(false); }

std::vector<Transfer> id_block_reads(int location) {
    uint32_t a = vcam::kIdBlockAddr[location];
    return {{true, a, 8}, {true, a + 8, 8}, {true, a + 16, 8}};
}

void StoreTest::SetUp() {
    CameraTest::SetUp();
    debug_enable = 0;
    vcam::trace().clear();
}

void StoreTest::TearDown() {
    expect_closed();
    debug_enable = 0;
    CameraTest::TearDown();
}

void StoreTest::expect_closed() {
    EXPECT_EQ(camera_init, 0);
    EXPECT_EQ(vcam::open_descriptor_count(), 0);
}

}  // namespace store_test
