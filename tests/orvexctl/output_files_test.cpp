// Output files (-o): what the user names stays what it was. Standard
// output, FIFOs and devices are written in place; a symbolic link keeps
// pointing where it did and its target gets the data.
#include <sys/stat.h>

#include <regex>

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
    // The reader may be slow to be scheduled on a loaded machine.
    for (int i = 0; i < 1500 && slurp(dir + "/from-pipe").size() < 24; ++i) usleep(20000);
    EXPECT_EQ(slurp(dir + "/from-pipe"), id);
    EXPECT_EQ(run("backup -o /dev/null").code, 0);
    EXPECT_EQ(kind("/dev/null"), static_cast<mode_t>(S_IFCHR));
}

}  // namespace

namespace {

// The plot's format follows the file's name: SVG only into .svg or onto
// standard output, PNG only through rsvg-convert, else refused naming SVG.
TEST_F(Orvexctl, PlotFormatFollowsTheFileName) {
    const char* path = std::getenv("PATH");
    const std::string saved = path ? path : "";
    // A PATH with the tools the shell needs but no renderer (and the
    // emulator a cross build runs the tool through, where there is one).
    const std::string bare = dir + "/bin-bare";
    ASSERT_EQ(std::system(("mkdir -p '" + bare +
                           "' && for t in sh bash cat qemu-aarch64; do p=$(command -v $t) && ln -s \"$p\" '" + bare +
                           "'/$t; done; true").c_str()),
              0);
    setenv("PATH", bare.c_str(), 1);
    Result png = run("calib plot -o cal.png");
    Result txt = run("calib plot -o cal.txt");
    setenv("PATH", saved.c_str(), 1);
    EXPECT_EQ(png.code, 2) << png.err;
    EXPECT_NE(png.err.find("PNG needs rsvg-convert"), std::string::npos) << png.err;
    EXPECT_NE(png.err.find("-o FILE.svg"), std::string::npos) << png.err;
    EXPECT_EQ(kind(dir + "/cal.png"), 0u);
    EXPECT_EQ(txt.code, 2);
    EXPECT_NE(txt.err.find("the plot is SVG"), std::string::npos) << txt.err;
    EXPECT_EQ(kind(dir + "/cal.txt"), 0u);

    // With a renderer on PATH the PNG is its output, never SVG bytes.
    const std::string fake = dir + "/bin-render";
    spill(dir + "/rsvg-convert",
          "#!/bin/sh\n# -f png -o OUT IN\n[ \"$1 $2 $3\" = \"-f png -o\" ] || exit 9\n"
          "grep -q '<svg' \"$5\" || exit 8\nprintf '\\211PNG fake' > \"$4\"\n");
    ASSERT_EQ(std::system(("mkdir -p '" + fake + "' && mv '" + dir + "/rsvg-convert' '" + fake +
                           "/' && chmod +x '" + fake + "/rsvg-convert'").c_str()),
              0);
    setenv("PATH", (fake + ":" + saved).c_str(), 1);
    Result rendered = run("calib plot -o cal.PNG");
    setenv("PATH", saved.c_str(), 1);
    EXPECT_EQ(rendered.code, 0) << rendered.err;
    EXPECT_EQ(slurp(dir + "/cal.PNG"), "\x89PNG fake");

    Result out = run("calib plot -o -");
    EXPECT_EQ(out.code, 0);
    EXPECT_EQ(out.out.rfind("<svg", 0), 0u);
}

// The legend and the frame's subtitle stand on lines of their own: the
// subtitle's top (baseline less its font size) lies below the legend's
// descenders, and the x axis' tick labels below the subtitle.
TEST_F(Orvexctl, PlotLegendClearsTheSubtitle) {
    ASSERT_EQ(run("calib plot -o p.svg").code, 0);
    const std::string svg = slurp(dir + "/p.svg");
    auto line = [&](const std::string& id, double* y, double* size) {
        std::smatch m;
        std::regex re("<text id=\"" + id + "\"[^>]* y=\"([0-9.]+)\" font-size=\"([0-9.]+)\"");
        if (!std::regex_search(svg, m, re)) return false;
        *y = std::stod(m[1].str());
        *size = std::stod(m[2].str());
        return true;
    };
    double ly, ls, sy, ss;
    ASSERT_TRUE(line("legend", &ly, &ls)) << svg.substr(0, 800);
    ASSERT_TRUE(line("subtitle", &sy, &ss)) << svg.substr(0, 800);
    EXPECT_GE(sy - ss, ly + 0.3 * ls) << "legend at " << ly << ", subtitle at " << sy;
    // The first x tick label (font-size 10, inside the axes group).
    std::smatch m;
    ASSERT_TRUE(std::regex_search(svg, m, std::regex("text-anchor=\"middle\">0<")));
    std::string before = svg.substr(0, static_cast<size_t>(m.position()));
    const std::string tick = before.substr(before.rfind("<text"));
    std::smatch t;
    ASSERT_TRUE(std::regex_search(tick, t, std::regex("y=\"([0-9.]+)\"")));
    EXPECT_GE(std::stod(t[1].str()) - 10, sy + 0.3 * ss);
}

}  // namespace
