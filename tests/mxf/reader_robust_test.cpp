// The clip reader on truncated, corrupt and hostile files: the scan ends
// cleanly, values read from the file are checked before use, no descriptor
// is left open, and source files are opened read-only.
#include "foundation/Log.h"
#include "mxf/MxfFile.h"
#include "support/P2Fixture.h"
#include "support/TestSupport.h"

#include <fcntl.h>
#include <functional>
#include <optional>
#include <unistd.h>

using namespace vorn::test;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

P2Clip smallDv()
{
    P2Clip clip = p2Clip(9, 10);
    clip.frameSize = 2000;
    return clip;
}

// Offset of the BER length that follows the first KLV with this key.
size_t lengthAt(const Bytes& file, const MxfKey& key)
{
    const size_t at = findKey(file, key);
    EXPECT_NE(at, std::string::npos);
    return at + 16;
}

// Replaces the BER length after a key with new length bytes.
void replaceLength(Bytes& file, const MxfKey& key, const Bytes& ber)
{
    const size_t at = lengthAt(file, key);
    const size_t old = file[at] < 0x80 ? 1 : 1 + (file[at] & 0x7F);
    file.erase(file.begin() + static_cast<std::ptrdiff_t>(at), file.begin() + static_cast<std::ptrdiff_t>(at + old));
    file.insert(file.begin() + static_cast<std::ptrdiff_t>(at), ber.begin(), ber.end());
}

// Sets the value of the first local item with this tag after a key (big-endian, in place).
void setItem(Bytes& file, const MxfKey& key, uint16_t tag, uint64_t value)
{
    const size_t at = lengthAt(file, key) + 4;  // sets are written with 4-byte lengths
    for (size_t i = at; i + 4 < file.size(); ) {
        const uint16_t t = static_cast<uint16_t>(file[i] << 8 | file[i + 1]);
        const uint16_t len = static_cast<uint16_t>(file[i + 2] << 8 | file[i + 3]);
        if (t == tag) {
            for (uint16_t k = 0; k < len && k < 8; ++k)
                file[i + 4 + k] = static_cast<uint8_t>(value >> (8 * (len - 1 - k)));
            return;
        }
        i += 4u + len;
    }
    ADD_FAILURE() << "tag not found";
}

struct CorruptCase {
    const char* name;
    std::function<void(Bytes&)> corrupt;
    int result;          // ReadHeaders
    int frameSize;       // after the scan (-1: not checked)
};

TEST(ReaderRobust, CorruptHeadersEndTheScanCleanly)
{
    const int openBefore = vorn::mxfio::openCount();
    const Bytes good = p2VideoFile(smallDv());
    const size_t essence = findKey(good, kFixtureDvElementKey);
    const CorruptCase cases[] = {
        {"intact", [](Bytes&) {}, 1, 2000},
        {"cut inside the descriptor", [&](Bytes& f) { f.resize(lengthAt(f, kFixtureCdciKey) + 40); }, 0, -1},
        {"cut after the essence length", [&](Bytes& f) { f.resize(essence + 24); }, 1, 2000},
        {"cut inside a key", [&](Bytes& f) { f.resize(essence + 7); }, 0, -1},
        {"empty file", [](Bytes& f) { f.clear(); }, 0, -1},
        {"nine length bytes", [](Bytes& f) { replaceLength(f, kFixtureCdciKey, {0x89, 0, 0, 0, 0, 0, 0, 0, 0, 125}); }, 0, -1},
        {"indefinite length", [](Bytes& f) { replaceLength(f, kFixtureCdciKey, {0x80}); }, 0, -1},
        {"set running past the end", [](Bytes& f) { replaceLength(f, kFixtureCdciKey, {0x83, 0x7F, 0x00, 0x00}); }, 0, -1},
        {"huge set length", [](Bytes& f) { replaceLength(f, kFixtureCdciKey, {0x88, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0}); }, 0, -1},
        {"zero set length", [](Bytes& f) { replaceLength(f, kFixtureCdciKey, {0x00}); }, 0, -1},
        {"skipped item running past the end", [](Bytes& f) {
             const MxfKey fill{0x06, 0x0E, 0x2B, 0x34, 0x01, 0x01, 0x01, 0x01, 0x03, 0x01, 0x02, 0x10, 0x01, 0x00, 0x00, 0x00};
             replaceLength(f, fill, {0x87, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
         }, 0, -1},
        {"bad key prefix before the essence", [](Bytes& f) { f[findKey(f, kFixtureIndexKey)] = 0x07; }, 0, -1},
        // Without a container duration the timecode component's duration counts the frames,
        // and without that the format's DV frame size does.
        {"zero duration", [](Bytes& f) { setItem(f, kFixtureCdciKey, 0x3002, 0); }, 1, 2000},
        {"negative duration", [](Bytes& f) { setItem(f, kFixtureCdciKey, 0x3002, 0xFFFFFFFFFFFFFFF0ull); }, 1, 2000},
        {"no duration at all", [](Bytes& f) {
             setItem(f, kFixtureCdciKey, 0x3002, 0);
             const MxfKey tc{0x06, 0x0E, 0x2B, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0D, 0x01, 0x01, 0x01, 0x01, 0x01, 0x14, 0x00};
             setItem(f, tc, 0x0202, 0);
         }, 1, 144000},
        {"huge essence length", [](Bytes& f) { replaceLength(f, kFixtureDvElementKey, {0x87, 0x7F, 0, 0, 0, 0, 0, 0}); }, 1, 0},
        {"item longer than its set", [](Bytes& f) {
             const size_t at = lengthAt(f, kFixtureCdciKey) + 4 + 20;  // the 3001 item, after 3C0A
             f[at + 2] = 0xFF;
             f[at + 3] = 0xFF;
         }, 1, -1},
    };
    const auto dir = scratchDir("corrupt");
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes file = good;
        c.corrupt(file);
        const auto path = dir / (std::string("C").append(std::to_string(n++)) + ".MXF");
        writeBytes(path, file);
        CMxfFile f(path.c_str());
        ASSERT_EQ(f.ReadHeaders(), c.result);
        if (c.frameSize >= 0) {
            EXPECT_EQ(f.FrameSize(), c.frameSize);
        }
        if (c.result == 0) {
            EXPECT_EQ(vorn::mxfio::openCount(), openBefore);
        }
        std::vector<uint8_t> buffer(4000);
        for (int64_t k : {0, 1, 9, 10})
            EXPECT_LE(f.ReadFrame(buffer, k), 2000);
        f.Close();
        EXPECT_EQ(vorn::mxfio::openCount(), openBefore);
    }
}

TEST(ReaderRobust, OversizedSetIsNotRead)
{
    const int openBefore = vorn::mxfio::openCount();
    // A descriptor of 17 MiB that is really there: refused by its size alone.
    Bytes file = p2VideoFile(smallDv());
    const size_t at = lengthAt(file, kFixtureCdciKey);
    const size_t oldLength = static_cast<size_t>(file[at + 1] << 16 | file[at + 2] << 8 | file[at + 3]);
    const size_t bigLength = 17u * 1024 * 1024;
    file.insert(file.begin() + static_cast<std::ptrdiff_t>(at + 4 + oldLength), bigLength - oldLength, 0);
    file.erase(file.begin() + static_cast<std::ptrdiff_t>(at), file.begin() + static_cast<std::ptrdiff_t>(at + 4));
    const Bytes ber{0x84, static_cast<uint8_t>(bigLength >> 24), static_cast<uint8_t>(bigLength >> 16),
                    static_cast<uint8_t>(bigLength >> 8), static_cast<uint8_t>(bigLength)};
    file.insert(file.begin() + static_cast<std::ptrdiff_t>(at), ber.begin(), ber.end());
    const auto path = scratchDir("big") / "BIG.MXF";
    writeBytes(path, file);

    CMxfFile f(path.c_str());
    EXPECT_EQ(f.ReadHeaders(), 0);
    EXPECT_EQ(vorn::mxfio::openCount(), openBefore);

    // The same set at just under the limit is read.
    Bytes fits = file;
    const size_t limit = static_cast<size_t>(kMxfMaxSetBytes);
    fits.erase(fits.begin() + static_cast<std::ptrdiff_t>(at + 5 + limit), fits.begin() + static_cast<std::ptrdiff_t>(at + 5 + bigLength));
    fits[at + 1] = static_cast<uint8_t>(limit >> 24);
    fits[at + 2] = static_cast<uint8_t>(limit >> 16);
    fits[at + 3] = static_cast<uint8_t>(limit >> 8);
    fits[at + 4] = static_cast<uint8_t>(limit);
    writeBytes(path, fits);
    CMxfFile g(path.c_str());
    EXPECT_EQ(g.ReadHeaders(), 1);
    EXPECT_EQ(g.VideoFormat(), 9);
    g.Close();
}

TEST(ReaderRobust, FailuresAreLogged)
{
    const auto dir = scratchDir("log");
    const auto logFile = dir / "log.txt";
    vorn::LogFile log(logFile.string());
    std::optional<vorn::LogScope> installed(std::in_place, log);

    CMxfFile missing((dir / "NONE.MXF").c_str());
    EXPECT_EQ(missing.ReadHeaders(), 0);

    Bytes file = p2VideoFile(smallDv());
    file[findKey(file, kFixtureIndexKey) + 1] = 0x0F;
    writeBytes(dir / "BAD.MXF", file);
    CMxfFile bad((dir / "BAD.MXF").c_str());
    EXPECT_EQ(bad.ReadHeaders(), 0);
    // What was gathered before the bad key stays.
    EXPECT_EQ(bad.VideoFormat(), 9);

    installed.reset();
    const std::string text = readText(logFile);
    EXPECT_NE(text.find("MxfFile::ReadHeaders"), std::string::npos) << text;
    EXPECT_NE(text.find("Unable to open " + (dir / "NONE.MXF").string() + " (-1)"), std::string::npos) << text;
    EXPECT_NE(text.find("CMxfFile::readKey"), std::string::npos) << text;
    EXPECT_NE(text.find("Invalid KLV key found "), std::string::npos) << text;
}

TEST(ReaderRobust, ObjectDroppedWithoutCloseLeavesNothingOpen)
{
    const int openBefore = vorn::mxfio::openCount();
    const auto root = scratchDir("drop");
    P2Clip clip = smallDv();
    clip.audioChannels = 4;
    const auto files = writeP2Card(root, {clip});
    {
        CMxfFile f(files[0].video.c_str());
        ASSERT_EQ(f.ReadHeaders(), 1);
        f.m_audioSelect = 2;
        ASSERT_EQ(f.ReadAllAudioHeaders(nullptr, 0), 4);
        EXPECT_EQ(vorn::mxfio::openCount(), openBefore + 5);
    }
    EXPECT_EQ(vorn::mxfio::openCount(), openBefore);
}

// The access mode of the descriptor this process holds on a file, from /proc.
int accessModeOf(const fs::path& file)
{
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd", ec)) {
        std::error_code linkError;
        const auto target = fs::read_symlink(entry.path(), linkError);
        if (linkError || target != fs::canonical(file))
            continue;
        const std::string info = readText("/proc/self/fdinfo/" + entry.path().filename().string());
        const size_t at = info.find("flags:");
        if (at == std::string::npos)
            return -1;
        return static_cast<int>(std::stoul(info.substr(at + 6), nullptr, 8)) & O_ACCMODE;
    }
    return -1;
}

TEST(ReaderRobust, SourceFilesAreOpenedReadOnly)
{
    if (!fs::exists("/proc/self/fdinfo"))
        GTEST_SKIP() << "no /proc";
    const auto root = scratchDir("ro");
    P2Clip clip = smallDv();
    clip.audioChannels = 2;
    const auto files = writeP2Card(root, {clip});
    const auto before = readBytes(files[0].video);

    CMxfFile f(files[0].video.c_str());
    ASSERT_EQ(f.ReadHeaders(), 1);
    f.m_audioSelect = 2;
    ASSERT_EQ(f.ReadAllAudioHeaders(nullptr, 0), 2);
    EXPECT_EQ(accessModeOf(files[0].video), O_RDONLY);
    EXPECT_EQ(accessModeOf(files[0].audio[0]), O_RDONLY);
    EXPECT_EQ(accessModeOf(files[0].audio[1]), O_RDONLY);
    std::vector<uint8_t> buffer(2000);
    for (int64_t n = 0; n < 10; ++n)
        ASSERT_EQ(f.ReadFrame(buffer, n), 2000);
    f.Close();
    EXPECT_EQ(readBytes(files[0].video), before);

    // A read-only file is read like any other.
    fs::permissions(files[0].video, fs::perms::owner_read | fs::perms::group_read, fs::perm_options::replace);
    CMxfFile g(files[0].video.c_str());
    EXPECT_EQ(g.ReadHeaders(), 1);
    g.Close();
}

} // namespace
