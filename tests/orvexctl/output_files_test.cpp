// Output files (-o): what the user names stays what it was. Standard
// output, FIFOs and devices are written in place; a symbolic link keeps
// pointing where it did and its target gets the data.
#include <sys/stat.h>

#include "orvexctl_fixture.h"

using namespace orvexctl_test;

namespace {

mode_t kind(const std::string& path) {
    struct stat st{};
    if (lstat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & S_IFMT;
}

TEST_F(Orvexctl, OutputFilesAreWrittenWhereTheyPoint) {
    ASSERT_EQ(run("flash read 0x190C0 24 -o id.bin").code, 0);
    const std::string id = slurp(dir + "/id.bin");
    ASSERT_EQ(id.size(), 24u);

    // "-": the data on standard output, the summary on standard error.
    Result r = run("flash read 0x190C0 24 -o -");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, id);
    EXPECT_NE(r.err.find("read 24 bytes"), std::string::npos) << r.err;
    EXPECT_EQ(kind(dir + "/-"), 0u);

    // A symbolic link, also a dangling one, stays a link; its target gets the data.
    ASSERT_EQ(symlink("real.bin", (dir + "/link.bin").c_str()), 0);
    ASSERT_EQ(symlink("sub/new.bin", (dir + "/dangling.bin").c_str()), 0);
    ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
    for (const char* name : {"link.bin", "dangling.bin"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(run(std::string("flash read 0x190C0 24 -o ") + name).code, 0);
        EXPECT_EQ(kind(dir + "/" + name), static_cast<mode_t>(S_IFLNK));
    }
    EXPECT_EQ(slurp(dir + "/real.bin"), id);
    EXPECT_EQ(slurp(dir + "/sub/new.bin"), id);

    // A FIFO is written into, not replaced by a file; so is /dev/null.
    ASSERT_EQ(mkfifo((dir + "/pipe").c_str(), 0644), 0);
    std::string cmd = "(cat '" + dir + "/pipe' >'" + dir + "/from-pipe' &) ; true";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(run("flash read 0x190C0 24 -o pipe").code, 0);
    EXPECT_EQ(kind(dir + "/pipe"), static_cast<mode_t>(S_IFIFO));
    for (int i = 0; i < 100 && slurp(dir + "/from-pipe").size() < 24; ++i) usleep(20000);
    EXPECT_EQ(slurp(dir + "/from-pipe"), id);
    EXPECT_EQ(run("backup -o /dev/null").code, 0);
    EXPECT_EQ(kind("/dev/null"), static_cast<mode_t>(S_IFCHR));
}

}  // namespace
