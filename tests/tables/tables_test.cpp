// Walks the product's tables and checks what the code relies on without
// saying so: every ROM row can be found by the search, the quirk side table
// names rows that exist, register maps do not collide, and every flash part
// is identified by one id and driven by one coherent command set.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <tuple>
#include <vector>

#include "OVOptDev.h"
#include "ROMData.h"
#include "ROMData/rom_quirks.h"
#include "SFData.h"
#include "SFData/columns.h"
#include "SFData/flash_family.h"
#include "serial_flash.h"

namespace {

// ---- Mask-ROM rows ------------------------------------------------------

int search_index(USHORT addr) {
    for (int i = 0; i < ROMSTRADDRCNT; ++i)
        if (RomStringAddr[i] == addr) return i;
    return -1;
}

// The row the search picks when the ROM at addr holds these bytes.
unsigned searched_row(USHORT addr, const BYTE* bytes) {
    for (unsigned j = 0; j < ROMCOUNT; ++j)
        if (RomInfo[j].RomStringAddr == addr && orvex::rom_row_matches(RomInfo[j], bytes)) return j;
    return ROMCOUNT;
}

bool is_alias_row(unsigned row) {
    for (const orvex::RomQuirk& q : orvex::kRomQuirks)
        if (q.alias.row == row) return true;
    return false;
}

TEST(RomTable, SearchAddressesAreDistinct) {
    std::set<USHORT> seen(RomStringAddr, RomStringAddr + ROMSTRADDRCNT);
    EXPECT_EQ(seen.size(), static_cast<size_t>(ROMSTRADDRCNT));
}

TEST(RomTable, EveryRowIsAtAnAddressTheSearchVisits) {
    for (unsigned j = 0; j < ROMCOUNT; ++j)
        EXPECT_GE(search_index(RomInfo[j].RomStringAddr), 0)
            << "row " << j << " at 0x" << std::hex << RomInfo[j].RomStringAddr;
}

TEST(RomTable, ModelsAreDigits) {
    for (unsigned j = 0; j < ROMCOUNT; ++j) {
        const BYTE* s = RomInfo[j].RomString;
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(s[i] >= '0' && s[i] <= '9') << "row " << j;
    }
}

// A row an earlier row shadows (same string, or a "this version and later"
// row before it) can never be identified; only the rows a chip probe
// switches to may share their string with another row.
TEST(RomTable, EveryRowIsFoundByItsOwnStringOrIsAProbedAlias) {
    for (unsigned j = 0; j < ROMCOUNT; ++j) {
        unsigned found = searched_row(RomInfo[j].RomStringAddr, RomInfo[j].RomString);
        if (is_alias_row(j))
            continue;
        EXPECT_EQ(found, j) << "row " << j << " is shadowed by row " << found;
    }
}

// ---- ROM quirks ---------------------------------------------------------

TEST(RomQuirks, KeysAreDistinctRowsThatExist) {
    std::set<unsigned> keys;
    for (const orvex::RomQuirk& q : orvex::kRomQuirks) {
        EXPECT_LT(q.row, static_cast<unsigned>(ROMCOUNT));
        EXPECT_TRUE(keys.insert(q.row).second) << "row " << q.row << " has two entries";
        EXPECT_EQ(&orvex::rom_quirk(q.row), &q) << "row " << q.row;
    }
}

TEST(RomQuirks, ChipProbesThatSwitchRowsNameAnotherRowAtTheSameAddress) {
    using orvex::RomRefine;
    for (const orvex::RomQuirk& q : orvex::kRomQuirks) {
        const bool switches = q.refine == RomRefine::Probe288 || q.refine == RomRefine::Probe271 ||
                              q.refine == RomRefine::Probe281;
        if (!switches) {
            EXPECT_EQ(q.alias.row, static_cast<unsigned>(ROMCOUNT)) << "row " << q.row;
            continue;
        }
        ASSERT_LT(q.alias.row, static_cast<unsigned>(ROMCOUNT)) << "row " << q.row;
        EXPECT_NE(q.alias.row, q.row);
        EXPECT_EQ(RomInfo[q.alias.row].RomStringAddr, RomInfo[q.row].RomStringAddr) << "row " << q.row;
        EXPECT_TRUE(q.alias.digit >= '0' && q.alias.digit <= '9') << "row " << q.row;
        // The row a probe switches to needs no probe of its own: nothing
        // would run it.
        EXPECT_EQ(orvex::rom_quirk(q.alias.row).refine, RomRefine::None) << "row " << q.alias.row;
    }
}

// ---- Register maps ------------------------------------------------------

std::vector<USHORT> fields(const DSP_ARCH_INFO& m) {
    return {m.asicIdAddr,      m.sfRdyAddr,      m.usbResetAddr,   m.gpioInputAddr,
            m.gpioOutputAddr,  m.gpioOEAddr,     m.sfModeAddr,     m.sfCSAddr,
            m.sfWriteDataAddr, m.sfReadDataAddr, m.sfReadWriteTriggerAddr,
            m.i2cDev,          m.i2cMode,        m.i2cTrg,         m.i2cSclSelOD,
            m.i2cSlaveID,      m.i2cDataArrStartAddr};
}
static_assert(sizeof(DSP_ARCH_INFO) == 17 * sizeof(USHORT), "fields() lists every register");

constexpr size_t kI2cFirstField = 11;

TEST(ArchMaps, EveryRegisterHasItsOwnAddress) {
    for (int a = 0; a < DSP_ARCH_COUNT; ++a) {
        std::vector<USHORT> f = fields(g_AsicArchInfo[a]);
        std::set<USHORT> distinct(f.begin(), f.end());
        EXPECT_EQ(distinct.size(), f.size()) << "architecture " << a;
        EXPECT_EQ(distinct.count(0), 0u) << "architecture " << a;
    }
}

// Chip identification reads the id register of each map in turn: the maps
// must not overlap, or one chip's registers would be the other's.
TEST(ArchMaps, ArchitecturesOccupyDisjointRanges) {
    std::vector<std::pair<USHORT, USHORT>> ranges;
    for (int a = 0; a < DSP_ARCH_COUNT; ++a) {
        std::vector<USHORT> f = fields(g_AsicArchInfo[a]);
        ranges.emplace_back(*std::min_element(f.begin(), f.end()), *std::max_element(f.begin(), f.end()));
    }
    for (size_t a = 0; a < ranges.size(); ++a)
        for (size_t b = a + 1; b < ranges.size(); ++b)
            EXPECT_TRUE(ranges[a].second < ranges[b].first || ranges[b].second < ranges[a].first)
                << "architectures " << a << " and " << b;
}

TEST(ArchMaps, HostMapsAreTheSameMapsWithoutI2c) {
    for (int a = 0; a < DSP_ARCH_COUNT; ++a) {
        std::vector<USHORT> full = fields(g_AsicArchInfo[a]);
        std::vector<USHORT> host = fields(g_DspArchInfo[a]);
        for (size_t i = 0; i < full.size(); ++i)
            EXPECT_EQ(host[i], i < kI2cFirstField ? full[i] : 0) << "architecture " << a << " field " << i;
    }
}

// ---- Serial-flash tables ------------------------------------------------

BYTE id_cell(int row, orvex::SfIdColumn col) { return cbSFLib_ID[row][col]; }

TEST(FlashTables, OnlyTheFirstRowStandsForNoFlash) {
    EXPECT_EQ(id_cell(0, orvex::kIdValid), 0);
    EXPECT_EQ(id_cell(0, orvex::kIdFlashType), SFT_UNKNOW);
    for (int r = 1; r < SFLIB_ID_ROWS; ++r) {
        EXPECT_EQ(id_cell(r, orvex::kIdValid), 1) << "row " << r;
        EXPECT_GT(id_cell(r, orvex::kIdFlashType), SFT_UNKNOW) << "row " << r;
        EXPECT_LE(id_cell(r, orvex::kIdFlashType), SFT_FENTECH) << "row " << r;
        EXPECT_LT(id_cell(r, orvex::kIdCommandSet), SFLIB_CMD_ROWS) << "row " << r;
        EXPECT_NE(id_cell(r, orvex::kIdCommandSet), orvex::kCmdsUnknown) << "row " << r;
    }
}

TEST(FlashTables, JedecIdsAreUnique) {
    std::map<std::tuple<BYTE, BYTE, BYTE>, int> seen;
    for (int r = 0; r < SFLIB_ID_ROWS; ++r) {
        auto id = std::make_tuple(id_cell(r, orvex::kIdManufacturer), id_cell(r, orvex::kIdDevice1),
                                  id_cell(r, orvex::kIdDevice2));
        auto [it, fresh] = seen.emplace(id, r);
        EXPECT_TRUE(fresh) << "rows " << it->second << " and " << r << " share a JEDEC id";
    }
}

// A flash type is one family: all its parts take the same command set.
TEST(FlashTables, EachFlashTypeHasOneCommandSet) {
    std::map<BYTE, std::pair<BYTE, int>> setOfType;
    for (int r = 1; r < SFLIB_ID_ROWS; ++r) {
        BYTE type = id_cell(r, orvex::kIdFlashType);
        BYTE set = id_cell(r, orvex::kIdCommandSet);
        auto [it, fresh] = setOfType.emplace(type, std::make_pair(set, r));
        if (!fresh) {
            EXPECT_EQ(set, it->second.first)
                << "type " << int(type) << ": rows " << it->second.second << " and " << r;
        }
    }
}

// In a set a part is driven with, each operation has its own opcode (write
// disable aside, which no set uses for anything else either).
TEST(FlashTables, CommandSetsInUseHaveDistinctOpcodes) {
    std::set<BYTE> used;
    for (int r = 1; r < SFLIB_ID_ROWS; ++r) used.insert(id_cell(r, orvex::kIdCommandSet));
    for (BYTE s : used) {
        std::set<BYTE> ops(cbSFLib_Cmd[s], cbSFLib_Cmd[s] + SFLIB_CMD_COLS);
        EXPECT_EQ(ops.size(), static_cast<size_t>(SFLIB_CMD_COLS)) << "command set " << int(s);
    }
}

// The flash-family table is the one home of what each erase clears: its
// rows agree with the command sets the library's identification table
// names, and with the chips the virtual camera models.
TEST(FlashFamilies, ChipEraseFramesEndWithWriteEnableThenErase) {
    const BYTE wren = cbSFLib_Cmd[orvex::kCmdsCommon][SFCMD_IDX_WREN];
    for (const orvex::FlashFamily& f : orvex::kFlashFamilies) {
        const orvex::ChipEraseFrames& r = f.chip_erase;
        ASSERT_GE(r.frames, 2) << f.name;
        ASSERT_LE(r.frames, 4) << f.name;
        for (int i = 0; i < 4; ++i) {
            if (i < r.frames)
                EXPECT_TRUE(r.lengths[i] == 1 || r.lengths[i] == 2) << f.name << " frame " << i;
            else
                EXPECT_EQ(r.lengths[i], 0) << f.name << " frame " << i;
        }
        EXPECT_EQ(r.lengths[r.frames - 2], 1) << f.name;
        EXPECT_EQ(r.bytes[r.frames - 2][0], wren) << f.name;
        EXPECT_EQ(r.lengths[r.frames - 1], 1) << f.name;
        EXPECT_NE(r.bytes[r.frames - 1][0], wren) << f.name;
    }
}

TEST(FlashFamilies, ProgramOpcodeIsTheIdentifiedPartsCommandSet) {
    for (int row = 1; row < SFLIB_ID_ROWS; ++row) {
        const BYTE* id = cbSFLib_ID[row];
        const orvex::FlashFamily& f = orvex::flash_family(id[orvex::kIdFlashType]);
        EXPECT_EQ(f.program, cbSFLib_Cmd[id[orvex::kIdCommandSet]][SFCMD_IDX_PP]) << "row " << row << " " << f.name;
    }
}

// What the model's chips clear for the opcode the library sends is what
// the table says (0: the opcode is no erase of that family).
TEST(FlashFamilies, EraseSizesMatchTheModelledChips) {
    for (int t = SFT_MXIC; t <= SFT_FENTECH; ++t) {
        const orvex::FlashFamily& f = orvex::flash_family(t);
        const vcam::FlashFamily& chip = vcam::flash_family(t);
        auto cleared = [&](BYTE op) -> long {
            for (const vcam::EraseOp& e : chip.erases)
                if (e.opcode == op) return static_cast<long>(e.size);
            return 0;
        };
        EXPECT_EQ(cleared(f.sector_erase), f.sector_erase_size) << f.name << " sector erase";
        EXPECT_EQ(cleared(f.block_erase), f.block_erase_size) << f.name << " block erase";
        const BYTE op = f.chip_erase.bytes[f.chip_erase.frames - 1][0];
        bool clears = std::find(chip.chip_erase.begin(), chip.chip_erase.end(), op) != chip.chip_erase.end();
        EXPECT_EQ(clears, f.chip_erase_clears) << f.name << " chip erase";
    }
}

TEST(FlashFamilies, SectorErasesKeepTheStoreRecordsApart) {
    // A record's save erases the sector holding it; on a family whose
    // sector erase clears more than 4 KiB it would take its neighbours.
    for (const orvex::FlashFamily& f : orvex::kFlashFamilies) {
        if (f.sector_erase_size > 0) {
            EXPECT_TRUE(f.sector_erase_size == 0x1000 || f.type == SFT_ST) << f.name;
        }
    }
}

}  // namespace
