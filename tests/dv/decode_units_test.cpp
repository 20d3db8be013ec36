// DV decoder pieces that need no oracle: synthetic flat frames (exact sample
// values), the stretch and mirror patterns, the worker split, the RGB and
// reduced-scale outputs and the destination size check.
#include "dv/CodecTables.h"
#include "foundation/Cpu.h"
#include "foundation/WorkerPool.h"
#include "dv/DvDecoder.h"
#include "dv/Stretch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

namespace vorn::dv {
namespace {

// A frame of `code` whose every DCT block has the given DC value, class 0 and an
// immediate end of block: a flat picture.
std::vector<uint8_t> flatFrame(VideoFormat code, int lumaDc, int chromaDc)
{
    const DvFormatInfo& info = *dvFormatInfo(code);
    std::vector<uint8_t> frame(static_cast<size_t>(info.bytesPerFrame), 0);
    const bool hd = info.hd;
    const int slots = hd ? 8 : 6;
    static const int sdOffset[6] = {4, 18, 32, 46, 60, 70};
    static const int hdOffset[8] = {4, 14, 24, 34, 44, 54, 64, 72};
    frame[1] = 0x07; // first DIF block: channel pair 0/1 for the 720-line codes
    for (int c = 0; c < info.channels; ++c)
        for (int s = 0; s < info.sequencesPerChannel; ++s)
            for (int k = 0; k < kVideoBlocksPerSequence; ++k) {
                uint8_t* b = frame.data() + c * info.channelBytes() + s * kDifSequenceBytes +
                             videoDifBlockIndex(k) * kDifBlockBytes;
                b[3] = 0x0f;
                for (int j = 0; j < slots; ++j) {
                    const int off = hd ? hdOffset[j] : sdOffset[j];
                    const bool chroma = j >= 4;
                    const int dc = (chroma ? chromaDc : lumaDc) & 0x1ff;
                    // 9-bit DC, mode 0, class 0, then the end-of-block code 0110.
                    b[off] = static_cast<uint8_t>(dc >> 1);
                    b[off + 1] = static_cast<uint8_t>(((dc & 1) << 7) | 0x06);
                }
            }
    return frame;
}

struct FlatCase {
    VideoFormat code;
    int lumaDc;
    int chromaDc;
    uint8_t luma;
    uint8_t chroma;
};

TEST(DecodeFlat, SamplesAreTheCodedLevelWithoutRangeMapping)
{
    InitCodecTables();
    const FlatCase cases[] = {
        {10, -224, 0, 16, 128},  // black at the coded level 16 stays 16
        {10, -256, 254, 0, 255}, // below 16 and above 235 pass through
        {6, -100, 40, 78, 148},  // 4:2:0 fills every line's chroma
        {7, 200, -60, 228, 98},
        {9, 0, 0, 128, 128},
        {1, -224, 0, 16, 128},
        {3, 30, -30, 143, 113},
        {2, -2, 2, 127, 129},
    };
    for (const FlatCase& fc : cases) {
        const auto frame = flatFrame(fc.code, fc.lumaDc, fc.chromaDc);
        PictureBuffer pic;
        ASSERT_TRUE(decodeDifFrame(frame, fc.code, pic)) << fc.code;
        for (size_t i = 0; i < pic.bytes.size(); ++i) {
            const uint8_t expect = (i % 2 == 0) ? fc.luma : fc.chroma;
            ASSERT_EQ(pic.bytes[i], expect) << "code " << fc.code << " byte " << i;
        }
    }
}

TEST(DecodeFlat, ShortOrEmptyFrameDecodesWithoutReadingPastIt)
{
    InitCodecTables();
    auto frame = flatFrame(10, -224, 0);
    PictureBuffer pic;
    // Half a frame: the missing half decodes as zero bytes (DC 0: mid grey).
    std::vector<uint8_t> half(frame.begin(), frame.begin() + 60000);
    ASSERT_TRUE(decodeDifFrame(half, 10, pic));
    EXPECT_TRUE(std::any_of(pic.bytes.begin(), pic.bytes.end(), [](uint8_t b) { return b == 16; }));
    EXPECT_TRUE(std::any_of(pic.bytes.begin(), pic.bytes.end(), [](uint8_t b) { return b == 128; }));
    ASSERT_TRUE(decodeDifFrame(std::span<const uint8_t>(), 10, pic));
    EXPECT_FALSE(decodeDifFrame(frame, 0, pic));
    EXPECT_FALSE(decodeDifFrame(frame, 33, pic));
}

// Writes bits most significant first into a byte buffer, stopping at `end`.
struct BitWriter {
    uint8_t* data;
    int pos;
    int end;
    void put(uint32_t bits, int n)
    {
        for (int i = n - 1; i >= 0 && pos < end; --i, ++pos)
            if ((bits >> i) & 1u)
                data[pos >> 3] = static_cast<uint8_t>(data[pos >> 3] | (0x80u >> (pos & 7)));
            else
                data[pos >> 3] = static_cast<uint8_t>(data[pos >> 3] & ~(0x80u >> (pos & 7)));
    }
};

// A frame of `code` whose every video DIF block carries random QNOs, DCs, DCT
// modes and classes and, in each block area, a random stream of run/amplitude
// codes (short and long forms, both signs). The end-of-block rate changes from
// block to block, so some blocks end early and leave spare bits while others
// run on into the macroblock's and the segment's spare bits. Deterministic.
std::vector<uint8_t> randomCodeFrame(VideoFormat code, uint64_t seed)
{
    const DvFormatInfo& info = *dvFormatInfo(code);
    std::vector<uint8_t> frame(static_cast<size_t>(info.bytesPerFrame), 0);
    uint64_t state = seed;
    auto next = [&state]() { // splitmix64
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    };
    for (auto& b : frame)
        b = static_cast<uint8_t>(next());
    frame[1] = static_cast<uint8_t>(frame[1] | 0x04); // 720-line codes: channel pair 0/1
    const auto codes = vlcCodes();
    const bool hd = info.hd;
    const int slots = hd ? 8 : 6;
    static const int sdOffset[6] = {4, 18, 32, 46, 60, 70}, sdSize[6] = {14, 14, 14, 14, 10, 10};
    static const int hdOffset[8] = {4, 14, 24, 34, 44, 54, 64, 72}, hdSize[8] = {10, 10, 10, 10, 10, 10, 8, 8};
    for (int c = 0; c < info.channels; ++c)
        for (int s = 0; s < info.sequencesPerChannel; ++s)
            for (int k = 0; k < kVideoBlocksPerSequence; ++k) {
                uint8_t* b = frame.data() + c * info.channelBytes() + s * kDifSequenceBytes +
                             videoDifBlockIndex(k) * kDifBlockBytes;
                b[3] = static_cast<uint8_t>(next());
                for (int j = 0; j < slots; ++j) {
                    const int off = hd ? hdOffset[j] : sdOffset[j], size = hd ? hdSize[j] : sdSize[j];
                    BitWriter w{b, off * 8, (off + size) * 8};
                    w.put(static_cast<uint32_t>(next()) & 0xfffu, 12); // DC, mode, class
                    const uint32_t eobOneIn = 1u << (next() % 7);      // 1 .. 64
                    while (w.pos < w.end) {
                        const uint64_t r = next();
                        if (r % eobOneIn == 0) {
                            w.put(0x6, 4);
                        } else if ((r >> 8) % 16 == 0) {
                            w.put((0x7eu << 6) | static_cast<uint32_t>((r >> 16) % 64), 13); // long zero run
                        } else if ((r >> 8) % 16 == 1) {
                            w.put((((0x7fu << 8) | static_cast<uint32_t>((r >> 16) & 0xff)) << 1) | ((r >> 24) & 1), 16);
                        } else {
                            const VlcCode& v = codes[(r >> 16) % codes.size()];
                            if (v.run == kVlcUnknownRun || v.run == kVlcEobRun)
                                continue;
                            w.put(v.bits, v.length);
                            if (v.amp)
                                w.put(static_cast<uint32_t>(r >> 40) & 1u, 1);
                        }
                    }
                }
            }
    return frame;
}

// Decoded output of random code streams is pinned per format by a hash of the
// picture (FNV-1a), taken from the decoder as it was before its speed work:
// any change in arithmetic, scan order, dequantisation or the handling of
// spare bits and damaged codes shows here, whichever kernel level runs.
TEST(DecodePinned, RandomCodeStreamsDecodeToTheSameBytes)
{
    InitCodecTables();
    const std::pair<VideoFormat, uint64_t> expected[] = {
        {1, 1830072345347177701ull},
        {2, 3569085198983614326ull},
        {3, 8782661197753230706ull},
        {4, 9555879729241155842ull},
        {5, 8892329345190128337ull},
        {6, 8742770527934253014ull},
        {7, 15531985309145084880ull},
        {8, 7314450669690916771ull},
        {9, 1574001592321915961ull},
        {10, 5368836209115160476ull},
    };
    for (const auto& [code, hash] : expected) {
        const auto frame = randomCodeFrame(code, 0x5eed0000u + static_cast<uint64_t>(code));
        PictureBuffer pic;
        ASSERT_TRUE(decodeDifFrame(frame, code, pic));
        uint64_t h = 0xcbf29ce484222325ull;
        for (uint8_t v : pic.bytes)
            h = (h ^ v) * 0x100000001b3ull;
        EXPECT_EQ(h, hash) << "code " << code;
    }
}

TEST(DecodeOutputs, RgbAndReducedScaleAndDestinationSize)
{
    InitCodecTables();
    const auto frame = flatFrame(10, -24, 0); // Y = 116, Cb = Cr = 128: grey
    // RGB 24-bit: 74 * (116 - 16) / 64 = 115.6 -> 116 for all three bytes.
    std::vector<uint8_t> rgb(720 * 480 * 3 + 16, 0xEE);
    DecodeDifFrame(rgb.data(), 720 * 480 * 3, 720, 480, frame, 1, 0, 10, 24, 1, false);
    for (size_t i = 0; i < 720u * 480u * 3u; ++i)
        ASSERT_EQ(rgb[i], 116) << i;
    EXPECT_EQ(rgb[720 * 480 * 3], 0xEE); // nothing past the picture
    // Reduced by 4: 180 x 120 packed 4:2:2.
    std::vector<uint8_t> small(180 * 120 * 2 + 16, 0xEE);
    DecodeDifFrame(small.data(), 180 * 120 * 2, 180, 120, frame, 1, 1, 10, 16, 4, false);
    for (size_t i = 0; i < 180u * 120u * 2u; ++i)
        ASSERT_EQ(small[i], i % 2 == 0 ? 116 : 128) << i;
    EXPECT_EQ(small[180 * 120 * 2], 0xEE);
    // A destination too small for the request is left alone.
    std::vector<uint8_t> tiny(1000, 0x33);
    DecodeDifFrame(tiny.data(), tiny.size(), 720, 480, frame, 1, 1, 10, 16, 1, false);
    EXPECT_TRUE(std::all_of(tiny.begin(), tiny.end(), [](uint8_t b) { return b == 0x33; }));
}

TEST(Stretch, MirrorSwapsLumaKeepsChromaAndTwiceRestores)
{
    StretchJob job;
    job.code = 10;
    job.rotate = true;
    job.srcPairs = 3;
    const uint8_t row[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    uint8_t once[12], twice[12], line[16];
    stretchRow(job, once, row, line);
    const uint8_t expect[12] = {11, 10, 9, 12, 7, 6, 5, 8, 3, 2, 1, 4};
    EXPECT_TRUE(std::equal(once, once + 12, expect));
    stretchRow(job, twice, once, line);
    EXPECT_TRUE(std::equal(twice, twice + 12, row));
    // In place (the SD decoder's case) gives the same result.
    uint8_t inPlace[12];
    std::copy(row, row + 12, inPlace);
    stretchRow(job, inPlace, inPlace, line);
    EXPECT_TRUE(std::equal(inPlace, inPlace + 12, expect));
}

TEST(Stretch, UpPatternsRoundAveragesUp)
{
    std::vector<uint8_t> src(2 * 1440, 0), dst(2 * 1920, 0), line(2 * 1920);
    // Code 1: pixels Y0..Y3 = 10, 21, 30, 41; chroma (Cb0, Cr0) = (100, 200), (Cb1, Cr1) = (110, 210).
    const uint8_t g1[8] = {10, 100, 21, 200, 30, 110, 41, 210};
    for (int g = 0; g < 320; ++g)
        std::copy(g1, g1 + 8, src.begin() + 8 * g);
    StretchJob job;
    job.code = 1;
    job.stretch = true;
    stretchRow(job, dst.data(), src.data(), line.data());
    const uint8_t e1[12] = {10, 100, 16, 200, 21, 100, 30, 210, 36, 110, 41, 210};
    for (int g = 0; g < 320; ++g)
        ASSERT_TRUE(std::equal(e1, e1 + 12, dst.begin() + 12 * g)) << g;
    // Code 3: 6 pixels to 8.
    const uint8_t g3[12] = {0, 50, 11, 60, 20, 71, 31, 80, 40, 90, 51, 101};
    for (int g = 0; g < 240; ++g)
        std::copy(g3, g3 + 12, src.begin() + 12 * g);
    job.code = 3;
    stretchRow(job, dst.data(), src.data(), line.data());
    const uint8_t e3[16] = {0, 50, 6, 60, 16, 61, 20, 70, 31, 81, 36, 91, 46, 90, 51, 101};
    for (int g = 0; g < 240; ++g)
        ASSERT_TRUE(std::equal(e3, e3 + 16, dst.begin() + 16 * g)) << g;
    EXPECT_EQ(stretchFullWidth(2), 1280);
    EXPECT_EQ(stretchCodedWidth(4), 960);
}

TEST(Workers, SplitCoversEveryUnitOnceEvenWithEmptyRanges)
{
    for (int units : {1, 10, 12, 24, 270}) {
        for (int n : {1, 2, 7, 16}) {
            int next = 0;
            for (int i = 0; i < n; ++i) {
                WorkRange r = workRange(i, n, units);
                ASSERT_EQ(r.first, next);
                ASSERT_LE(r.first, r.end);
                next = r.end;
            }
            ASSERT_EQ(next, units);
        }
    }
    std::vector<int> seen(16, 0);
    WorkerPool pool;
    ASSERT_TRUE(pool.forkJoin(16, [&](int i) { seen[static_cast<size_t>(i)]++; }, "x"));
    EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](int v) { return v == 1; }));
}

// The processor count lies in 1..16, and a decoder's worker count is limited
// to that range whatever its settings ask for.
TEST(Workers, WorkerCountsAreLimitedToSixteen)
{
    const int natural = affinityProcessorCount();
    EXPECT_GE(natural, 1);
    EXPECT_LE(natural, 16);
    struct Case {
        int asked, got;
    };
    for (const Case& c : {Case{40, 16}, Case{16, 16}, Case{3, 3}, Case{0, 1}, Case{-2, 1}})
        EXPECT_EQ(DvDecoder(DvDecoderSettings{c.asked}).workers(), c.got) << c.asked;
}

// Every macroblock place lies inside the picture and the places of one frame
// tile the coded raster exactly once (both 720-line channel pairs).
TEST(Tables, MacroblockPlacesTileThePicture)
{
    InitCodecTables();
    for (VideoFormat code = 1; code <= 10; ++code) {
        const DvFormatInfo& info = *dvFormatInfo(code);
        std::vector<std::pair<int, int>> pairs;
        if (info.hd && info.height == 720)
            pairs = {{0, 2}, {2, 4}};
        else
            pairs = {{0, info.hd ? 4 : info.channels}};
        for (auto [c0, c1] : pairs) {
            std::vector<uint8_t> cover(static_cast<size_t>(info.codedWidth / 8) * (info.height / 8), 0);
            for (int c = c0; c < c1; ++c) {
                const int seqs = (code == 3 && c == 0) ? 12 : info.videoSequencesPerChannel;
                for (int s = 0; s < seqs; ++s)
                    for (int k = 0; k < 27; ++k)
                        for (int m = 0; m < 5; ++m) {
                            const MacroblockPlace& p = macroblockPlace(code, c, s, k, m);
                            ASSERT_LT(p.difOffset + 80u, static_cast<unsigned>(info.channelBytes()) + 1u);
                            int w = 16, h = 16;
                            switch (p.shape) {
                            case MacroblockShape::k411Wide:
                            case MacroblockShape::k422HdBottom: w = 32; h = 8; break;
                            case MacroblockShape::k422Sd: h = 8; break;
                            default: break;
                            }
                            ASSERT_LE(p.x + w, info.codedWidth) << code;
                            ASSERT_LE(p.y + h, info.height) << code;
                            for (int y = p.y; y < p.y + h; y += 8)
                                for (int x = p.x; x < p.x + w; x += 8)
                                    cover[static_cast<size_t>(y / 8) * (info.codedWidth / 8) + x / 8]++;
                        }
            }
            EXPECT_TRUE(std::all_of(cover.begin(), cover.end(), [](uint8_t v) { return v == 1; }))
                << "code " << code << " channels from " << c0;
        }
    }
}

} // namespace
} // namespace vorn::dv
