// What an operator reads when a burn fails: one block per failure (the
// reason sentence whole, then how to recover), the same in the text, the
// --json error, the station table and the --log line; a phase that failed
// never reported done; advice that names the camera the way it is found
// again after a re-plug, that stops suggesting a retry when the flash
// fails at the same address again, and that a station can follow.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>

#include "orvexctl_fixture.h"

using namespace orvexctl_test;

namespace {

class FailureAdvice : public Orvexctl {
protected:
    // The shipped firmware with 16 bytes changed at 0x20000, so that a
    // burn has something to program there.
    void images() {
        std::string img = firmware_image();
        for (int i = 0; i < 16; ++i) img[0x20000 + i] = static_cast<char>(i);
        spill(dir + "/fw2.bin", img);
    }
    // The message orvexctl printed last on standard error: from its
    // "orvexctl: " line to the end.
    static std::string last_message(const std::string& err) {
        size_t at = err.rfind("\norvexctl: the ");
        at = at == std::string::npos ? err.find("orvexctl: ") : at + 1;
        std::string m = err.substr(at + std::string("orvexctl: ").size());
        while (!m.empty() && m.back() == '\n') m.pop_back();
        return m;
    }
    static json last_log_line(const std::string& path) {
        std::istringstream in(slurp(path));
        std::string line, last;
        while (std::getline(in, line))
            if (!line.empty()) last = line;
        return json::parse(last, nullptr, false);
    }
};

TEST_F(FailureAdvice, OneBlockReasonFirstTheSameInTextJsonAndLog) {
    images();
    const std::string shipped = flash();
    // Unplugged in the erase phase (the backup takes about 6200 queries,
    // each sector's erase about 270).
    Result r = run("--log log.jsonl burn --allow-reinstall fw.bin", "--unplug-after 9000");
    ASSERT_EQ(r.code, 5) << r.err;
    const std::string text = last_message(r.err);
    // The reason is part of its sentence, before the recovery block, and
    // no line of the block starts with the colon of a split-off reason.
    const size_t why = text.find("the camera is gone: unplugged or reset (ENODEV)");
    const size_t recover = text.find("\nto recover");
    ASSERT_NE(why, std::string::npos) << text;
    ASSERT_NE(recover, std::string::npos) << text;
    EXPECT_LT(why, recover) << text;
    EXPECT_LT(why, text.find('\n')) << "the reason is not in the first line:\n" << text;
    EXPECT_EQ(text.find("\n:"), std::string::npos) << text;
    EXPECT_NE(text.find("sector at 0x"), std::string::npos) << text;
    // A phase that failed is not reported done.
    EXPECT_EQ(r.err.find("erase: done"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("erase: stopped"), std::string::npos) << r.err;
    EXPECT_EQ(last_log_line(dir + "/log.jsonl")["result"], text);

    spill(state, shipped);
    Result j = run("--json --log log.jsonl burn --allow-reinstall fw.bin", "--unplug-after 9000");
    ASSERT_EQ(j.code, 5) << j.err;
    json doc = json::parse(j.out, nullptr, false);
    ASSERT_TRUE(doc.is_object()) << j.out;
    // The same block, apart from the backup's time-stamped name.
    const std::string error = doc["error"];
    auto without_backup = [](std::string s) { return s.substr(0, s.find("its backup: ")); };
    EXPECT_EQ(without_backup(error), without_backup(text));
    EXPECT_EQ(last_log_line(dir + "/log.jsonl")["result"], error);
    EXPECT_EQ(last_message(j.err), error);
}

TEST_F(FailureAdvice, AdviceNamesTheCameraBySerialOrPathAndAStuckBitTwiceIsAWornFlash) {
    images();
    const std::string stuck = "--config '0:serial=SN-7,usb=2-1.4,state=" + state + ",stuck=0x20004/0x01'";
    Result first = run("burn --allow-reinstall fw2.bin", stuck);
    ASSERT_EQ(first.code, 6) << first.err;
    // The first failure: burn again, the camera named by its serial.
    EXPECT_NE(first.err.find("differs from the image at 0x20004"), std::string::npos) << first.err;
    EXPECT_NE(first.err.find("orvexctl --serial SN-7 burn --allow-reinstall fw2.bin"), std::string::npos) << first.err;
    EXPECT_EQ(first.err.find(" -d "), std::string::npos) << first.err;
    // The same address again: no second retry advice.
    Result again = run("burn --allow-reinstall fw2.bin", stuck);
    ASSERT_EQ(again.code, 6) << again.err;
    EXPECT_NE(again.err.find("the flash is failing at 0x20004"), std::string::npos) << again.err;
    EXPECT_EQ(again.err.find("burn --allow-reinstall fw2.bin\n"), std::string::npos) << again.err;
    EXPECT_NE(again.err.find("the calibration is still in the flash"), std::string::npos) << again.err;
    // A burn that succeeds in between forgets the failure: the next stuck
    // bit is a first one again.
    ASSERT_EQ(run("burn --allow-reinstall fw.bin", "--config '0:state=" + state + "'").code, 0);
    Result after = run("burn --allow-reinstall fw2.bin", stuck);
    EXPECT_EQ(after.err.find("the flash is failing"), std::string::npos) << after.err;
    EXPECT_NE(after.err.find("burn --allow-reinstall fw2.bin"), std::string::npos) << after.err;
    // Another address is not the same failure.
    Result other = run("burn --allow-reinstall fw2.bin", "--config '0:serial=SN-7,state=" + state + ",stuck=0x20005/0x01'");
    EXPECT_EQ(other.err.find("the flash is failing"), std::string::npos) << other.err;

    // Without a serial the USB path names it.
    Result by_path = run("burn --allow-reinstall fw2.bin", "--config '0:noserial,usb=2-1.4,state=" + state + ",stuck=0x20006/0x01'");
    EXPECT_NE(by_path.err.find("orvexctl --usb-path 2-1.4 burn --allow-reinstall fw2.bin"), std::string::npos) << by_path.err;
}

TEST_F(FailureAdvice, ASectorThatDoesNotEraseFailsTheErasePhase) {
    images();
    ASSERT_EQ(run("burn --allow-reinstall fw2.bin").code, 0);
    Result r = run("burn --allow-reinstall fw.bin", "--config '0:state=" + state + ",unerasable=0x20000'");
    ASSERT_EQ(r.code, 5) << r.err;
    EXPECT_NE(r.err.find("the erase of sector 0x20000 failed"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("erase: done"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("program: started"), std::string::npos) << r.err;
    // Twice at the same address: the flash is failing there.
    Result again = run("burn --allow-reinstall fw.bin", "--config '0:state=" + state + ",unerasable=0x20000'");
    EXPECT_NE(again.err.find("the flash is failing at 0x20000"), std::string::npos) << again.err;
}

TEST_F(FailureAdvice, ARefusedImageNamesTheSingleCameraCommandThatOverrides) {
    std::string img = firmware_image();
    spill(dir + "/short.bin", img.substr(0, 0x1000));
    Result r = run("burn --allow-reinstall --method=library short.bin");
    ASSERT_EQ(r.code, 7) << r.err;
    EXPECT_NE(r.err.find("orvexctl --serial 0001 burn --method=library --force length --force id-block short.bin"),
              std::string::npos)
        << r.err;
    // A station's workers give the same advice: a command for that one
    // camera, since station burn takes no overrides.
    if (orvex_test::emulated()) GTEST_SKIP() << "station workers fork() under the user-mode emulator";
    shared_device = true;
    const std::string two = "--config '1:serial=A1,usb=1-2,state=a.bin;2:serial=B2,usb=1-3,state=b.bin'";
    json st = run_json("station burn --allow-reinstall short.bin 1 2", 7, two);
    ASSERT_EQ(st["cameras"].size(), 2u) << st.dump();
    for (const json& c : st["cameras"]) {
        const std::string res = c["result"];
        EXPECT_NE(res.find("orvexctl --serial " + c["serial"].get<std::string>() + " burn --force length short.bin"),
                  std::string::npos)
            << res;
        size_t at = 0;
        while ((at = res.find("--force", at)) != std::string::npos) {
            // Every override named sits in a single-camera burn command.
            const size_t line = res.rfind('\n', at);
            EXPECT_NE(res.substr(line + 1, at - line - 1).find("orvexctl --serial"), std::string::npos) << res;
            ++at;
        }
    }
}

TEST_F(FailureAdvice, AFailedStationRowNeverShows100Percent) {
    if (orvex_test::emulated()) GTEST_SKIP() << "fork() under the user-mode emulator";
    images();
    shared_device = true;
    // The verify of a camera that differs reads every byte, then fails.
    json st = run_json("station verify fw2.bin 1", 6, "--config '1:serial=A1,usb=1-2,state=a.bin'");
    ASSERT_EQ(st["cameras"].size(), 1u);
    Result r = run("--progress=bar station verify fw2.bin 1", "--config '1:serial=A1,usb=1-2,state=a.bin'");
    EXPECT_EQ(r.code, 6);
    // The table's last drawing of the row.
    const size_t row = r.err.rfind("A1 ");
    ASSERT_NE(row, std::string::npos) << r.err;
    const std::string last = r.err.substr(row, r.err.find('\n', row) - row);
    EXPECT_NE(last.find("FAILED"), std::string::npos) << last;
    EXPECT_EQ(last.find("100.0%"), std::string::npos) << last;
}

}  // namespace

namespace {

TEST_F(FailureAdvice, ALibraryBurnOfACameraWithoutIdentityNamesNoOtherUnitsBackup) {
    images();
    // A backup of unit OG 123 in the folder, then a camera without identity.
    ASSERT_EQ(run("backup -o og123.json").code, 0);
    const std::string noid = "--config '0:noid,state=noid.bin";
    for (const std::string& fault : {std::string(",stuck=0x20004/0x01'"), std::string("'")}) {
        SCOPED_TRACE(fault);
        Result r = run("burn --allow-reinstall --method=library fw2.bin", noid + fault);
        EXPECT_EQ(r.code, fault.size() > 1 ? 6 : 0) << r.err;
        EXPECT_EQ(r.err.find("OG123"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find(" restore "), std::string::npos) << r.err;
    }
}

}  // namespace

namespace {

// Runs orvexctl ARGS with standard error read line by line; ON_LINE may
// send the process a signal. Returns the exit status and all of stderr.
template <class F> std::pair<int, std::string> watch(Orvexctl& t, const std::string& cmd, F on_line) {
    int err_pipe[2];
    EXPECT_EQ(pipe(err_pipe), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(err_pipe[1], 2);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        close(err_pipe[0]);
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    (void)t;
    close(err_pipe[1]);
    FILE* err = fdopen(err_pipe[0], "r");
    char line[8192];
    std::string all;
    while (fgets(line, sizeof line, err)) {
        all += line;
        on_line(pid, std::string(line));
    }
    fclose(err);
    int st = 0;
    waitpid(pid, &st, 0);
    // A process killed by the signal is not one that stopped on it.
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st), all};
}

class Interrupts : public FailureAdvice {};

TEST_F(Interrupts, ASignalDuringTheReadBackStopsAtOnceWithNothingHalfWritten) {
    if (orvex_test::emulated()) GTEST_SKIP() << "fork() under the user-mode emulator";
    images();
    const std::string img = slurp(dir + "/fw2.bin");
    bool sent = false;
    auto [code, err] = watch(*this,
                             command("--progress=json burn --allow-reinstall fw2.bin",
                                               "--latency-us 150 --real-time"),
                             [&](pid_t pid, const std::string& line) {
                                 if (!sent && line.find("\"phase\":\"verify\"") != std::string::npos) {
                                     kill(pid, SIGINT);  // the launcher passes it on
                                     sent = true;
                                 }
                             });
    ASSERT_TRUE(sent) << err;
    EXPECT_EQ(code, 130) << err;
    // Stopped early: the read-back never reached its end.
    EXPECT_EQ(err.find("\"fraction\":1.0,\"phase\":\"verify\""), std::string::npos) << err;
    EXPECT_NE(err.find("stopped during the read-back"), std::string::npos) << err;
    EXPECT_NE(err.find("flash verify fw2.bin"), std::string::npos) << err;
    // The burn had written everything: the flash holds the whole image.
    EXPECT_EQ(flash().substr(0, img.size()), img);
    // And every line on standard error was a JSON object.
    std::istringstream in(err);
    std::string line;
    while (std::getline(in, line)) {
        json j = json::parse(line, nullptr, false);
        EXPECT_TRUE(j.is_object()) << "not a JSON line: " << line;
    }
}

TEST_F(Interrupts, ProgressJsonIsPureJsonLinesNotesAndErrorsIncluded) {
    images();
    // A burn with notes (the backup saved) and one that fails (a stuck bit).
    for (const std::string& fault : {std::string(""), std::string("--stuck-bits 0x20004:0x01")}) {
        SCOPED_TRACE(fault);
        Result r = run("--progress=json burn --allow-reinstall fw2.bin", fault);
        EXPECT_EQ(r.code, fault.empty() ? 0 : 6) << r.err;
        std::istringstream in(r.err);
        std::string line;
        int notes = 0, errors = 0;
        while (std::getline(in, line)) {
            json j = json::parse(line, nullptr, false);
            ASSERT_TRUE(j.is_object()) << "not a JSON line: " << line;
            notes += j.contains("note");
            errors += j.contains("error");
        }
        EXPECT_GT(notes, 0);
        EXPECT_EQ(errors, fault.empty() ? 0 : 1);
    }
}

}  // namespace
