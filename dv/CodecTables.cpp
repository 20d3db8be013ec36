#include "dv/CodecTables.h"

#include "foundation/Cpu.h"
#include "foundation/Notifier.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <mutex>
#include <vector>

namespace vorn::dv {

namespace {

// ---------------------------------------------------------------------------
// Variable-length code of run/amplitude pairs. The code is canonical: within
// one length the codes are consecutive in the order listed, and each length
// starts right after the last code of the previous length. Listing the symbols
// by length therefore fixes every code word.
struct Symbol {
    uint8_t run;
    uint8_t amp; // 0 with run kVlcEobRun for end of block
};
struct LengthGroup {
    uint8_t length;
    std::vector<Symbol> symbols;
};

const std::vector<LengthGroup>& symbolGroups()
{
    static const std::vector<LengthGroup> groups = {
        {2, {{0, 1}}},
        {3, {{0, 2}}},
        {4, {{kVlcEobRun, 0}, {1, 1}, {0, 3}, {0, 4}}},
        {5, {{2, 1}, {1, 2}, {0, 5}, {0, 6}}},
        {6, {{3, 1}, {4, 1}, {0, 7}, {0, 8}}},
        {7, {{5, 1}, {6, 1}, {2, 2}, {1, 3}, {1, 4}, {0, 9}, {0, 10}, {0, 11}}},
        {8, {{7, 1}, {8, 1}, {9, 1}, {10, 1}, {3, 2}, {4, 2}, {2, 3}, {1, 5},
             {1, 6}, {1, 7}, {0, 12}, {0, 13}, {0, 14}, {0, 15}, {0, 16}, {0, 17}}},
        {9, {{11, 1}, {12, 1}, {13, 1}, {14, 1}, {5, 2}, {6, 2}, {3, 3}, {4, 3},
             {2, 4}, {2, 5}, {1, 8}, {0, 18}, {0, 19}, {0, 20}, {0, 21}, {0, 22}}},
        {10, {{5, 3}, {3, 4}, {3, 5}, {2, 6}, {1, 9}, {1, 10}, {1, 11}}},
        {11, {{1, 0}, {2, 0}, {6, 3}, {4, 4}, {3, 6}, {1, 12}, {1, 13}, {1, 14}}},
        {12, {{3, 0}, {4, 0}, {5, 0}, {6, 0}, {7, 2}, {8, 2}, {9, 2}, {10, 2}, {7, 3}, {8, 3}, {4, 5},
              {3, 7}, {2, 7}, {2, 8}, {2, 9}, {2, 10}, {2, 11}, {1, 15}, {1, 16}, {1, 17}}},
    };
    return groups;
}

std::vector<VlcCode> buildVlcCodes()
{
    std::vector<VlcCode> codes;
    uint32_t next = 0;
    int length = 0;
    for (const auto& g : symbolGroups()) {
        next <<= (g.length - length);
        length = g.length;
        for (const Symbol& s : g.symbols) {
            codes.push_back({s.run, s.amp, g.length, static_cast<uint16_t>(next)});
            ++next;
        }
    }
    return codes;
}

// ---------------------------------------------------------------------------
// Macroblock shuffling.

constexpr int kSbColumnOfMb[5] = {2, 1, 3, 0, 4};  // superblock column of the 5 macroblocks of a segment
constexpr int kSbRowOffset[5] = {2, 6, 8, 0, 4};   // superblock row offset of the same

// Serpentine order down/up columns of `rows` macroblocks.
constexpr int serpentine(int k, int rows) { return ((k / rows) % 2 == 0) ? k % rows : rows - 1 - k % rows; }

struct FormatMap {
    int perChannel = 0;
    int channels = 0;
    std::vector<MacroblockPlace> places;
};

std::array<FormatMap, 11> g_maps;

void buildSdMap(VideoFormat code)
{
    const DvFormatInfo& f = *dvFormatInfo(code);
    FormatMap& map = g_maps[static_cast<size_t>(code)];
    const int n = f.sequencesPerChannel;
    map.channels = f.channels;
    map.perChannel = n * kVideoBlocksPerSequence;
    map.places.assign(static_cast<size_t>(map.channels * map.perChannel), MacroblockPlace{});
    for (int c = 0; c < f.channels; ++c)
        for (int i = 0; i < n; ++i)
            for (int k = 0; k < kVideoSegmentsPerSequence; ++k)
                for (int m = 0; m < kMacroblocksPerSegment; ++m) {
                    MacroblockPlace p;
                    p.difOffset = static_cast<uint32_t>(i * kDifSequenceBytes +
                                                        videoDifBlockIndex(k * 5 + m) * kDifBlockBytes);
                    const int col = kSbColumnOfMb[m];
                    const int row = (i + kSbRowOffset[m]) % n;
                    switch (f.chroma) {
                    case ChromaLayout::k411: {
                        static constexpr int kColumnStart[5] = {0, 4, 9, 13, 18};
                        const int kk = k + ((col == 1 || col == 3) ? 3 : 0);
                        const int mbColumn = kColumnStart[col] + kk / 6;
                        const int r = serpentine(kk, 6);
                        if (mbColumn > 21) {
                            p.x = 704;
                            p.y = static_cast<uint16_t>(row * 48 + r * 16);
                            p.shape = MacroblockShape::k411Square;
                        } else {
                            p.x = static_cast<uint16_t>(mbColumn * 32);
                            p.y = static_cast<uint16_t>(row * 48 + r * 8);
                            p.shape = MacroblockShape::k411Wide;
                        }
                        break;
                    }
                    case ChromaLayout::k420:
                        p.x = static_cast<uint16_t>((col * 9 + k / 3) * 16);
                        p.y = static_cast<uint16_t>(row * 48 + serpentine(k, 3) * 16);
                        p.shape = MacroblockShape::k420;
                        break;
                    case ChromaLayout::k422Sd:
                        p.x = static_cast<uint16_t>((col * 9 + k / 3) * 16);
                        p.y = static_cast<uint16_t>((row * 2 + c) * 24 + serpentine(k, 3) * 8);
                        p.shape = MacroblockShape::k422Sd;
                        break;
                    default:
                        break;
                    }
                    map.places[static_cast<size_t>(c * map.perChannel + (i * 27 + k) * 5 + m)] = p;
                }
}

void buildHdMap(VideoFormat code);

// ---------------------------------------------------------------------------
// Quantisation and weights.

// Quantisation steps of the 25/50 Mb/s formats: the row is QNO plus a class
// offset; the four columns are areas 0..3; each value is log2 of the step.
constexpr uint8_t kSdStepShift[22][4] = {
    {3, 3, 4, 4}, {3, 3, 4, 4}, {2, 3, 3, 4}, {2, 3, 3, 4}, {2, 2, 3, 3}, {2, 2, 3, 3},
    {1, 2, 2, 3}, {1, 2, 2, 3}, {1, 1, 2, 2}, {1, 1, 2, 2}, {0, 1, 1, 2}, {0, 1, 1, 2},
    {0, 0, 1, 1}, {0, 0, 1, 1}, {0, 0, 0, 1}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0},
    {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0},
};
constexpr int kSdClassOffset[4] = {6, 3, 0, 1};

// Area boundaries in scan positions: area a covers positions below kAreaEnd[a].
constexpr int kAreaEnd[4] = {6, 21, 43, 64};

std::array<double, 64> g_sdWeight88;
std::array<double, 64> g_sdWeight248;
std::array<uint8_t, 1024> g_clamp;
std::array<uint8_t, 64> g_area;

void buildWeights()
{
    const double pi = std::acos(-1.0);
    auto cs = [&](int m) { return std::cos(m * pi / 16.0); };
    const double w[8] = {1.0,
                         cs(4) / (4.0 * cs(7) * cs(2)),
                         cs(4) / (2.0 * cs(6)),
                         1.0 / (2.0 * cs(5)),
                         7.0 / 8.0,
                         cs(4) / cs(3),
                         cs(4) / cs(2),
                         cs(4) / cs(1)};
    for (int v = 0; v < 8; ++v)
        for (int h = 0; h < 8; ++h) {
            g_sdWeight88[static_cast<size_t>(v * 8 + h)] = (v == 0 && h == 0) ? 0.25 : w[h] * w[v] / 2.0;
            const int vv = v < 4 ? 2 * v : 2 * (v - 4);
            g_sdWeight248[static_cast<size_t>(v * 8 + h)] = (v == 0 && h == 0) ? 0.25 : w[h] * w[vv] / 2.0;
        }
}

void buildTables()
{
    for (int i = 0; i < 1024; ++i)
        g_clamp[static_cast<size_t>(i)] = static_cast<uint8_t>(std::clamp(i - 512, 0, 255));
    for (int pos = 0; pos < 64; ++pos) {
        int a = 0;
        while (pos >= kAreaEnd[a])
            ++a;
        g_area[static_cast<size_t>(pos)] = static_cast<uint8_t>(a);
    }
    buildWeights();
    for (VideoFormat code = 5; code <= 10; ++code)
        buildSdMap(code);
    for (VideoFormat code = 1; code <= 4; ++code)
        buildHdMap(code);
}

std::once_flag g_tablesOnce;

} // namespace

// ---------------------------------------------------------------------------
// DVCPRO HD shuffling: every channel is split into superblocks of 27 macroblocks;
// see buildHdMap below.

namespace {

void buildHdMap(VideoFormat code)
{
    const DvFormatInfo& f = *dvFormatInfo(code);
    FormatMap& map = g_maps[static_cast<size_t>(code)];
    const int seqs = (code == 3) ? 12 : f.videoSequencesPerChannel;
    map.channels = 4;
    map.perChannel = seqs * kVideoBlocksPerSequence;
    map.places.assign(static_cast<size_t>(map.channels * map.perChannel), MacroblockPlace{});
    // Superblock columns of the five macroblocks of a segment, in macroblocks.
    static constexpr int kColumn1080[5] = {36, 18, 54, 0, 72};
    static constexpr int kColumn720[5] = {24, 12, 36, 0, 48};
    static constexpr int kRowOffset[5] = {1, 3, 4, 0, 2};
    for (int c = 0; c < 4; ++c)
        for (int s = 0; s < seqs; ++s)
            for (int k = 0; k < kVideoSegmentsPerSequence; ++k)
                for (int m = 0; m < kMacroblocksPerSegment; ++m) {
                    MacroblockPlace p;
                    p.difOffset = static_cast<uint32_t>(s * kDifSequenceBytes +
                                                        videoDifBlockIndex(k * 5 + m) * kDifBlockBytes);
                    p.shape = MacroblockShape::k422Hd;
                    int mx = 0, my = 0; // in 16-pixel units
                    if (code == 3) {
                        if (s == 11) {
                            // The twelfth sequence (channel 0): the top macroblock row, then
                            // the bottom 8-line row of 32x8 macroblocks.
                            const int n = m * 27 + k;
                            if (n < 90) {
                                mx = n;
                                my = 0;
                            } else {
                                mx = (n - 90) * 2;
                                my = 67;
                                p.shape = MacroblockShape::k422HdBottom;
                            }
                        } else {
                            const int blk = (c * 11 + s) * 27 + k;
                            const int i = (4 * c + blk + 2 * kRowOffset[m]) % 11;
                            const int kk = (blk / 11) % 27;
                            mx = kColumn1080[m] + (c & 1) * 9 + kk % 9;
                            my = (i * 3 + kk / 9) * 2 + (c >> 1) + 1;
                        }
                    } else if (code == 1) {
                        // A 90 x 60 macroblock layout whose last ten columns are moved to
                        // the rows the 80-column picture has left (top 4, bottom 3.5).
                        const int j = s * 27 + k;
                        const int x = kColumn1080[m] + (c & 1) * 9 + (j / 5) % 9;
                        const int v = 12 * ((j + kRowOffset[m] + 2 * c) % 5) + 2 * (j / 45) + (c >> 1);
                        if (x < 80) {
                            mx = x;
                            my = v + 4;
                        } else {
                            const int dx = x - 80;
                            if (v < 32) {
                                mx = 10 * (v / 4) + dx;
                                my = v % 4;
                            } else if (v < 56) {
                                mx = 10 * ((v - 32) / 3) + dx;
                                my = 64 + (v - 32) % 3;
                            } else {
                                mx = 20 * (v - 56) + 2 * dx;
                                my = 67;
                                p.shape = MacroblockShape::k422HdBottom;
                            }
                        }
                    } else {
                        // 720 lines: shuffle channels 0/1 or 2/3 each cover the whole picture.
                        const int j = s * 27 + k;
                        mx = kColumn720[m] + 6 * (c & 1) + (j / 5) % 6;
                        my = 9 * ((j + kRowOffset[m] + 2 * c) % 5) + j / 30;
                    }
                    p.x = static_cast<uint16_t>(mx * 16);
                    p.y = static_cast<uint16_t>(my * 16);
                    map.places[static_cast<size_t>(c * map.perChannel + (s * 27 + k) * 5 + m)] = p;
                }
}

} // namespace

void InitCodecTables()
{
    std::call_once(g_tablesOnce, buildTables);
    if (!processorHasSse2())
        notify("Quintell", kProcessorWarning);
}

int macroblockPlacesPerChannel(VideoFormat code)
{
    std::call_once(g_tablesOnce, buildTables);
    if (code < 1 || code > 10)
        return 0;
    return g_maps[static_cast<size_t>(code)].perChannel;
}

const MacroblockPlace& macroblockPlace(VideoFormat code, int channel, int sequence, int segment, int mb)
{
    const FormatMap& map = g_maps[static_cast<size_t>(code)];
    return map.places[static_cast<size_t>(channel * map.perChannel + (sequence * 27 + segment) * 5 + mb)];
}

int hdChannelPair(std::span<const uint8_t> frame)
{
    if (frame.size() < 2)
        return 0;
    return (frame[1] & 0x04) ? 0 : 2;
}

const uint8_t kZigzag88[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

// The 2-4-8 scan visits the sum and difference coefficient of each (h, v) pair
// next to each other. Written here with pair rows interleaved (row 2v = sum
// coefficient v, row 2v + 1 = difference coefficient v) and converted below.
namespace {
constexpr uint8_t kZigzag248Interleaved[64] = {
    0,  8,  1,  9,  16, 24, 2,  10, 17, 25, 32, 40, 48, 56, 33, 41, 18, 26, 3,  11, 4,  12,
    19, 27, 34, 42, 49, 57, 50, 58, 35, 43, 20, 28, 5,  13, 6,  14, 21, 29, 36, 44, 51, 59,
    52, 60, 37, 45, 22, 30, 7,  15, 23, 31, 38, 46, 53, 61, 54, 62, 39, 47, 55, 63,
};
constexpr std::array<uint8_t, 64> deinterleave248()
{
    std::array<uint8_t, 64> out{};
    for (int i = 0; i < 64; ++i) {
        int r = kZigzag248Interleaved[i] / 8, c = kZigzag248Interleaved[i] % 8;
        int v = (r % 2 == 0) ? r / 2 : 4 + r / 2;
        out[static_cast<size_t>(i)] = static_cast<uint8_t>(v * 8 + c);
    }
    return out;
}
constexpr std::array<uint8_t, 64> kZigzag248Array = deinterleave248();
} // namespace

const uint8_t kZigzag248[64] = {
#define Z(i) kZigzag248Array[i]
    Z(0),  Z(1),  Z(2),  Z(3),  Z(4),  Z(5),  Z(6),  Z(7),  Z(8),  Z(9),  Z(10), Z(11), Z(12),
    Z(13), Z(14), Z(15), Z(16), Z(17), Z(18), Z(19), Z(20), Z(21), Z(22), Z(23), Z(24), Z(25),
    Z(26), Z(27), Z(28), Z(29), Z(30), Z(31), Z(32), Z(33), Z(34), Z(35), Z(36), Z(37), Z(38),
    Z(39), Z(40), Z(41), Z(42), Z(43), Z(44), Z(45), Z(46), Z(47), Z(48), Z(49), Z(50), Z(51),
    Z(52), Z(53), Z(54), Z(55), Z(56), Z(57), Z(58), Z(59), Z(60), Z(61), Z(62), Z(63),
#undef Z
};

int acArea(int scanPosition)
{
    std::call_once(g_tablesOnce, buildTables);
    return g_area[static_cast<size_t>(std::clamp(scanPosition, 0, 63))];
}

std::span<const VlcCode> vlcCodes()
{
    static const std::vector<VlcCode> codes = buildVlcCodes();
    return {codes.data(), codes.size()};
}

int sdQuantStep(int qno, int cls, int area)
{
    qno = std::clamp(qno, 0, 15);
    cls = std::clamp(cls, 0, 3);
    area = std::clamp(area, 0, 3);
    int step = 1 << kSdStepShift[qno + kSdClassOffset[cls]][area];
    return cls == 3 ? step * 2 : step;
}

double sdWeight(bool dct248, int index)
{
    std::call_once(g_tablesOnce, buildTables);
    return (dct248 ? g_sdWeight248 : g_sdWeight88)[static_cast<size_t>(index & 63)];
}

int hdQuantStep(int qno, int cls)
{
    static constexpr int kStep[16] = {1, 1, 2, 3, 4, 5, 6, 7, 8, 16, 18, 20, 22, 24, 28, 52};
    return kStep[std::clamp(qno, 0, 15)] << std::clamp(cls, 0, 3);
}

namespace {
// DVCPRO HD inverse weights in units of 1/32, by scan position 1..63 (position
// 0, the DC coefficient, is not weighted).
constexpr uint16_t kHdInverseWeight[2][2][63] = {
    {   // 720 lines
        {16, 16, 17, 17, 17, 18, 18, 18, 18, 18, 18, 19, 18, 18, 19, 19, 19, 19, 19, 19, 42, 38, 40, 40, 40,
         38, 42, 44, 43, 41, 41, 41, 41, 43, 44, 68, 68, 63, 63, 63, 68, 68, 96, 92, 87, 87, 92, 96, 98, 96,
         88, 96, 98, 202, 196, 196, 202, 208, 219, 208, 233, 233, 246},
        {24, 24, 26, 26, 26, 36, 36, 36, 36, 36, 36, 38, 36, 36, 38, 38, 38, 38, 38, 38, 84, 76, 81, 80, 81,
         76, 84, 88, 86, 82, 82, 82, 82, 86, 88, 182, 182, 168, 168, 168, 182, 182, 193, 187, 191, 173, 187, 193,
         394, 380, 353, 380, 394, 406, 394, 394, 406, 418, 437, 418, 466, 466, 492},
    },
    {   // 1080 lines
        {16, 16, 17, 17, 17, 18, 18, 18, 18, 18, 18, 19, 18, 18, 19, 19, 19, 19, 19, 19, 42, 38, 40, 40, 40,
         38, 42, 44, 43, 41, 41, 41, 41, 43, 44, 45, 45, 42, 42, 42, 45, 45, 48, 46, 43, 43, 46, 48, 49, 48,
         44, 48, 49, 101, 98, 98, 101, 104, 109, 104, 116, 116, 123},
        {16, 16, 17, 17, 17, 25, 25, 25, 25, 26, 25, 26, 25, 26, 26, 26, 27, 27, 26, 26, 42, 38, 40, 40, 40,
         38, 42, 44, 43, 41, 41, 41, 41, 43, 44, 91, 91, 84, 84, 84, 91, 91, 96, 93, 87, 87, 93, 96, 197, 193,
         177, 193, 197, 203, 196, 196, 203, 209, 219, 209, 233, 233, 246},
    },
};
} // namespace

double hdWeight(bool chroma, bool lines1080, int index)
{
    index &= 63;
    int pos = 0;
    while (kZigzag88[pos] != index)
        ++pos;
    if (pos == 0)
        return 0.25;
    return 32.0 / kHdInverseWeight[lines1080 ? 1 : 0][chroma ? 1 : 0][pos - 1];
}

const uint8_t* clampTable()
{
    std::call_once(g_tablesOnce, buildTables);
    return g_clamp.data();
}

} // namespace vorn::dv
