/* orvex-e2e: the product libraries against the kernel's uvcvideo driver.
 *
 * Runs in the end-to-end guest, where /dev/video0 is the camera that the
 * driver created for the gadget (whose extension unit, unit 4, is served by
 * the virtual camera's device model). Uses the public C API only.
 *
 * One line per check, "ok - ..." or "FAIL - ...", a "skip - ..." line when
 * the read-back program is not given (never counted as passed), and the
 * closing line "N passed, N failed".
 *
 *   orvex-e2e [READBACK_PROGRAM]
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "OrvexTac.h"
#include "OrvexConfig.h"

/* What the camera in the guest is: the model's "unit4" profile. */
enum { CAMERA_UNIT = 4, OUTPUT_TERMINAL = 3, CHIP_ID = 0x15 };
#define CAMERA_FLASH SFT_MXIC
/* A flash sector that neither the firmware image nor the calibration
 * records use. */
#define SCRATCH_SECTOR 0x3E000L

static int passed, failed;

static void check(int ok, const char* name, const char* detail) {
    if (ok) {
        ++passed;
        printf("ok - %s\n", name);
    } else {
        ++failed;
        printf("FAIL - %s%s%s\n", name, detail ? ": " : "", detail ? detail : "");
    }
    fflush(stdout);
}

static void skip(const char* group, const char* why) {
    printf("skip - %s: %s\n", group, why);
    fflush(stdout);
}

static const char* errno_detail(int result, int err) {
    static char buf[96];
    snprintf(buf, sizeof buf, "result %d, errno %d (%s)", result, err, strerror(err));
    return buf;
}

/* Runs fn with standard output redirected into a buffer. */
static void capture_stdout(void (*fn)(void*), void* arg, char* out, size_t cap) {
    out[0] = '\0';
    fflush(stdout);
    FILE* tmp = tmpfile();
    int saved = dup(STDOUT_FILENO);
    if (!tmp || saved < 0) {
        fn(arg);
        if (tmp) fclose(tmp);
        return;
    }
    dup2(fileno(tmp), STDOUT_FILENO);
    fn(arg);
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    rewind(tmp);
    size_t n = fread(out, 1, cap - 1, tmp);
    out[n] = '\0';
    fclose(tmp);
}

/* ------------------------------------------------------------ refusals */

/* The driver refuses these before any USB traffic; the caller sees 0 and
 * the driver's errno. */
static void test_driver_refusals(void) {
    static const struct {
        const char* name;
        int write;
        unsigned length;
        BYTE unit, selector;
        int err;
    } cases[] = {
        {"size other than the control's length is refused with ENOBUFS", 0, 8, CAMERA_UNIT, 1, ENOBUFS},
        {"write of the wrong size is refused with ENOBUFS", 1, 11, CAMERA_UNIT, 1, ENOBUFS},
        {"the output terminal is no extension unit: ENOENT", 0, 4, OUTPUT_TERMINAL, 1, ENOENT},
        {"a unit the camera lacks: ENOENT", 0, 4, 9, 1, ENOENT},
        {"a selector the unit does not have: ENOENT", 0, 11, CAMERA_UNIT, 2, ENOENT},
        {"SET_CUR on the read-only memory-type control: EBADRQC", 1, 11, CAMERA_UNIT, 5, EBADRQC},
    };
    unsigned char buf[16];
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        memset(buf, 0, sizeof buf);
        errno = 0;
        BOOL r = cases[i].write ? OrvexTac_XuWrite(buf, cases[i].length, cases[i].unit, cases[i].selector)
                                : OrvexTac_XuRead(buf, cases[i].length, cases[i].unit, cases[i].selector);
        int err = errno;
        check(r == 0 && err == cases[i].err, cases[i].name, errno_detail(r, err));
    }
}

/* ------------------------------------------------------------ unit probe */

static BYTE g_probe_result;
static void run_probe(void* arg) {
    (void)arg;
    g_probe_result = OV_GetUVCExtendUnitID();
}

static void test_unit_probe(void) {
    char out[1024];
    capture_stdout(run_probe, NULL, out, sizeof out);
    check(g_probe_result == CAMERA_UNIT, "the unit probe finds unit 4", NULL);
    check(g_curExtendUnitID == CAMERA_UNIT, "the probe leaves unit 4 in use", NULL);
    static const char three[] = "ioctl(UVCIOC_CTRL_SET) FAILED (-1) \n"
                                "ioctl(UVCIOC_CTRL_SET) FAILED (-1) \n"
                                "ioctl(UVCIOC_CTRL_SET) FAILED (-1) \n";
    check(strcmp(out, three) == 0, "unit 3 fails with three SET failure lines", out);
    g_curExtendUnitID = CAMERA_UNIT;
}

/* ------------------------------------------------------------ registers */

static void test_registers(void) {
    unsigned char raw[4] = {0x1F, 0x10, 0x00, 0xFF};
    BOOL w = OrvexTac_XuWrite(raw, 4, CAMERA_UNIT, 1);
    memset(raw, 0, sizeof raw);
    BOOL r = OrvexTac_XuRead(raw, 4, CAMERA_UNIT, 1);
    check(w == 1 && r == 1 && raw[2] == CHIP_ID, "raw SET_CUR/GET_CUR pair reads the chip id", NULL);

    unsigned char id = 0;
    check(OrvexTac_AsicRegisterRead(0x101F, &id, 1) == 1 && id == CHIP_ID,
          "register read of the chip id", NULL);

    unsigned char pattern[6] = {0x00, 0x5A, 0xA5, 0xFF, 0x01, 0x80}, back[6];
    memset(back, 0xEE, sizeof back);
    BOOL wr = OrvexTac_AsicRegisterWrite(0x2100, pattern, 6);
    BOOL rd = OrvexTac_AsicRegisterRead(0x2100, back, 6);
    check(wr == 1 && rd == 1 && memcmp(pattern, back, 6) == 0,
          "register block write, then read back", NULL);
}

/* ------------------------------------------------------------ identification */

static void test_identification(void) {
    BYTE chip = 0;
    DSP_ARCH_TYPE arch = DAT_UNKNOW;
    DSP_ROM_TYPE type = OV_GetChipRomType(&chip, &arch);
    check(type == DRT_64K && chip == CHIP_ID && arch == DAT_FIRST,
          "chip identification: id 0x15, first architecture, 64K ROM class", NULL);
    BYTE ver[8];
    memset(ver, 0, sizeof ver);
    BOOL ok = OV_GetAsicRomVersion(ver);
    check(ok == 1 && memcmp(ver, "215R0", 5) == 0 && ver[5] == 0x01 && uiRomID == 9,
          "ROM identification: 215R0 version 1, row 9", NULL);
}

/* ------------------------------------------------------------ flash */

static int all_bytes(const unsigned char* p, size_t n, unsigned char v) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != v) return 0;
    return 1;
}

static void test_flash(void) {
    const long at = SCRATCH_SECTOR + 0x10;
    unsigned char a[16], b[16], expect[16], back[16];
    for (int i = 0; i < 16; ++i) {
        a[i] = (unsigned char)(0xF0 ^ (i * 0x13));
        b[i] = (unsigned char)(0x3C + i * 0x21);
        expect[i] = a[i] & b[i];
    }
    memset(back, 0, sizeof back);
    BOOL r = OrvexTac_SerialFlashRead(at, back, 16);
    check(r == 1 && all_bytes(back, 16, 0xFF), "flash read of an erased area gives 0xFF", NULL);

    r = OrvexTac_SerialFlashWrite(at, a, 16);
    memset(back, 0, sizeof back);
    BOOL r2 = OrvexTac_SerialFlashRead(at, back, 16);
    check(r == 1 && r2 == 1 && memcmp(back, a, 16) == 0, "flash program, then read back", NULL);

    r = OrvexTac_SerialFlashWrite(at, b, 16);
    memset(back, 0, sizeof back);
    r2 = OrvexTac_SerialFlashRead(at, back, 16);
    check(r == 1 && r2 == 1 && memcmp(back, expect, 16) == 0,
          "programming over programmed flash only clears bits", NULL);

    unsigned char part[13];
    memset(part, 0, sizeof part);
    r = OrvexTac_SerialFlashRead(at + 3, part, 13);
    check(r == 1 && memcmp(part, expect + 3, 13) == 0,
          "unaligned read of 13 bytes (8 + 5) matches", NULL);
}

static void test_sector_rewrite(void) {
    unsigned char data[20], back[32];
    for (int i = 0; i < 20; ++i) data[i] = (unsigned char)(i * 7 + 1);
    BOOL r = OrvexTac_SerialFlashSectorWrite(SCRATCH_SECTOR, data, 20, CAMERA_FLASH);
    memset(back, 0, sizeof back);
    BOOL r2 = OrvexTac_SerialFlashRead(SCRATCH_SECTOR, back, 32);
    check(r == 1 && r2 == 1 && memcmp(back, data, 20) == 0, "sector rewrite programs the bytes", NULL);
    check(r2 == 1 && all_bytes(back + 20, 12, 0xFF),
          "sector rewrite erased what the sector held before", NULL);
}

/* ------------------------------------------------------------ calibration store */

static const float kExtra[3] = {1.5f, -2.25f, 1024.0f};

static void test_calibration_store(void) {
    MarkerConfig m = {12, -7, 30, 31, 0.125f, 9, 6, 1280, 800, 40, 25}, m2;
    memset(&m2, 0, sizeof m2);
    SaveMarkerConfig(0, &m);
    ReadMarkerConfig(0, &m2);
    check(memcmp(&m, &m2, sizeof m) == 0, "marker configuration round trip", NULL);

    char type[1024];
    memset(type, 0, sizeof type);
    SetSensorType(0, "OVX-e2e-7");
    GetSensorType(0, type);
    check(strcmp(type, "OVX-e2e-7") == 0, "sensor type round trip", type);

    float extra[3] = {0, 0, 0};
    SaveExtraParams(0, kExtra, 3);
    ReadExtraParams(0, extra, 3);
    check(memcmp(extra, kExtra, sizeof extra) == 0, "extra parameters round trip", NULL);

    RectifyConfig rc, rc2;
    memset(&rc, 0, sizeof rc);
    memset(&rc2, 0, sizeof rc2);
    rc.rotation = 0.5f;
    rc.translation_x = -12.75f;
    rc.translation_y = 3.0f;
    rc.scale = 1.0625f;
    initializeBaseGrid(&rc, 3, 4);
    if (!rc.base_grid) {
        check(0, "rectification record round trip", "initializeBaseGrid gave no grid");
        return;
    }
    for (int i = 0; i < 3 * 4 * 2; ++i) rc.base_grid[i] = i * 11 - 40;
    SaveRectifyConfig(0, &rc);
    ReadRectifyConfig(0, &rc2);
    int same = rc2.base_grid && rc2.rows == 3 && rc2.cols == 4 && rc2.rotation == rc.rotation &&
               rc2.translation_x == rc.translation_x && rc2.translation_y == rc.translation_y &&
               rc2.scale == rc.scale &&
               memcmp(rc.base_grid, rc2.base_grid, 3 * 4 * 2 * sizeof(int)) == 0;
    check(same, "rectification record with its base grid round trip", NULL);
    free(rc.base_grid);
    free(rc2.base_grid);
}

/* ------------------------------------------------------------ read-back program */

/* The read-back program is a host program of its own: it never runs the
 * unit probe, so it addresses unit 3, which on this camera is the output
 * terminal. Every query is refused, nothing validates, and it prints its
 * step lines and the three floats it cleared. */
static void test_readback(const char* program) {
    if (!program || access(program, X_OK) != 0) {
        skip("read-back program", "not built");
        return;
    }
    char cmd[512], out[4096];
    snprintf(cmd, sizeof cmd, "%s 2>&1", program);
    FILE* p = popen(cmd, "r");
    size_t n = 0;
    int status = -1;
    if (p) {
        n = fread(out, 1, sizeof out - 1, p);
        status = pclose(p);
    }
    out[n] = '\0';
    static const char expect[] = "1. Read MarkerConfig...\n4. Get SensorType...\n"
                                 "5. Read RectifyConfig...\n"
                                 "Float[0]= 0.000000, Float[1]= 0.000000, Float[2]= 0.000000\n";
    check(status == 0 && strcmp(out, expect) == 0,
          "the read-back program, which stays on unit 3, reads nothing from a unit-4 camera", out);
}

/* ------------------------------------------------------------ firmware burn */

static void record_progress(void* ctx, float progress) {
    float* last = ctx;
    if (progress < last[0]) last[1] = 1; /* went backwards */
    last[0] = progress;
    last[2] += 1;
}

static void test_firmware_burn(void) {
    enum { FW_LEN = 2048 };
    unsigned char* fw = malloc(FW_LEN);
    unsigned char* back = malloc(FW_LEN);
    if (!fw || !back) {
        check(0, "firmware burn", "out of memory");
        free(fw);
        free(back);
        return;
    }
    unsigned seed = 0x2545F491u;
    for (int i = 0; i < FW_LEN; ++i) {
        seed = seed * 1103515245u + 12345u;
        fw[i] = (unsigned char)(seed >> 16);
    }
    float progress[3] = {0, 0, 0}; /* last value, went backwards, calls */
    BOOL r = OrvexTac_BurnerFW(fw, FW_LEN, record_progress, progress, CAMERA_FLASH, 1);
    check(r == 1, "a 2 KiB firmware burn with full verification succeeds", NULL);
    check(progress[2] > 0 && progress[1] == 0 && progress[0] == 1.0f,
          "burn progress rises to 1", NULL);
    memset(back, 0, FW_LEN);
    BOOL rd = OrvexTac_SerialFlashRead(0, back, FW_LEN);
    check(rd == 1 && memcmp(fw, back, FW_LEN) == 0, "the burnt image reads back", NULL);
    unsigned char tail[16];
    rd = OrvexTac_SerialFlashRead(SCRATCH_SECTOR, tail, 16);
    check(rd == 1 && all_bytes(tail, 16, 0xFF), "the burn erased the rest of the flash", NULL);
    free(fw);
    free(back);
}

int main(int argc, char** argv) {
    const char* readback = argc > 1 ? argv[1] : NULL;
    setvbuf(stdout, NULL, _IOLBF, 0);

    BOOL open_ok = OrvexTac_Init(0);
    check(open_ok == 1, "open /dev/video0", NULL);
    if (open_ok) {
        test_driver_refusals();
        test_unit_probe();
        test_registers();
        test_identification();
        test_flash();
        test_sector_rewrite();
        check(OrvexTac_UnInit() == 1, "close the camera", NULL);
        /* The store opens and closes the camera itself. */
        test_calibration_store();
        test_readback(readback);
        if (OrvexTac_Init(0) == 1) {
            test_firmware_burn();
            OrvexTac_UnInit();
        } else {
            check(0, "reopen /dev/video0 for the burn", NULL);
        }
    }
    printf("%d passed, %d failed\n", passed, failed);
    return failed || !passed ? 1 : 0;
}
