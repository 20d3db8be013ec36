// Mutated P2 files through the clip reader and the import description:
// byte flips, truncations, insertions and huge BER lengths. Nothing may
// crash, read or write outside a buffer, or leave a descriptor open.
#include "engine/Vorn.h"
#include "mxf/MxfFile.h"
#include "support/P2Fixture.h"
#include "support/TestSupport.h"

#include <random>

using namespace vorn::test;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

// Replaces a file by a new one (rewriting a truncated file in place makes
// some file systems flush it on close, which is slow).
void replaceFile(const fs::path& path, const Bytes& data)
{
    std::error_code ec;
    fs::remove(path, ec);
    writeBytes(path, data);
}

// Offsets of the BER length bytes that follow each KLV key in a file.
std::vector<size_t> lengthOffsets(const Bytes& file)
{
    std::vector<size_t> at;
    for (size_t i = 0; i + 17 < file.size(); ++i)
        if (file[i] == 0x06 && file[i + 1] == 0x0E && file[i + 2] == 0x2B && file[i + 3] == 0x34)
            at.push_back(i + 16);
    return at;
}

Bytes mutate(const Bytes& base, std::mt19937& rng)
{
    Bytes f = base;
    auto pick = [&](size_t n) { return n ? static_cast<size_t>(rng() % n) : 0; };
    // What the reader interprets lies before the essence and in the essence key and length.
    size_t header = f.size();
    for (const auto& key : {kFixtureDvElementKey, kFixtureAvcElementKey, kFixtureSoundElementKey})
        header = std::min(header, findKey(f, key));
    header = std::min(f.size(), header + 24);
    switch (rng() % 6) {
    case 0: {  // flip bytes
        const int flips = 1 + static_cast<int>(rng() % 8);
        for (int i = 0; i < flips; ++i)
            f[pick(header)] ^= static_cast<uint8_t>(1 + rng() % 255);
        break;
    }
    case 1:  // truncate
        f.resize(pick(f.size()));
        break;
    case 2: {  // a huge or malformed BER length after some key
        const auto offs = lengthOffsets(f);
        if (offs.empty())
            break;
        const size_t at = offs[pick(offs.size())];
        const uint8_t forms[] = {0x80, 0x84, 0x87, 0x88, 0x89, 0x8F, 0xFF};
        f[at] = forms[pick(sizeof forms)];
        for (size_t k = 1; k <= 8 && at + k < f.size(); ++k)
            f[at + k] = static_cast<uint8_t>(rng() % 2 ? 0xFF : rng());
        break;
    }
    case 3: {  // insert random bytes
        const size_t at = pick(header);
        const size_t n = 1 + pick(16);
        for (size_t k = 0; k < n; ++k)
            f.insert(f.begin() + static_cast<std::ptrdiff_t>(at), static_cast<uint8_t>(rng()));
        break;
    }
    case 4: {  // delete a range
        const size_t at = pick(header);
        const size_t n = std::min(f.size() - at, 1 + pick(40));
        f.erase(f.begin() + static_cast<std::ptrdiff_t>(at), f.begin() + static_cast<std::ptrdiff_t>(at + n));
        break;
    }
    default: {  // overwrite a 4- or 8-byte field with an extreme value
        const size_t at = pick(header > 8 ? header - 8 : 0);
        const uint8_t fill = rng() % 2 ? 0xFF : 0x00;
        const size_t n = rng() % 2 ? 4 : 8;
        for (size_t k = 0; k < n && at + k < f.size(); ++k)
            f[at + k] = fill;
        if (at + n - 1 < f.size() && fill == 0x00)
            f[at + n - 1] = static_cast<uint8_t>(rng());
        break;
    }
    }
    return f;
}

void exercise(const fs::path& video, std::vector<uint8_t>& buffer, bool audio, int openBefore)
{
    CMxfFile f(video.c_str());
    const int r = f.ReadHeaders();
    ASSERT_GE(r, 0);
    ASSERT_LE(r, 2);
    for (int64_t n : {int64_t{0}, int64_t{1}, int64_t{2}, f.FrameCount() - 1, f.FrameCount(), int64_t{1} << 40}) {
        const int got = f.ReadFrame(buffer.data(), buffer.size(), n);
        ASSERT_GE(got, 0);
        ASSERT_LE(static_cast<size_t>(got), buffer.size());
    }
    if (audio) {
        f.m_audioSelect = 2;
        const int count = f.ReadAllAudioHeaders(nullptr, 0);
        ASSERT_GE(count, 0);
        ASSERT_LE(count, 8);
        uint8_t chunk[777];
        for (int ch = 0; ch < count; ++ch) {
            int total = 0;
            for (int got; (got = f.ReadAudio(chunk, sizeof chunk, ch)) > 0 && total < 1 << 20;) {
                ASSERT_LE(got, static_cast<int>(sizeof chunk));
                total += got;
            }
        }
    }
    f.Close();
    ASSERT_EQ(vorn::mxfio::openCount(), openBefore);
}

TEST(FuzzReader, MutatedVideoFiles)
{
    const int openBefore = vorn::mxfio::openCount();
    std::vector<P2Clip> bases;
    bases.push_back(p2Clip(9, 5));
    bases.push_back(p2Clip(2, 5));
    bases.push_back(p2Clip(38, 5));
    bases.push_back(p2Clip(33, 5));
    for (auto& b : bases) {
        b.frameSize = 1000;
        setBinaryGroup(b, 24, 8);
    }
    const auto dir = scratchDir("video");
    std::mt19937 rng(12345);
    std::vector<uint8_t> buffer(4096);
    for (int i = 0; i < 2400; ++i) {
        const auto& clip = bases[static_cast<size_t>(i) % bases.size()];
        const Bytes file = mutate(p2VideoFile(clip), rng);
        const auto path = dir / "F.MXF";
        replaceFile(path, file);
        SCOPED_TRACE(i);
        ASSERT_NO_FATAL_FAILURE(exercise(path, buffer, false, openBefore));
        if (i % 30 == 0) {
            const std::string line = CVorn::DescribeClip(path.c_str());
            ASSERT_EQ(line.rfind("F", 0), 0u);
            ASSERT_EQ(vorn::mxfio::openCount(), openBefore);
        }
    }
}

TEST(FuzzReader, MutatedAudioFiles)
{
    const int openBefore = vorn::mxfio::openCount();
    P2Clip clip = p2Clip(6, 3);
    clip.frameSize = 1000;
    clip.audioChannels = 2;
    const auto root = scratchDir("audio");
    const auto files = writeP2Card(root, {clip});
    const Bytes audio0 = p2AudioFile(clip, 0);
    std::mt19937 rng(777);
    std::vector<uint8_t> buffer(2048);
    for (int i = 0; i < 1200; ++i) {
        replaceFile(files[0].audio[static_cast<size_t>(i % 2)], mutate(audio0, rng));
        SCOPED_TRACE(i);
        ASSERT_NO_FATAL_FAILURE(exercise(files[0].video, buffer, true, openBefore));
    }
}

TEST(FuzzReader, MutatedCardThroughImport)
{
    const int openBefore = vorn::mxfio::openCount();
    P2Clip a = p2Clip(5, 4, "0001AA");
    P2Clip b = p2Clip(36, 4, "0002BB");
    a.frameSize = b.frameSize = 1000;
    a.audioChannels = b.audioChannels = 0;
    const auto root = scratchDir("card");
    const auto files = writeP2Card(root, {a, b});
    const Bytes va = p2VideoFile(a);
    const Bytes vb = p2VideoFile(b);
    std::mt19937 rng(99);

    class Pane : public CCaller {
    public:
        void ExportDone() override {}
        void Message(const char* text, int replace, int) override { log = replace ? text : log + text; }
        std::string log;
    } pane;
    for (int i = 0; i < 60; ++i) {
        replaceFile(files[0].video, mutate(va, rng));
        replaceFile(files[1].video, mutate(vb, rng));
        CVorn engine;
        engine.Import(&pane, root.c_str());
        ASSERT_EQ(engine.FileCount(), 2);
        ASSERT_NE(pane.log.find("0001AA"), std::string::npos);
        ASSERT_NE(pane.log.find("0002BB"), std::string::npos);
        ASSERT_EQ(vorn::mxfio::openCount(), openBefore);
    }
}

} // namespace
