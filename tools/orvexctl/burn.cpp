// burn: firmware burning that keeps the calibration. The library's burner
// erases the whole flash, so the calibration area (and the sector of the
// second identification block, when the image does not bring its own) is
// saved to a backup file first and written back and verified afterwards.
#include <cmath>
#include <ctime>

#include "orvexctl.h"

namespace orvexctl {

namespace {

bool any_programmed(const Bytes& img, long from, long to) {
    for (long a = from; a < to && a < static_cast<long>(img.size()); ++a)
        if (img[static_cast<size_t>(a)] != 0xFF) return true;
    return false;
}

std::string default_backup_name() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "orvex-calibration-%Y%m%d-%H%M%S.json", &tm);
    return buf;
}

Bytes range_of(const json& backup, long addr) {
    for (const auto& r : backup["ranges"])
        if (r["addr"] == hex(addr, 5)) {
            const std::string& h = r["data"].get_ref<const std::string&>();
            Bytes b;
            for (size_t i = 0; i + 1 < h.size(); i += 2)
                b.push_back(static_cast<uint8_t>(std::stoul(h.substr(i, 2), nullptr, 16)));
            return b;
        }
    throw Failure(EXIT_FILE, "internal: backup lacks " + hex(addr, 5));
}

// Rough time on real hardware: about 1 ms per extension-unit query, the
// one-second waits after each erase, and a few seconds of chip erase.
double estimate_seconds(long len, bool full_check, int kept_sectors, bool keep) {
    const double q = 0.001;
    double s = 3.0 + 1.0;                                   // chip erase, wait
    s += std::ceil(len / 1024.0) * 2 * q;                   // blank check
    s += (len / 8.0 + 1) * q;                               // program
    s += (full_check ? len / 8.0 : std::ceil(len / 1024.0)) * 2 * q;  // verify
    if (keep) {
        s += (kCalibEnd - kCalibStart + 0x1000 + 0x1000) / 8.0 * 2 * q;  // backup reads
        s += kept_sectors * (1.0 + 0.3 + 0x1000 / 8.0 * 5 * q);          // rewrite + verify
    }
    return s;
}

}  // namespace

int cmd_burn(const BurnOptions& o) {
    Bytes image = read_file(o.image);
    if (image.empty()) throw Failure(EXIT_USAGE, o.image + " is empty");
    if (static_cast<long>(image.size()) > kFlashSize)
        throw Failure(EXIT_REFUSED, o.image + " is larger than the 256 KiB flash");
    // The burner programs whole 8-byte chunks and saves 8 bytes at 0x160 for
    // last; pad with the erased value, which programs nothing.
    size_t original = image.size();
    size_t want = std::max<size_t>((image.size() + 7) / 8 * 8, 0x168);
    if (want != image.size()) {
        image.resize(want, 0xFF);
        info("image padded with 0xFF from " + std::to_string(original) + " to " + std::to_string(want) + " bytes");
    }
    const long len = static_cast<long>(image.size());
    const bool keep = !o.erase_calibration;
    if (keep && any_programmed(image, kCalibStart, kCalibEnd))
        throw Failure(EXIT_REFUSED, "the image overlaps the calibration area 0x30000-0x34FFF; "
                                    "refusing to burn (--erase-calibration gives it up)");
    const bool image_has_id2 = any_programmed(image, kId2SectorStart, kId2SectorEnd);
    const bool keep_id2 = keep && !image_has_id2;
    if (o.flash_type != "auto") parse_flash_type(o.flash_type);  // usage errors before the device
    const std::string backup_path = o.backup.empty() ? default_backup_name() : o.backup;
    if (keep && !o.dry_run) {
        // Find out now, before the device is touched, whether the backup can
        // be written at all.
        try {
            write_file(backup_path + ".probe", "");
            std::remove((backup_path + ".probe").c_str());
        } catch (const Failure& f) {
            throw Failure(EXIT_REFUSED, std::string(f.what()) + "; refusing to burn without a calibration backup");
        }
    }

    Session s(g_opt.device);
    Identity id = identify(false);  // register reads only
    // What the calibration store would find after the burn.
    std::vector<IdBlock> now = read_id_blocks();
    Bytes b1(24, 0xFF), b2(24, 0xFF);
    for (long i = 0; i < 24; ++i) {
        if (kIdBlock1 + i < len) b1[static_cast<size_t>(i)] = image[static_cast<size_t>(kIdBlock1 + i)];
        if (image_has_id2 && kIdBlock2 + i < len) b2[static_cast<size_t>(i)] = image[static_cast<size_t>(kIdBlock2 + i)];
    }
    bool recognised = check_id_block(kIdBlock1, b1.data()).valid ||
                      (image_has_id2 ? check_id_block(kIdBlock2, b2.data()).valid : keep_id2 && now[1].valid);
    const char* no_id_warning =
        "the new image carries no valid identification block: the calibration store will no longer "
        "recognise this camera";

    std::vector<std::pair<long, long>> kept;
    if (keep) kept.emplace_back(kCalibStart, kCalibEnd);
    if (keep_id2) kept.emplace_back(kId2SectorStart, kId2SectorEnd);

    if (o.dry_run) {
        // Reads only: which kept sectors hold data.
        int sectors = 0;
        json jk = json::array();
        std::string kt;
        for (const auto& k : kept) {
            Bytes cur = flash_read(k.first, k.second - k.first);
            int used = 0;
            for (long u = 0; u < k.second - k.first; u += 0x1000)
                used += any_programmed(Bytes(cur.begin() + u, cur.begin() + u + 0x1000), 0, 0x1000);
            sectors += used;
            jk.push_back({{"from", hex(k.first, 5)}, {"to", hex(k.second - 1, 5)}, {"sectors_with_data", used}});
            kt += "  keep   " + hex(k.first, 5) + "-" + hex(k.second - 1, 5) + " (" + std::to_string(used) +
                  " sector(s) hold data)\n";
        }
        double est = estimate_seconds(len, o.full_check, sectors, keep);
        json doc = {{"dry_run", true},
                    {"image", o.image},
                    {"image_length", len},
                    {"chip_id", hex(id.chip_id, 2)},
                    {"erase", {{"from", "0x00000"}, {"to", "0x3FFFF"}}},
                    {"write", {{"from", "0x00000"}, {"to", hex(len - 1, 5)}}},
                    {"keep", jk},
                    {"backup", keep ? json(backup_path) : json(nullptr)},
                    {"flash_type", o.flash_type == "auto" ? json("auto") : json(flash_type_name(parse_flash_type(o.flash_type)))},
                    {"verification", o.full_check ? "full" : "sampled"},
                    {"estimated_seconds", std::round(est)},
                    {"calibration_store_recognises_after", recognised}};
        std::string t = "dry run, nothing is touched:\n";
        t += "  erase  0x00000-0x3FFFF (whole flash)\n";
        t += "  write  0x00000-" + hex(len - 1, 5) + " (" + o.image + ", " + std::to_string(len) + " bytes)\n";
        t += keep ? kt : "  keep   nothing (--erase-calibration)\n";
        if (keep) t += "  backup " + doc["backup"].get<std::string>() + "\n";
        t += std::string("  verify ") + (o.full_check ? "every byte" : "8 bytes per KiB") + "\n";
        t += "  time   about " + std::to_string(static_cast<long>(std::round(est))) + " s\n";
        emit(doc, t);
        if (!recognised) note(std::string("warning: ") + no_id_warning);
        return EXIT_OK;
    }

    SERIAL_FLASH_TYPE sft = resolve_flash_type(o.flash_type);
    json backup;
    if (keep) {
        Identity full = identify(true);
        FwVersion fw = firmware_version();
        backup = make_backup(full, fw);
        try {
            write_file(backup_path, backup.dump(2) + "\n");
        } catch (const Failure& f) {
            throw Failure(EXIT_REFUSED, std::string(f.what()) + "; refusing to burn without a calibration backup");
        }
        note("calibration saved to " + backup_path);
    }
    if (!recognised) note(std::string("warning: ") + no_id_warning);
    const std::string hint = keep ? "; the calibration is saved in " + backup_path +
                                        " (orvexctl restore --force " + backup_path + ")"
                                  : "";
    {
        Progress p("burn", static_cast<uint64_t>(len));
        if (OrvexTac_BurnerFW(image.data(), len, Progress::callback, &p, sft, o.full_check ? 1 : 0) != 1) {
            std::string why = protection_note();
            if (!why.empty())
                throw Failure(EXIT_TRANSFER, "the flash refused the burn: " + why + hint);
            throw Failure(EXIT_TRANSFER, "the burn failed; the flash may be erased or partly programmed" + hint);
        }
        p.finish();
    }
    json jk = json::array();
    std::string t = "burned " + o.image + " (" + std::to_string(len) + " bytes, " +
                    (o.full_check ? "fully" : "sample") + " verified)\n";
    try {
        for (const auto& k : kept) {
            Bytes data = range_of(backup, k.first);
            RewriteResult r = flash_rewrite(k.first, data, sft, true);
            // Byte for byte, including sectors that needed no rewrite.
            if (flash_read(k.first, static_cast<long>(data.size())) != data)
                throw Failure(EXIT_VERIFY, "kept range " + hex(k.first, 5) + " differs after the rewrite");
            jk.push_back({{"from", hex(k.first, 5)}, {"to", hex(k.second - 1, 5)}, {"sectors_rewritten", r.units_written}});
            t += "kept   " + hex(k.first, 5) + "-" + hex(k.second - 1, 5) + ", verified\n";
        }
    } catch (const Failure& f) {
        throw Failure(f.code, std::string(f.what()) + hint);
    }
    bool after = store_recognises(read_id_blocks());
    emit({{"image", o.image}, {"image_length", len}, {"flash_type", flash_type_name(sft)},
          {"full_check", o.full_check}, {"kept", jk},
          {"backup", keep ? json(backup_path) : json(nullptr)},
          {"calibration_store_recognises", after}},
         t);
    return EXIT_OK;
}

}  // namespace orvexctl
