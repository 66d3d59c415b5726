// The destructive commands as a factory relies on them: what a burn checks
// before it erases, what it saves, how it survives an interrupt, and how a
// backup finds its way back to the right unit only.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include "orvexctl_fixture.h"

using namespace orvexctl_test;

namespace {

class BurnSafety : public Orvexctl {
protected:
    std::vector<std::string> backups() {
        std::vector<std::string> names;
        if (DIR* d = opendir((dir + "/state/orvex").c_str())) {
            while (dirent* e = readdir(d))
                if (std::string(e->d_name).find(".json") != std::string::npos) names.push_back(e->d_name);
            closedir(d);
        }
        return names;
    }
    // The shipped flash with the second identification block's unit number
    // changed: the same model, another unit.
    std::string another_unit(std::string f) {
        const size_t last_digit = 0x190C0 + 16;  // the sixth digit of block 1's number
        char& d = f[last_digit];
        EXPECT_TRUE(d >= '0' && d <= '9');
        d = d == '2' ? '3' : '2';
        return f;
    }
};

TEST_F(BurnSafety, ProtectedFlashIsRefusedBeforeAnythingIsErased) {
    firmware_image();
    ASSERT_EQ(run("info", "--profile locked").code, 0);
    std::string before = flash();
    for (const char* verify : {"", "--verify=sample "}) {
        Result r = run(std::string("burn --allow-reinstall ") + verify + "fw.bin", "--profile locked");
        EXPECT_EQ(r.code, 5) << r.err;
        EXPECT_NE(r.err.find("still write-protected"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("status register 0x"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("nothing was erased"), std::string::npos) << r.err;
        EXPECT_TRUE(flash() == before);
        EXPECT_TRUE(backups().empty());
    }
}

TEST_F(BurnSafety, ImagesThatDoNotFitTheCameraAreRefusedUnlessForcedByName) {
    std::string img = firmware_image();
    spill(dir + "/short.bin", img.substr(0, 1000));
    std::string bare = img;
    bare.replace(0x190C0, 24, std::string(24, '\xFF'));
    spill(dir + "/bare.bin", bare);
    // Another chip's firmware keeps its version elsewhere.
    std::string other = img;
    other.replace(0x01F3, 5, std::string(5, '\xFF'));
    other.replace(0x0153, 5, "V1601");
    spill(dir + "/other.bin", other);
    struct Case {
        const char* file;
        const char* check;
        const char* says;
        const char* also_failing;  // a cut image loses the block too
    } cases[] = {
        {"short.bin", "length", "needs at least", "id-block"},
        {"other.bin", "version-record", "no firmware code version at 0x001F3", nullptr},
        {"bare.bin", "id-block", "no valid identification block", nullptr},
    };
    // The identification block matters to the library's chip erase; the
    // default sector-wise burn keeps the camera's own blocks.
    std::string before = flash();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        Result r = run(std::string("burn --allow-reinstall --method=library ") + c.file);
        EXPECT_EQ(r.code, 7) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(std::string("--force ") + c.check), std::string::npos) << r.err;
        EXPECT_TRUE(flash() == before);
        std::string forced = std::string("burn --allow-reinstall --method=library --dry-run --force ") + c.check + " ";
        if (c.also_failing) {
            // Forcing one check leaves the others in force.
            EXPECT_EQ(run(forced + c.file).code, 7);
            forced += std::string("--force ") + c.also_failing + " ";
        }
        json plan = run_json(forced + c.file);
        EXPECT_EQ(plan["checks"][c.check], "forced");
    }
    // The id-block check only matters when the calibration is kept, and
    // not when the camera keeps its own block.
    EXPECT_EQ(run("burn --allow-reinstall --dry-run --erase-calibration bare.bin").code, 0);
    json sector = run_json("burn --allow-reinstall --dry-run bare.bin");
    EXPECT_EQ(sector["checks"]["id-block"], "passed");
    EXPECT_EQ(sector["calibration_store_recognises_after"], true);
    EXPECT_EQ(run("burn --allow-reinstall --force nonsense fw.bin").code, 2);
}

TEST_F(BurnSafety, BackupsAreUniqueAndNeverReplaced) {
    firmware_image();
    // Six burns at once, one camera each, one backup folder. Each launcher's
    // camera is its own device but /dev/video0 to the camera lock, which is
    // keyed on the node: a lock folder each keeps the burns concurrent
    // instead of queued behind each other's --wait.
    std::string all;
    const std::string shared_lock = "ORVEX_LOCK_DIR='" + dir + "'";
    for (int i = 0; i < 6; ++i) {
        std::string st = dir + "/cam" + std::to_string(i) + ".bin";
        std::string lock = dir + "/lock" + std::to_string(i);
        spill(st, flash().empty() ? slurp(dir + "/full.bin") : flash());
        ASSERT_EQ(mkdir(lock.c_str(), 0755), 0);
        std::string cmd = command("-q burn --allow-reinstall fw.bin", "--state '" + st + "'");
        size_t at = cmd.find(shared_lock);
        ASSERT_NE(at, std::string::npos);
        cmd.replace(at, shared_lock.size(), "ORVEX_LOCK_DIR='" + lock + "'");
        all += "(" + cmd + ") >/dev/null 2>&1 & ";
    }
    ASSERT_EQ(std::system((all + "wait").c_str()), 0);
    EXPECT_EQ(backups().size(), 6u);

    // --erase-calibration still takes one, --no-backup not.
    ASSERT_EQ(run("burn --allow-reinstall --erase-calibration fw.bin").code, 0);
    EXPECT_EQ(backups().size(), 7u);
    ASSERT_EQ(run("burn --allow-reinstall --erase-calibration --no-backup fw.bin").code, 0);
    EXPECT_EQ(backups().size(), 7u);

    // --backup never replaces a file.
    spill(dir + "/mine.json", "precious");
    std::string before = flash();
    EXPECT_EQ(run("burn --allow-reinstall --backup mine.json fw.bin").code, 7);
    EXPECT_EQ(slurp(dir + "/mine.json"), "precious");
    EXPECT_TRUE(flash() == before);
}

TEST_F(BurnSafety, AHalfBurnedCameraIsNotBackedUpAndNoOtherBackupIsNamedAsItsOwn) {
    firmware_image();
    json shipped_records = records();
    ASSERT_EQ(run("backup -o good.json").code, 0);
    ASSERT_EQ(backups().size(), 1u);
    // An interrupted library burn leaves an erased flash. The sector-wise
    // burn never writes the identification sector, so it sends the
    // operator to the library's burn.
    spill(state, std::string(0x40000, '\xFF'));
    Result refused = run("burn --allow-reinstall fw.bin");
    EXPECT_EQ(refused.code, 7) << refused.err;
    EXPECT_NE(refused.err.find("--method=library"), std::string::npos) << refused.err;
    Result r = run("burn --allow-reinstall --method=library fw.bin");
    ASSERT_EQ(r.code, 0) << r.err;
    // The blank area did not become the newest backup. A blank camera
    // carries no identity, so no backup can be shown to be its own: the
    // tool names none (the good one is another unit's as far as it knows).
    EXPECT_EQ(backups().size(), 1u);
    EXPECT_EQ(r.err.find("newest good backup"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(backups()[0]), std::string::npos) << r.err;
    // The backup made before the burn restores after it, though the
    // firmware version changed from none to the image's.
    Result back = run("restore good.json");
    EXPECT_EQ(back.code, 0) << back.err;
    EXPECT_EQ(records(), shipped_records);
}

TEST_F(BurnSafety, RestoreRecognisesTheUnitAndForceNeverCrossesChips) {
    ASSERT_EQ(run("backup -o a.json").code, 0);
    std::string a = flash();
    spill(state, another_unit(a));
    std::string b = flash();
    Result r = run("restore a.json");
    EXPECT_EQ(r.code, 7) << r.err;
    EXPECT_NE(r.err.find("belongs to unit"), std::string::npos) << r.err;
    EXPECT_TRUE(flash() == b);
    EXPECT_EQ(run("restore --dry-run --force a.json").code, 0);
    EXPECT_TRUE(flash() == b);
    EXPECT_EQ(run("restore --force a.json").code, 0);
    EXPECT_TRUE(flash() == a);
    // Another chip: refused, with or without --force.
    for (const char* args : {"restore a.json", "restore --force a.json"}) {
        SCOPED_TRACE(args);
        Result c = run(args, "--profile chip-16");
        EXPECT_EQ(c.code, 7) << c.err;
        EXPECT_NE(c.err.find("chip"), std::string::npos) << c.err;
    }
}

TEST_F(BurnSafety, ASignalDuringTheBurnIsAnnouncedAndTheBurnCompletes) {
    if (orvex_test::emulated()) GTEST_SKIP() << "fork() under the user-mode emulator";
    std::string img = firmware_image();
    json before = records();
    int err_pipe[2];
    ASSERT_EQ(pipe(err_pipe), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(err_pipe[1], 2);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        close(err_pipe[0]);
        // On the wall clock the erase waits really take their time, so the
        // signal sent at the erase's first report lands while the flash is
        // being written, however busy the machine (on the virtual clock the
        // writing phases can be over before it arrives).
        execl("/bin/sh", "sh", "-c", command("--progress=json burn --allow-reinstall fw.bin", "--real-time").c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(err_pipe[1]);
    FILE* err = fdopen(err_pipe[0], "r");
    char line[4096];
    std::string all;
    bool sent = false;
    while (fgets(line, sizeof line, err)) {
        all += line;
        if (!sent && std::string(line).find("\"phase\":\"erase\"") != std::string::npos) {
            kill(pid, SIGTERM);
            sent = true;
        }
    }
    fclose(err);
    int st = 0;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(sent) << all;
    EXPECT_TRUE(WIFEXITED(st)) << "killed by signal " << (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
    EXPECT_EQ(WEXITSTATUS(st), 0) << all;
    EXPECT_NE(all.find("signal received during the burn"), std::string::npos) << all;
    EXPECT_NE(all.find("the burn will finish") == std::string::npos ? all.find("The burn will finish")
                                                                      : all.find("the burn will finish"),
              std::string::npos);
    EXPECT_EQ(flash().substr(0, img.size()), img);
    EXPECT_EQ(records(), before);
}

}  // namespace
