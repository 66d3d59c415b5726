// Firmware burning: the flash traffic of a whole burn, its progress reports,
// the image-length rules, and what a burn that fails at each stage leaves in
// the flash.
#include <climits>

#include "orvex_test.h"
#include "serial_flash.h"

using orvex_test::capture;

namespace {

using FlashOp = vcam::FlashTransfer;

// Flash-data transfers after the one-second wait that follows the erase
// (before it, the write-protect release reads its configuration byte).
std::vector<FlashOp> flash_ops() {
    std::vector<FlashOp> ops;
    bool after_wait = false;
    for (const auto& ev : vcam::trace().conversation()) {
        if (ev.kind == vcam::DeviceEvent::SLEEP && ev.sleep_us == 1000000) after_wait = true;
        if (after_wait && ev.kind == vcam::DeviceEvent::FLASH) ops.push_back(ev.flash);
    }
    return ops;
}

// The default camera's serial-flash master registers, as the model lays them.
const vcam::ArchMap& kRegs = vcam::arch_map(0);

bool writes(const vcam::QueryRecord& q, uint16_t addr, uint8_t value) {
    return orvex_test::accesses_register(q, addr, value);
}

std::vector<uint32_t> addrs(const std::vector<FlashOp>& ops, bool read) {
    std::vector<uint32_t> out;
    for (const auto& op : ops)
        if (op.read == read) out.push_back(op.addr);
    return out;
}

std::vector<uint32_t> stride(uint32_t from, uint32_t to_inclusive, uint32_t step) {
    std::vector<uint32_t> out;
    for (uint32_t a = from; a <= to_inclusive; a += step) out.push_back(a);
    return out;
}

// An image with no erased-looking bytes where it matters: every byte differs
// from its neighbours and from 0xFF at 0x160..0x167.
std::vector<unsigned char> make_image(size_t len) {
    std::vector<unsigned char> img(len);
    for (size_t i = 0; i < len; ++i) img[i] = static_cast<unsigned char>((i * 37 + (i >> 8)) & 0x7F);
    return img;
}

// Progress calls, with the context each one carried.
struct ProgressLog {
    std::vector<float> values;
    std::vector<void*> contexts;
};
ProgressLog g_progress;
void on_progress(void* ptrClass, float progress) {
    g_progress.values.push_back(progress);
    g_progress.contexts.push_back(ptrClass);
}
int g_context_token;

class Burn : public orvex_test::CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        g_progress = ProgressLog();
        open_camera();
        fill_flash(0x00);
    }
    // A fresh camera for the next case of a table, flash filled again.
    void reopen(const vcam::Profile& p = vcam::default_profile()) {
        OrvexTac_UnInit();
        open_camera(p);
        fill_flash(0x00);
    }
    // Programmed-looking content everywhere, so an erase is visible.
    void fill_flash(uint8_t v) { std::fill(cam().flash().begin(), cam().flash().end(), v); }
    BOOL burn(std::vector<unsigned char>& img, BOOL full, bool with_progress = true) {
        return OrvexTac_BurnerFW(img.data(), static_cast<LONG>(img.size()),
                                 with_progress ? on_progress : nullptr, &g_context_token,
                                 SFT_MXIC, full);
    }
    // Flash bytes [from, to) compared with an expectation.
    template <class Want>
    ::testing::AssertionResult flash_is(uint32_t from, uint32_t to, const Want& want) {
        for (uint32_t a = from; a < to; ++a)
            if (cam().flash()[a] != want(a))
                return ::testing::AssertionFailure()
                       << "flash[0x" << std::hex << a << "] = 0x" << int(cam().flash()[a])
                       << ", expected 0x" << int(want(a));
        return ::testing::AssertionSuccess();
    }
    static uint8_t erased(uint32_t) { return 0xFF; }
};

// ------------------------------------------------------------ refusals

TEST_F(Burn, RefusedWithoutAnyQuery) {
    std::vector<unsigned char> img = make_image(0x10000);
    struct Case {
        const char* what;
        unsigned char* buffer;
        LONG len;
        SERIAL_FLASH_TYPE sft;
    } cases[] = {
        {"unknown flash type", img.data(), 0x10000, SFT_UNKNOW},
        {"null image", nullptr, 0x10000, SFT_MXIC},
        {"empty image", img.data(), 0, SFT_MXIC},
        {"negative length", img.data(), -8, SFT_MXIC},
        {"shorter than the deferred chunk", img.data(), 0x167, SFT_MXIC},
        {"longer than the reachable flash", img.data(), 0x40001, SFT_MXIC},
        {"huge length", img.data(), LONG_MAX, SFT_MXIC},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        vcam::trace().clear();
        EXPECT_EQ(OrvexTac_BurnerFW(c.buffer, c.len, on_progress, &g_context_token, c.sft, 1), 0);
        EXPECT_EQ(vcam::trace().query_count(), 0u);
        EXPECT_EQ(cam().flash(), std::vector<uint8_t>(vcam::kFlashSize, 0x00));
    }
    EXPECT_TRUE(g_progress.values.empty());
}

TEST_F(Burn, NeedsAnOpenCamera) {
    ASSERT_EQ(OrvexTac_UnInit(), 1);
    vcam::trace().clear();
    std::vector<unsigned char> img = make_image(0x1000);
    EXPECT_EQ(burn(img, 1), 0);
    EXPECT_EQ(vcam::trace().query_count(), 0u);
}

// ------------------------------------------------------------ traffic

TEST_F(Burn, SixtyFourKiBImageTraffic) {
    struct Case {
        BOOL full;
        std::vector<uint32_t> verified;
    } cases[] = {{0, stride(0, 0xFC00, 0x400)}, {1, stride(0, 0xFFF8, 8)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.full);
        reopen();
        std::vector<unsigned char> img = make_image(0x10000);
        ASSERT_EQ(burn(img, c.full), 1);
        std::vector<FlashOp> ops = flash_ops();

        // Blank check, programming, deferred write, verification, in order.
        ASSERT_EQ(ops.size(), 63u + 8192u + 1u + c.verified.size());
        std::vector<FlashOp> blank(ops.begin(), ops.begin() + 63);
        EXPECT_EQ(addrs(blank, true), stride(0, 0xF800, 0x400));
        for (size_t k = 0; k < 8192; ++k) {
            const FlashOp& op = ops[63 + k];
            ASSERT_FALSE(op.read) << k;
            ASSERT_EQ(op.addr, 8 * k);
            ASSERT_EQ(op.len, 8u);
            for (unsigned b = 0; b < 8; ++b) {
                uint32_t a = op.addr + b;
                uint8_t want = (a >= 0x160 && a < 0x164) ? 0xFF : img[a];
                ASSERT_EQ(op.data[b], want) << std::hex << a;
            }
        }
        const FlashOp& deferred = ops[63 + 8192];
        EXPECT_FALSE(deferred.read);
        EXPECT_EQ(deferred.addr, 0x160u);
        EXPECT_EQ(deferred.data, std::vector<uint8_t>(img.begin() + 0x160, img.begin() + 0x168));
        std::vector<FlashOp> verify(ops.begin() + 63 + 8193, ops.end());
        EXPECT_EQ(addrs(verify, true), c.verified);

        // Full verification passed over 0x160..0x167, so it compared the
        // caller's bytes there, not the 0xFF placeholder.
        EXPECT_TRUE(flash_is(0, 0x10000, [&](uint32_t a) { return img[a]; }));
        // The rest of the flash, calibration area included, is erased.
        EXPECT_TRUE(flash_is(0x10000, vcam::kFlashSize, erased));
    }
}

TEST_F(Burn, ChipEraseTakesItsTimeThenOneSecondWait) {
    std::vector<unsigned char> img = make_image(0x1000);
    ASSERT_EQ(burn(img, 0), 1);
    const auto& ev = vcam::trace().events();
    size_t erase = ev.size(), one_second = ev.size();
    uint64_t polled_us = 0;
    for (size_t k = 0; k < ev.size(); ++k) {
        if (ev[k].kind == vcam::TraceEvent::SLEEP) {
            if (ev[k].sleep_us == 1000000) {
                ASSERT_EQ(one_second, ev.size()) << "a second one-second wait";
                one_second = k;
            } else if (erase < k && one_second == ev.size()) {
                polled_us += ev[k].sleep_us;
            }
            continue;
        }
        // 0x60 into the SPI master's data register: chip erase.
        if (writes(ev[k].query, kRegs.sf_write_data, 0x60)) erase = k;
        // After the wait, only flash data.
        if (one_second < k) {
            ASSERT_EQ(ev[k].query.selector, 3) << k;
        }
    }
    ASSERT_LT(erase, one_second);
    ASSERT_LT(one_second, ev.size());
    // The status poll waited out the part's chip-erase time, to the poll.
    uint64_t erase_us = vcam::flash_family(SFT_MXIC).chip_erase_us;
    EXPECT_GE(polled_us + 1000, erase_us);
    EXPECT_LE(polled_us, erase_us + 1000);
}

TEST_F(Burn, UnlockRegisterWrittenOnlyForChip85) {
    struct Case {
        const char* profile;
        bool unlock;
    } cases[] = {{"default", false}, {"second-arch", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.profile);
        vcam::Profile p;
        ASSERT_TRUE(vcam::find_profile(c.profile, &p));
        reopen(p);
        std::vector<unsigned char> img = make_image(0x800);
        ASSERT_EQ(burn(img, 0), 1);
        auto writes = vcam::trace().register_writes();
        size_t unlocks = 0;
        for (const auto& w : writes)
            if (w.addr == 0x05FF) {
                ++unlocks;
                EXPECT_EQ(w.value, 0x5A);
            }
        EXPECT_EQ(unlocks, c.unlock ? 1u : 0u);
        // Identification only reads, so the unlock comes before every write
        // of the write-protect release.
        if (c.unlock) {
            ASSERT_FALSE(writes.empty());
            EXPECT_EQ(writes.front().addr, 0x05FF);
        }
    }
}

// ------------------------------------------------------------ progress

TEST_F(Burn, ProgressSequences) {
    std::vector<float> sampled, full;
    for (int k = 0; k < 128; ++k) sampled.push_back(k / 128.0f);
    sampled.push_back(1.0f);
    for (int k = 0; k < 128; ++k) full.push_back(k / 256.0f);
    full.push_back(0.5f);
    for (int k = 0; k < 128; ++k) full.push_back(0.5f + k / 256.0f);
    full.push_back(1.0f);
    ASSERT_EQ(sampled.size(), 129u);
    ASSERT_EQ(full.size(), 258u);

    struct Case {
        BOOL full;
        const std::vector<float>* want;
    } cases[] = {{0, &sampled}, {1, &full}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.full);
        g_progress = ProgressLog();
        reopen();
        std::vector<unsigned char> img = make_image(0x10000);
        ASSERT_EQ(burn(img, c.full), 1);
        EXPECT_EQ(g_progress.values, *c.want);
        for (void* ctx : g_progress.contexts) ASSERT_EQ(ctx, &g_context_token);
    }
}

TEST_F(Burn, NoCallbackSameFlashTraffic) {
    std::vector<unsigned char> img = make_image(0x2000);
    ASSERT_EQ(burn(img, 1, true), 1);
    auto with = vcam::trace().queries();
    reopen();
    ASSERT_EQ(burn(img, 1, false), 1);
    auto without = vcam::trace().queries();
    ASSERT_EQ(with.size(), without.size());
    for (size_t k = 0; k < with.size(); ++k) {
        ASSERT_EQ(with[k].selector, without[k].selector) << k;
        ASSERT_EQ(with[k].sent, without[k].sent) << k;
    }
}

// ------------------------------------------------------------ lengths

TEST_F(Burn, ShortestImage) {
    std::vector<unsigned char> img = make_image(0x168);
    ASSERT_EQ(burn(img, 1), 1);
    std::vector<FlashOp> ops = flash_ops();
    // Too short for a blank-check sample: 45 transfers, the deferred one,
    // then 45 verification reads.
    EXPECT_EQ(addrs(ops, false).size(), 46u);
    EXPECT_EQ(addrs(ops, true), stride(0, 0x160, 8));
    EXPECT_TRUE(flash_is(0, 0x168, [&](uint32_t a) { return img[a]; }));
    EXPECT_TRUE(flash_is(0x168, vcam::kFlashSize, erased));
}

TEST_F(Burn, UnalignedLengthPadsTheLastChunkWithErasedBytes) {
    for (BOOL full : {0, 1}) {
        SCOPED_TRACE(full);
        reopen();
        // Exactly 0x1005 bytes on the heap: a read past them is a sanitizer
        // error.
        std::vector<unsigned char> img = make_image(0x1005);
        ASSERT_EQ(burn(img, full), 1);
        std::vector<FlashOp> ops = flash_ops();
        std::vector<uint32_t> writes = addrs(ops, false);
        std::vector<uint32_t> want = stride(0, 0x1000, 8);
        want.push_back(0x160);
        EXPECT_EQ(writes, want);
        const FlashOp* last = nullptr;
        for (const auto& op : ops)
            if (!op.read && op.addr == 0x1000) last = &op;
        ASSERT_NE(last, nullptr);
        EXPECT_EQ(last->len, 8u);
        EXPECT_EQ(last->data, (std::vector<uint8_t>{img[0x1000], img[0x1001], img[0x1002],
                                                    img[0x1003], img[0x1004], 0xFF, 0xFF, 0xFF}));
        EXPECT_TRUE(flash_is(0, 0x1005, [&](uint32_t a) { return img[a]; }));
        EXPECT_TRUE(flash_is(0x1005, vcam::kFlashSize, erased));
    }
}

TEST_F(Burn, PaddingIsComparedAsErased) {
    // The sector at 0x2000 keeps its old zeros through the erase. The blank
    // check never samples the image's last KiB, and the image's own bytes
    // there are zeros too, so only the padding of the last chunk can tell.
    cam().faults().unerasable_sectors = {0x2000};
    std::vector<unsigned char> img = make_image(0x2005);
    std::fill(img.begin() + 0x2000, img.end(), 0x00);
    EXPECT_EQ(burn(img, 1), 0);
    std::vector<FlashOp> ops = flash_ops();
    ASSERT_FALSE(ops.empty()) << "the burn stopped before its blank check";
    EXPECT_EQ(ops.back().addr, 0x2000u);
}

TEST_F(Burn, LargestImageFillsTheFlash) {
    std::vector<unsigned char> img = make_image(0x40000);
    ASSERT_EQ(burn(img, 0), 1);
    std::vector<uint32_t> writes = addrs(flash_ops(), false);
    ASSERT_EQ(writes.size(), 0x8000u + 1u);
    EXPECT_EQ(writes[0x7FFF], 0x3FFF8u);
    EXPECT_TRUE(flash_is(0, 0x40000, [&](uint32_t a) { return img[a]; }));
}

// ------------------------------------------------------------ flash faults

TEST_F(Burn, SectorThatWillNotEraseStopsBeforeProgramming) {
    cam().faults().unerasable_sectors = {0x3000};
    std::vector<unsigned char> img = make_image(0x10000);
    EXPECT_EQ(burn(img, 0), 0);
    std::vector<FlashOp> ops = flash_ops();
    EXPECT_TRUE(addrs(ops, false).empty());
    EXPECT_EQ(addrs(ops, true), stride(0, 0x3000, 0x400));
    EXPECT_TRUE(g_progress.values.empty());
    EXPECT_TRUE(flash_is(0, 0x3000, erased));
    EXPECT_TRUE(flash_is(0x3000, 0x4000, [](uint32_t) { return 0x00; }));
    EXPECT_TRUE(flash_is(0x4000, vcam::kFlashSize, erased));
}

// A flash whose protection the release cannot lift: the burn stops before
// the erase, whatever the image, and the old firmware stays as it was.
TEST_F(Burn, ProtectionThatStaysStopsBeforeTheErase) {
    vcam::Profile p;
    ASSERT_TRUE(vcam::find_profile("locked", &p));
    reopen(p);
    // Old firmware bytes between the sampled offsets; an image of erased
    // bytes. Nothing of it needs programming, and a sampled check of the
    // untouched flash would pass.
    fill_flash(0xFF);
    std::fill_n(cam().flash().begin() + 0x100, 0x10, 0x00);
    const std::vector<uint8_t> before = cam().flash();
    std::vector<unsigned char> img(0x2000, 0xFF);
    EXPECT_EQ(burn(img, 0), 0);
    EXPECT_TRUE(flash_ops().empty());
    EXPECT_TRUE(cam().flash() == before);
}

// The chip erase does not go through whole: the burn stops before any
// blank check or program, instead of burning an image over a flash whose
// calibration area (beyond the image) may never have been erased.
TEST_F(Burn, ChipEraseThatDidNotGoThroughStopsTheBurn) {
    const std::vector<uint8_t> opcode = {0x82, 0x10, 0x60, 0x00};  // 0x1082 <- 0x60
    const std::vector<uint8_t> mode_off = {0x80, 0x10, 0x00, 0x00};  // 0x1080 <- 0
    for (bool closing : {false, true}) {
        SCOPED_TRACE(closing ? "closing host mode write" : "opcode write");
        reopen();
        fill_flash(0xFF);
        std::fill_n(cam().flash().begin() + 0x30000, 0x100, 0x00);
        bool sent_opcode = false, failed = false;
        cam().faults().fail_if = [&](const vcam::QueryRecord& q) {
            if (failed || q.selector != 1 || q.request != vcam::REQ_SET_CUR) return false;
            if (q.sent == opcode) sent_opcode = true;
            failed = closing ? sent_opcode && q.sent == mode_off : q.sent == opcode;
            return failed;
        };
        std::vector<unsigned char> img = make_image(0x1000);
        capture([&] { EXPECT_EQ(burn(img, 0), 0); });
        EXPECT_TRUE(failed);
        EXPECT_TRUE(flash_ops().empty()) << "no blank check, no program";
        EXPECT_TRUE(g_progress.values.empty());
        if (!closing) {
            EXPECT_EQ(cam().flash()[0x30000], 0x00) << "nothing was erased";
        }
    }
}

TEST_F(Burn, BitThatWillNotProgram) {
    struct Case {
        const char* what;
        uint32_t addr;
        BOOL full;
        BOOL result;
    } cases[] = {
        {"sampled offset, sampled check", 0x2403, 0, 0},
        {"between samples, sampled check", 0x2413, 0, 1},
        {"between samples, full check", 0x2413, 1, 0},
        {"held-back byte, full check", 0x161, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        g_progress = ProgressLog();
        reopen();
        std::vector<unsigned char> img = make_image(0x4000);
        img[c.addr] = 0x00;
        cam().faults().stuck_bits = {{c.addr, 0x10}};
        EXPECT_EQ(burn(img, c.full), c.result);
        EXPECT_EQ(cam().flash()[c.addr], 0x10);
        // Verification failed or passed with everything else programmed.
        img[c.addr] = 0x10;
        EXPECT_TRUE(flash_is(0, 0x4000, [&](uint32_t a) { return img[a]; }));
        // No report after the failure (sampled mode has reported 1.0 before
        // it verifies).
        if (!c.result && c.full) {
            ASSERT_FALSE(g_progress.values.empty());
            EXPECT_LT(g_progress.values.back(), 1.0f);
        }
    }
}

// Unplugging the camera at each stage of a burn: the result is 0 and the
// flash holds what that stage allows.
TEST_F(Burn, UnplugAtEachStage) {
    const uint32_t kLen = 0x4000;
    std::vector<unsigned char> img = make_image(kLen);

    // A reference burn locates the stages in the query stream.
    ASSERT_EQ(burn(img, 1), 1);
    auto ref = vcam::trace().queries();
    auto is_flash = [](const vcam::QueryRecord& q, bool read) {
        vcam::FlashTransfer f;
        return vcam::as_flash_request(q, &f) && f.read == read;
    };
    long first_register_write = -1, erase_cmd = -1, erase_frame_end = -1, blank = -1, program = -1, deferred = -1,
         verify = -1;
    long writes_seen = 0;
    for (size_t k = 0; k < ref.size(); ++k) {
        const auto& q = ref[k];
        long idx = static_cast<long>(k);
        vcam::RegisterAccess reg;
        if (vcam::as_register_access(q, &reg) && reg.write) {
            if (first_register_write < 0) first_register_write = idx;
            // 0x60 sent through the SPI master's data register: chip erase.
            if (writes(q, kRegs.sf_write_data, 0x60)) erase_cmd = idx;
            // The chip starts erasing when the frame ends (chip select high).
            if (erase_cmd >= 0 && erase_frame_end < 0 && writes(q, kRegs.sf_cs, 0x01))
                erase_frame_end = idx;
        }
        if (is_flash(q, true) && erase_frame_end >= 0 && blank < 0) blank = idx;
        if (is_flash(q, false)) {
            if (program < 0) program = idx;
            if (++writes_seen == kLen / 8 + 1) deferred = idx;
        }
        if (is_flash(q, true) && deferred >= 0 && verify < 0) verify = idx;
    }
    ASSERT_GE(first_register_write, 0);
    ASSERT_GT(erase_cmd, first_register_write);
    ASSERT_GT(erase_frame_end, erase_cmd);
    ASSERT_GT(blank, erase_frame_end);
    ASSERT_GT(program, blank);
    ASSERT_GT(deferred, program);
    ASSERT_GT(verify, deferred);

    const long kChunks = 100;  // program transfers that get through
    auto programmed_up_to = [&](uint32_t end) {
        return [&img, end](uint32_t a) -> uint8_t {
            if (a >= end) return 0xFF;
            if (a >= 0x160 && a < 0x164) return 0xFF;
            return img[a];
        };
    };
    struct Case {
        const char* stage;
        long unplug_after;  // queries that still get through
        std::function<uint8_t(uint32_t)> want;  // null: erase may be partial
        size_t reports;
    } cases[] = {
        {"identification", 0, [](uint32_t) { return 0x00; }, 0},
        {"write-protect release", first_register_write + 1, [](uint32_t) { return 0x00; }, 0},
        {"erase command", erase_cmd, [](uint32_t) { return 0x00; }, 0},
        {"erase in progress", erase_frame_end + 1, nullptr, 0},
        {"blank check", blank, erased, 0},
        {"programming", program + kChunks, programmed_up_to(kChunks * 8), 2},
        {"deferred write", deferred, programmed_up_to(kLen), kLen / 512 + 0},
        {"verification", verify + 10, [&](uint32_t a) -> uint8_t {
             return a < kLen ? img[a] : 0xFF; }, kLen / 512 + 1 + 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stage);
        g_progress = ProgressLog();
        reopen();
        cam().reset_faults();
        cam().faults().unplug_after = c.unplug_after;
        capture([&] { EXPECT_EQ(burn(img, 1), 0); });
        EXPECT_EQ(g_progress.values.size(), c.reports);
        if (c.want) {
            EXPECT_TRUE(flash_is(0, vcam::kFlashSize, c.want));
        } else {
            // The chip goes on erasing without its host; nothing is programmed.
            EXPECT_TRUE(flash_is(0, vcam::kFlashSize, [this](uint32_t a) {
                return cam().flash()[a] == 0xFF ? 0xFF : 0x00;
            }));
        }
    }
}

}  // namespace
