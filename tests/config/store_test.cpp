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
    for (const auto& q : vcam::trace().queries()) {
        if (q.selector != 3 || q.request != vcam::REQ_SET_CUR || q.sent.size() < 3) continue;
        uint8_t control = q.sent[2];
        uint32_t bank = (control >> 4) & 3;
        out.push_back({(control & 0x80) != 0,
                       bank * 0x10000u + static_cast<uint32_t>(q.sent[0] | (q.sent[1] << 8)),
                       control & 0x0Fu});
    }
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
