// The `vorn codec dv-encode` command: usage errors, input problems, pipes and
// the start time code.
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace vorn::test;

// Two flat pictures of 720x480 planar 4:2:2 with a little texture.
std::vector<uint8_t> pictures(int count)
{
    std::vector<uint8_t> v(static_cast<size_t>(720) * 480 * 2 * count, 128);
    for (size_t i = 0; i < v.size(); i += 7)
        v[i] = static_cast<uint8_t>(60 + (i / 7) % 131);
    return v;
}

TEST(EncodeCli, UsageAndInputErrors)
{
    const auto dir = scratchDir("encode_cli_errors");
    const std::string in = (dir / "in.yuv").string(), out = (dir / "out.dif").string();
    writeBytes(in, pictures(1));
    struct Case {
        std::string args;
        int exitCode;
        const char* message;
    };
    const Case cases[] = {
        {"--format 6 " + shellQuote(in) + " " + shellQuote(out), 2, "format"},
        {"--format 11 " + shellQuote(in) + " " + shellQuote(out), 2, "format"},
        {"--format 10 --timecode 25:00:00:00 " + shellQuote(in) + " " + shellQuote(out), 2, "timecode"},
        {"--format 10 --timecode 1:2:3 " + shellQuote(in) + " " + shellQuote(out), 2, "timecode"},
        {"--format 10 --threads 99 " + shellQuote(in) + " " + shellQuote(out), 2, "threads"},
        {"--format 10 " + shellQuote((dir / "missing.yuv").string()) + " " + shellQuote(out), 1, "cannot open"},
        // a 720x576 picture is shorter than two 720x480 ones but longer than one
        {"--format 7 " + shellQuote(in) + " " + shellQuote(out), 1, "no complete picture"},
    };
    for (const Case& c : cases) {
        const CommandResult r = runVorn("codec dv-encode " + c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << "\n" << r.err;
    }
}

TEST(EncodeCli, PipesGiveTheSameFramesAndTheTimeCodeStartsWhereAsked)
{
    const auto dir = scratchDir("encode_cli_pipe");
    const std::string in = (dir / "in.yuv").string(), file = (dir / "file.dif").string(),
                      piped = (dir / "piped.dif").string();
    std::vector<uint8_t> src = pictures(2);
    src.resize(src.size() + 1000, 128); // a short last picture is ignored
    writeBytes(in, src);
    const CommandResult a = runVorn("codec dv-encode --format 10 --timecode " + shellQuote("23:59:59;29") + " " + shellQuote(in) + " " +
                                    shellQuote(file));
    ASSERT_EQ(a.exitCode, 0) << a.err;
    EXPECT_NE(a.err.find("short"), std::string::npos);
    const CommandResult b = runCommand("cat " + shellQuote(in) + " | " + shellQuote(vornPath()) +
                                       " codec dv-encode --format 10 --timecode " + shellQuote("23:59:59;29") + " - - > " + shellQuote(piped));
    ASSERT_EQ(b.exitCode, 0) << b.err;
    const std::vector<uint8_t> f = readBytes(file);
    ASSERT_EQ(f.size(), 240000u);
    EXPECT_EQ(f, readBytes(piped));
    // Subcode time code pack of each frame: drop-frame flag, then the running count.
    const uint8_t first[5] = {0x13, 0x40 | 0x29, 0x59, 0x59, 0x23};
    const uint8_t second[5] = {0x13, 0x40 | 0x00, 0x00, 0x00, 0x00};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(f[83 + 3 + i], first[i]) << i;
        EXPECT_EQ(f[120000 + 83 + 3 + i], second[i]) << i;
    }
}

// A run of pictures gives each frame its own picture, in order (the third
// frame equals that picture coded alone with the third frame's time code).
TEST(EncodeCli, EachFrameCodesItsOwnPictureInOrder)
{
    const auto dir = scratchDir("encode_cli_order");
    const std::string in = (dir / "in.yuv").string(), one = (dir / "one.yuv").string(),
                      all = (dir / "all.dif").string(), third = (dir / "third.dif").string();
    const size_t pictureBytes = static_cast<size_t>(720) * 480 * 2;
    const std::vector<uint8_t> src = pictures(5);
    writeBytes(in, src);
    writeBytes(one, std::vector<uint8_t>(src.begin() + 2 * static_cast<ptrdiff_t>(pictureBytes),
                                         src.begin() + 3 * static_cast<ptrdiff_t>(pictureBytes)));
    const CommandResult a = runVorn("codec dv-encode --format 10 " + shellQuote(in) + " " + shellQuote(all));
    ASSERT_EQ(a.exitCode, 0) << a.err;
    const CommandResult b =
        runVorn("codec dv-encode --format 10 --timecode 00:00:00:02 " + shellQuote(one) + " " + shellQuote(third));
    ASSERT_EQ(b.exitCode, 0) << b.err;
    const std::vector<uint8_t> f = readBytes(all), g = readBytes(third);
    ASSERT_EQ(f.size(), 5 * 120000u);
    ASSERT_EQ(g.size(), 120000u);
    EXPECT_TRUE(std::equal(g.begin(), g.end(), f.begin() + 2 * 120000));
    EXPECT_FALSE(std::equal(g.begin(), g.end(), f.begin() + 1 * 120000));
}

TEST(EncodeCli, OutputTakesItsPlaceOnlyWhenCompleteAndNeverWritesThroughALink)
{
    namespace fs = std::filesystem;
    const auto dir = scratchDir("encode_cli_safe_output");
    const std::string in = (dir / "in.yuv").string(), empty = (dir / "empty.yuv").string();
    writeBytes(in, pictures(1));
    writeBytes(empty, {});
    const std::vector<uint8_t> old = {'o', 'l', 'd'};
    const fs::path out = dir / "out.dif", target = dir / "precious.bin", link = dir / "link.dif";
    auto leftovers = [&] {
        return std::count_if(fs::directory_iterator(dir), fs::directory_iterator(),
                             [](const fs::directory_entry& e) { return e.path().extension() == ".tmp"; });
    };

    // A run that fails leaves the existing file as it was and no temporary file.
    writeBytes(out.string(), old);
    CommandResult r = runVorn("codec dv-encode --format 10 " + shellQuote(empty) + " " + shellQuote(out.string()));
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(readBytes(out.string()), old);
    EXPECT_EQ(leftovers(), 0);

    // A complete run replaces it.
    r = runVorn("codec dv-encode --format 10 " + shellQuote(in) + " " + shellQuote(out.string()));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(fs::file_size(out), 120000u);

    // A symlink at the output path is replaced; the file it pointed to is untouched.
    writeBytes(target.string(), old);
    fs::create_symlink(target, link);
    r = runVorn("codec dv-encode --format 10 " + shellQuote(in) + " " + shellQuote(link.string()));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readBytes(target.string()), old);
    EXPECT_FALSE(fs::is_symlink(link));
    EXPECT_EQ(fs::file_size(link), 120000u);
    EXPECT_EQ(leftovers(), 0);

    // A device is written directly (benchmarks write to /dev/null).
    r = runVorn("codec dv-encode --format 10 " + shellQuote(in) + " /dev/null");
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

} // namespace
