// DV encoder: transform, quantiser searches, bit budgets, block layout, system
// data and time code of encoded frames, channel toggling and worker failure.
#include "dv/CodecTables.h"
#include "dv/DvEncoder.h"
#include "dv/DvEncoderCore.h"
#include "dv/DvEncoderSearch.h"
#include "dv/DvFormat.h"
#include "dv/DvSystemData.h"
#include "foundation/Cpu.h"
#include "foundation/Notifier.h"
#include "foundation/WorkerPool.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace vorn::dv;

// ---------------------------------------------------------------------------
// Test pictures and a small reader of the compressed video.

// A packed 4:2:2 picture (bottom-up) of a format's coded raster: flat grey, a
// moving pattern with noise, or (extreme) hard stripes with strong noise that
// no quantiser brings within the budget.
enum class Content { Flat, Busy, Extreme };
PictureBuffer makePicture(VideoFormat code, Content content, int frame = 0)
{
    const DvFormatInfo& f = *dvFormatInfo(code);
    PictureBuffer p(f.codedWidth, f.height);
    std::mt19937 rng(1234u + static_cast<unsigned>(frame));
    const bool extreme = content == Content::Extreme;
    std::uniform_int_distribution<int> noise(extreme ? -40 : -5, extreme ? 40 : 5);
    for (int y = 0; y < f.height; ++y) {
        uint8_t* row = p.memoryRow(f.height - 1 - y);
        for (int x = 0; x < f.codedWidth; ++x) {
            int luma = 128, cb = 128, cr = 128;
            if (content != Content::Flat) {
                luma = ((x + 3 * frame) / (extreme ? 2 : 9) + y / 7) % 2 ? (extreme ? 230 : 150) : (extreme ? 20 : 100);
                luma += static_cast<int>(40 * std::sin((x * x + y * 3) * 0.001)) + noise(rng);
                cb = 128 + static_cast<int>(60 * std::sin(x * 0.02)) + noise(rng);
                cr = 128 + static_cast<int>(60 * std::cos(y * 0.03)) + noise(rng);
            }
            row[2 * x] = static_cast<uint8_t>(std::clamp(luma, 0, 255));
            row[2 * x + 1] = static_cast<uint8_t>(std::clamp(x & 1 ? cr : cb, 0, 255));
        }
    }
    return p;
}

// The run/amplitude code of the standard, for reading streams back: symbols by
// code length, consecutive codes within a length (amp 0: a run of run + 1 zeros).
struct Sym {
    int run, amp;
};
const std::map<int, std::vector<Sym>>& codeTable()
{
    static const std::map<int, std::vector<Sym>> t = {
        {2, {{0, 1}}}, {3, {{0, 2}}}, {4, {{-1, 0}, {1, 1}, {0, 3}, {0, 4}}},
        {5, {{2, 1}, {1, 2}, {0, 5}, {0, 6}}}, {6, {{3, 1}, {4, 1}, {0, 7}, {0, 8}}},
        {7, {{5, 1}, {6, 1}, {2, 2}, {1, 3}, {1, 4}, {0, 9}, {0, 10}, {0, 11}}},
        {8, {{7, 1}, {8, 1}, {9, 1}, {10, 1}, {3, 2}, {4, 2}, {2, 3}, {1, 5}, {1, 6}, {1, 7},
             {0, 12}, {0, 13}, {0, 14}, {0, 15}, {0, 16}, {0, 17}}},
        {9, {{11, 1}, {12, 1}, {13, 1}, {14, 1}, {5, 2}, {6, 2}, {3, 3}, {4, 3}, {2, 4}, {2, 5},
             {1, 8}, {0, 18}, {0, 19}, {0, 20}, {0, 21}, {0, 22}}},
        {10, {{5, 3}, {3, 4}, {3, 5}, {2, 6}, {1, 9}, {1, 10}, {1, 11}}},
        {11, {{0, 0}, {1, 0}, {6, 3}, {4, 4}, {3, 6}, {1, 12}, {1, 13}, {1, 14}}},
        {12, {{2, 0}, {3, 0}, {4, 0}, {5, 0}, {7, 2}, {8, 2}, {9, 2}, {10, 2}, {7, 3}, {8, 3},
              {4, 5}, {3, 7}, {2, 7}, {2, 8}, {2, 9}, {2, 10}, {2, 11}, {1, 15}, {1, 16}, {1, 17}}},
    };
    return t;
}

// code bits (as text) -> symbol, built once from the canonical listing.
const std::map<std::string, Sym>& codeMap()
{
    static const std::map<std::string, Sym> m = [] {
        std::map<std::string, Sym> out;
        uint32_t next = 0;
        int len = 0;
        for (const auto& [l, syms] : codeTable()) {
            next <<= (l - len);
            len = l;
            for (const Sym& s : syms) {
                std::string bits;
                for (int i = l - 1; i >= 0; --i)
                    bits += ((next >> i) & 1) ? '1' : '0';
                out[bits] = s;
                ++next;
            }
        }
        return out;
    }();
    return m;
}

// One block being read: its scan position and whether its end of block came.
struct BlockRead {
    int pos = 0;
    bool done = false;
    bool overrun = false;
    std::string pending; // bits of an unfinished code
};

// Reads codes from `bits` into block b; returns the bits left after its end of
// block (or an empty text when the bits ran out first).
std::string readCodes(BlockRead& b, const std::string& bits)
{
    std::string s = b.pending + bits;
    b.pending.clear();
    size_t i = 0;
    for (;;) {
        // escapes
        if (s.compare(i, 7, "1111111") == 0 && s.size() >= i + 7) {
            if (s.size() < i + 16) break;
            b.pos += 1;
            i += 16;
        } else if (s.compare(i, 7, "1111110") == 0 && s.size() >= i + 7) {
            if (s.size() < i + 13) break;
            b.pos += std::stoi(s.substr(i + 7, 6), nullptr, 2) + 1;
            i += 13;
        } else {
            bool found = false;
            for (int l = 2; l <= 12 && i + l <= s.size(); ++l) {
                auto it = codeMap().find(s.substr(i, static_cast<size_t>(l)));
                if (it == codeMap().end())
                    continue;
                const Sym sym = it->second;
                if (sym.run < 0) {
                    b.done = true;
                    return s.substr(i + static_cast<size_t>(l));
                }
                if (sym.amp && i + static_cast<size_t>(l) + 1 > s.size())
                    break; // the sign bit is still to come
                b.pos += sym.run + 1;
                i += static_cast<size_t>(l) + (sym.amp ? 1 : 0);
                found = true;
                break;
            }
            if (!found)
                break;
        }
        if (b.pos >= 64) {
            b.overrun = true;
            return {};
        }
    }
    b.pending = s.substr(i);
    return {};
}

struct SegmentRead {
    int bits = 0;          // bits of all codes including ends of block
    bool allDone = true;   // every block ended with an end of block
    std::vector<int> qno;
    std::vector<int> classes; // per block slot, macroblock-major
};

// Reads one video segment (five DIF blocks) with the three passes and counts
// the code bits used by the coded blocks (skipping unused 50 Mb/s slots).
SegmentRead readSegment(const std::array<const uint8_t*, 5>& dif, bool hd, bool dv50)
{
    static const int kSd[6] = {14, 14, 14, 14, 10, 10}, kHd[8] = {10, 10, 10, 10, 10, 10, 8, 8};
    const int slots = hd ? 8 : 6;
    const int* size = hd ? kHd : kSd;
    SegmentRead r;
    std::vector<std::vector<BlockRead>> blocks(5, std::vector<BlockRead>(static_cast<size_t>(slots)));
    std::string segmentSpare;
    int spareBits = 0;
    for (int m = 0; m < 5; ++m) {
        std::string all;
        for (int i = 0; i < 80; ++i)
            for (int k = 7; k >= 0; --k)
                all += ((dif[static_cast<size_t>(m)][i] >> k) & 1) ? '1' : '0';
        r.qno.push_back(dif[static_cast<size_t>(m)][3] & 15);
        std::string mbSpare;
        int p = 32;
        for (int s = 0; s < slots; ++s) {
            r.classes.push_back(std::stoi(all.substr(static_cast<size_t>(p + 10), 2), nullptr, 2));
            const std::string area = all.substr(static_cast<size_t>(p + 12), static_cast<size_t>(size[s] * 8 - 12));
            p += size[s] * 8;
            mbSpare += readCodes(blocks[static_cast<size_t>(m)][static_cast<size_t>(s)], area);
        }
        size_t s = 0;
        for (; s < blocks[static_cast<size_t>(m)].size(); ++s) {
            BlockRead& b = blocks[static_cast<size_t>(m)][s];
            if (b.done || mbSpare.empty())
                continue;
            mbSpare = readCodes(b, mbSpare);
            if (!b.done)
                break;
        }
        if (s == blocks[static_cast<size_t>(m)].size())
            segmentSpare += mbSpare;
    }
    spareBits = static_cast<int>(segmentSpare.size());
    for (auto& mb : blocks)
        for (BlockRead& b : mb)
            if (!b.done && !segmentSpare.empty())
                segmentSpare = readCodes(b, segmentSpare);
    (void)spareBits;
    int capacity = 0;
    for (int s = 0; s < slots; ++s)
        capacity += size[s] * 8 - 12;
    capacity *= 5;
    for (auto& mb : blocks)
        for (BlockRead& b : mb)
            r.allDone = r.allDone && b.done && !b.overrun;
    // Used bits = capacity minus what is left after the last pass; the unused
    // 50 Mb/s slots each hold one end of block that is not part of the budget.
    r.bits = capacity - static_cast<int>(segmentSpare.size()) - (dv50 ? 5 * 2 * 4 : 0);
    return r;
}

// Visits every video segment of a frame.
template <class Fn>
void forEachSegment(const std::vector<uint8_t>& frame, VideoFormat code, Fn&& fn)
{
    const DvFormatInfo& f = *dvFormatInfo(code);
    const int areas = f.hd && (code == 2 || code == 4) ? 2 : f.channels;
    for (int a = 0; a < areas; ++a)
        for (int q = 0; q < f.videoSequencesPerChannel + (code == 3 && a == 0 ? 1 : 0); ++q)
            for (int k = 0; k < 27; ++k) {
                std::array<const uint8_t*, 5> dif{};
                for (int m = 0; m < 5; ++m)
                    dif[static_cast<size_t>(m)] = frame.data() + static_cast<size_t>(a) * f.channelBytes() +
                                                  static_cast<size_t>(q) * 12000 +
                                                  static_cast<size_t>(videoDifBlockIndex(k * 5 + m)) * 80;
                fn(a, q, k, dif);
            }
}

const std::vector<VideoFormat> kEncodable = {1, 2, 3, 4, 5, 7, 8, 9, 10};

class EncoderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        InitCodecTables();
    }
    void TearDown() override
    {
        setEncodeWorkerStartFailureForTest(-1);
        vorn::defaultWorkerPool().setWorkers(vorn::affinityProcessorCount());
        InitCodecTables();
    }
    // A new encoder for what follows (a new stream).
    void freshEncoder() { encoder_ = std::make_unique<DvEncoder>(); }
    std::vector<uint8_t> encode(VideoFormat code, const PictureBuffer& pic, uint8_t fill = 0)
    {
        DifFrame frame(static_cast<size_t>(dvFormatInfo(code)->bytesPerFrame));
        std::fill(frame.bytes.begin(), frame.bytes.end(), fill);
        EXPECT_TRUE(encoder_->encode(frame, pic, code).ok()) << "code " << code;
        return frame.bytes;
    }
    std::unique_ptr<DvEncoder> encoder_ = std::make_unique<DvEncoder>();
};

// ---------------------------------------------------------------------------

TEST(EncoderDct, MatchesTheExactTransformAndThePlainPath)
{
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> d(-128, 127);
    int worst = 0;
    for (int t = 0; t < 300; ++t) {
        int16_t in[64];
        const int kind = t % 3; // noise, flat, hard edges
        for (int i = 0; i < 64; ++i)
            in[i] = static_cast<int16_t>(kind == 0 ? d(rng) : kind == 1 ? (t % 255) - 128 : ((i % 8) < 4 ? 127 : -128));
        int16_t fast[64], plain[64];
        double exact[64];
        enc::forwardDct(in, fast);
        enc::forwardDctPlain(in, plain);
        enc::forwardDctReference(in, exact);
        for (int i = 0; i < 64; ++i) {
            ASSERT_EQ(fast[i], plain[i]) << "coefficient " << i;
            worst = std::max(worst, static_cast<int>(std::lround(std::fabs(fast[i] - exact[i]) * 100)));
        }
    }
    EXPECT_LE(worst, 100) << "largest error x100";
    // DC is 8 times the mean.
    int16_t flat[64], out[64];
    std::fill(std::begin(flat), std::end(flat), int16_t(-100));
    enc::forwardDct(flat, out);
    EXPECT_EQ(out[0], -800);
}

struct SdSearchCase {
    const char* name;
    std::array<int, 5> bitsAt15;
    int perStep;   // bits saved per QNO step
    std::array<int, 5> expectQno;
};

TEST(EncoderSearch, SdSearchStopsAtTheBudget)
{
    const SdSearchCase cases[] = {
        // below the budget: nothing changes
        {"2639 bits", {528, 528, 528, 528, 527}, 30, {15, 15, 15, 15, 15}},
        // exactly the budget: one macroblock (the first among equal counts) lowered once
        {"2640 bits", {528, 528, 528, 528, 528}, 30, {14, 15, 15, 15, 15}},
        // the busiest macroblock goes first among equal quantisers
        {"busy third", {500, 500, 700, 500, 500}, 30, {14, 15, 14, 15, 15}},
        // lowered together, level by level, until it fits
        {"far over", {800, 800, 800, 800, 800}, 100, {12, 12, 12, 12, 13}},
    };
    for (const SdSearchCase& c : cases) {
        int qno[5];
        auto bits = [&](int m, int q) { return c.bitsAt15[static_cast<size_t>(m)] - (15 - q) * c.perStep; };
        const int total = enc::searchSdQnos(bits, kSdSegmentBudget, qno);
        int expectTotal = 0;
        for (int m = 0; m < 5; ++m) {
            EXPECT_EQ(qno[m], c.expectQno[static_cast<size_t>(m)]) << c.name << " mb " << m;
            expectTotal += bits(m, qno[m]);
        }
        EXPECT_EQ(total, expectTotal) << c.name;
        if (std::string(c.name) != "2639 bits") {
            EXPECT_LE(total, kSdSegmentBudget) << c.name;
        }
    }
    // Nothing left to lower: the search ends at QNO 0.
    int qno[5];
    enc::searchSdQnos([](int, int) { return 1000; }, kSdSegmentBudget, qno);
    for (int q : qno)
        EXPECT_EQ(q, 0);
}

// The HD search gives the first rung of the round-robin ladder from all 1
// that fits the budget, whatever the carried seed: a frame's quantisers do not
// depend on the frames before it.
TEST(EncoderSearch, HdSearchGivesTheFirstFittingRungFromAnySeed)
{
    using BitsFn = std::function<int(int, int)>;
    struct Case {
        const char* name;
        BitsFn bits;
    };
    const std::vector<Case> cases = {
        {"even fall", [](int, int q) { return 900 - 40 * (q - 1); }},
        {"uneven macroblocks", [](int m, int q) { return m % 2 ? 1500 - 100 * q : 200; }},
        {"steep start", [](int m, int q) { return 4000 / (q + m) + 100; }},
        {"fits at once", [](int, int) { return 300; }},
        {"never fits", [](int, int) { return 600; }},
    };
    const std::vector<std::array<int, 5>> seeds = {
        {1, 1, 1, 1, 1}, {15, 15, 15, 15, 15}, {16, 16, 16, 16, 16}, {15, 3, 15, 3, 15}, {7, 8, 7, 7, 7}, {0, 2, 9, 4, 1}};
    for (const Case& c : cases) {
        // The ladder walked from its foot, rung by rung.
        int expectRung = enc::kHdLadderTop;
        for (int rung = 0; rung <= enc::kHdLadderTop; rung += 2) {
            int sum = 0;
            for (int m = 0; m < 5; ++m)
                sum += c.bits(m, enc::hdLadderQno(rung, m));
            if (sum <= kHdSegmentBudget) {
                expectRung = rung;
                break;
            }
        }
        for (const auto& seed : seeds) {
            int qno[5];
            std::copy(seed.begin(), seed.end(), qno);
            const int total = enc::searchHdQnos(c.bits, kHdSegmentBudget, qno);
            int sum = 0;
            for (int m = 0; m < 5; ++m) {
                EXPECT_EQ(qno[m], enc::hdLadderQno(expectRung, m)) << c.name << " mb " << m << " seed " << seed[0];
                sum += c.bits(m, qno[m]);
            }
            EXPECT_EQ(total, sum) << c.name;
            if (expectRung < enc::kHdLadderTop) {
                EXPECT_LE(total, kHdSegmentBudget) << c.name;
            }
            const int spread = *std::max_element(qno, qno + 5) - *std::min_element(qno, qno + 5);
            EXPECT_LE(spread, 1) << "round robin keeps the QNOs together";
        }
    }
    // Nothing fits: every macroblock ends at the coarsest step.
    int atLimit[5] = {16, 16, 16, 16, 16};
    EXPECT_EQ(enc::searchHdQnos([](int, int) { return 600; }, kHdSegmentBudget, atLimit), 3000);
    for (int q : atLimit)
        EXPECT_EQ(q, 15);
}

TEST_F(EncoderTest, FlatGreyFitsAtTheFinestQuantiserWithTheActivityClasses)
{
    for (VideoFormat code : {5, 7, 8, 9, 10}) {
        SCOPED_TRACE(code);
        const std::vector<uint8_t> frame = encode(code, makePicture(code, Content::Flat));
        const bool dv50 = code == 7 || code == 8;
        int segments = 0;
        forEachSegment(frame, code, [&](int, int, int, const std::array<const uint8_t*, 5>& dif) {
            const SegmentRead r = readSegment(dif, false, dv50);
            ++segments;
            EXPECT_TRUE(r.allDone);
            for (int q : r.qno)
                EXPECT_EQ(q, 15);
            for (size_t i = 0; i < r.classes.size(); ++i) {
                const int slot = static_cast<int>(i % 6);
                if (dv50 && (slot == 1 || slot == 3))
                    continue;
                const int expect = slot < 4 ? 0 : (slot == 4 ? 1 : 2);
                ASSERT_EQ(r.classes[i], expect) << "slot " << slot;
            }
            // DC of grey 128 is 0.
            EXPECT_EQ(dif[0][4], 0);
        });
        EXPECT_EQ(segments, dvFormatInfo(code)->channels * dvFormatInfo(code)->videoSequencesPerChannel * 27);
    }
}

TEST_F(EncoderTest, NoSegmentPassesItsBudgetAndEveryBlockEnds)
{
    for (VideoFormat code : kEncodable) {
        SCOPED_TRACE(code);
        const std::vector<uint8_t> frame = encode(code, makePicture(code, Content::Busy));
        const bool hd = code <= 4, dv50 = code == 7 || code == 8;
        const int budget = hd ? kHdSegmentBudget : kSdSegmentBudget;
        int maxBits = 0, below15 = 0;
        forEachSegment(frame, code, [&](int, int, int, const std::array<const uint8_t*, 5>& dif) {
            const SegmentRead r = readSegment(dif, hd, dv50);
            ASSERT_TRUE(r.allDone);
            ASSERT_LE(r.bits, budget);
            maxBits = std::max(maxBits, r.bits);
            for (int q : r.qno)
                below15 += q < 15;
        });
        // The busy picture needs the budget.
        EXPECT_GT(maxBits, budget - 200);
        EXPECT_GT(below15, 0);
    }
}

TEST_F(EncoderTest, PicturesBeyondTheBudgetStillGiveCompleteSegments)
{
    // No quantiser fits these (and with rate control off the HD engine codes
    // QNO 9 throughout): coefficients are dropped until the codes fit the space.
    for (VideoFormat code : {10, 8, 1}) {
        SCOPED_TRACE(code);
        DifFrame frame(static_cast<size_t>(dvFormatInfo(code)->bytesPerFrame));
        PictureBuffer scratch;
        const PictureBuffer pic = makePicture(code, Content::Extreme);
        DvEncoderSettings settings;
        settings.rateControl = code != 1;
        DvEncoder encoder(settings);
        ASSERT_TRUE(encoder.encode(frame, scratch, pic, {pic.width, pic.height}, code).ok());
        const bool hd = code <= 4, dv50 = code == 8;
        const int capacity = hd ? 5 * (6 * 68 + 2 * 52) : 5 * (4 * 100 + 2 * 68) - (dv50 ? 40 : 0);
        int full = 0;
        forEachSegment(frame.bytes, code, [&](int, int, int, const std::array<const uint8_t*, 5>& dif) {
            const SegmentRead r = readSegment(dif, hd, dv50);
            ASSERT_TRUE(r.allDone);
            ASSERT_LE(r.bits, capacity);
            full += r.bits > capacity - 16;
            if (hd) {
                for (int q : r.qno)
                    ASSERT_EQ(q, 9);
            }
        });
        EXPECT_GT(full, 0) << "the picture fills segments to the last bits";
    }
}

TEST_F(EncoderTest, VideoBlockIdsAndChannelBits)
{
    struct Case {
        VideoFormat code;
        int area, seq;
        uint8_t id1;
    };
    const Case cases[] = {
        {10, 0, 3, 0x37}, {8, 1, 9, 0x9F}, {7, 1, 11, 0xBF},
        {1, 0, 0, 0x07}, {1, 1, 4, 0x4F}, {1, 2, 9, 0x93}, {1, 3, 2, 0x2B},
    };
    std::map<VideoFormat, std::vector<uint8_t>> frames;
    for (const Case& c : cases) {
        if (!frames.count(c.code))
            frames[c.code] = encode(c.code, makePicture(c.code, Content::Busy));
        const std::vector<uint8_t>& f = frames[c.code];
        const size_t base = static_cast<size_t>(c.area) * dvFormatInfo(c.code)->channelBytes() +
                            static_cast<size_t>(c.seq) * 12000;
        for (int k = 0; k < 135; ++k) {
            const uint8_t* b = &f[base + static_cast<size_t>(videoDifBlockIndex(k)) * 80];
            ASSERT_EQ(b[0], 0x9F);
            ASSERT_EQ(b[1], c.id1) << "code " << c.code << " area " << c.area;
            ASSERT_EQ(b[2], k);
            ASSERT_EQ(b[3] >> 4, 0);
        }
        // The header block carries the same ID byte.
        EXPECT_EQ(f[base + 1], c.id1);
    }
}

TEST_F(EncoderTest, Lines720AlternateChannelPairs)
{
    for (VideoFormat code : {2, 4}) {
        freshEncoder();
        const PictureBuffer pic = makePicture(code, Content::Busy);
        std::vector<uint8_t> ids;
        for (int i = 0; i < 4; ++i) {
            const std::vector<uint8_t> f = encode(code, pic);
            ids.push_back(f[1]);
            // the second channel area of the frame holds the pair's second channel
            ids.push_back(f[static_cast<size_t>(dvFormatInfo(code)->channelBytes()) + 1]);
        }
        // FSP set (channels 0/1), then clear (channels 2/3), and so on.
        EXPECT_EQ(ids, (std::vector<uint8_t>{0x07, 0x0F, 0x03, 0x0B, 0x07, 0x0F, 0x03, 0x0B})) << code;
    }
}

TEST_F(EncoderTest, EncodersInterleavedGiveWhatEachGivesAlone)
{
    // Three streams coded at once, a frame of each in turn: two 720-line ones,
    // whose frames alternate channel pairs, and a 1080-line one, whose
    // segments carry their quantisers into the next frame. Each stream's
    // frames equal those of the stream coded alone.
    const VideoFormat codes[] = {2, 4, 1};
    constexpr int kFrames = 3;
    auto picture = [](VideoFormat code, int i) { return makePicture(code, Content::Busy, i); };
    std::vector<std::vector<uint8_t>> alone(std::size(codes)), together(std::size(codes));
    for (size_t s = 0; s < std::size(codes); ++s) {
        DvEncoder encoder;
        for (int i = 0; i < kFrames; ++i) {
            DifFrame frame;
            ASSERT_TRUE(encoder.encode(frame, picture(codes[s], i), codes[s]).ok());
            alone[s].insert(alone[s].end(), frame.bytes.begin(), frame.bytes.end());
        }
    }
    std::vector<std::unique_ptr<DvEncoder>> encoders;
    for (size_t s = 0; s < std::size(codes); ++s)
        encoders.push_back(std::make_unique<DvEncoder>());
    for (int i = 0; i < kFrames; ++i)
        for (size_t s = 0; s < std::size(codes); ++s) {
            DifFrame frame;
            ASSERT_TRUE(encoders[s]->encode(frame, picture(codes[s], i), codes[s]).ok());
            together[s].insert(together[s].end(), frame.bytes.begin(), frame.bytes.end());
        }
    for (size_t s = 0; s < std::size(codes); ++s)
        EXPECT_TRUE(together[s] == alone[s]) << "code " << codes[s];
    EXPECT_EQ(encoders[0]->nextChannelPair(), kFrames % 2);
}

TEST_F(EncoderTest, SequencesWithoutPictureHoldEmptyVideo)
{
    // 1080/50i: sequence 11 carries picture only in channel 0; 720/50p: sequences
    // 10 and 11 of both channel areas carry none.
    struct Case {
        VideoFormat code;
        int area, seq;
        bool picture;
    };
    const Case cases[] = {{3, 0, 11, true}, {3, 1, 11, false}, {3, 3, 11, false}, {3, 2, 10, true},
                          {4, 0, 9, true},  {4, 0, 10, false}, {4, 1, 11, false}};
    std::map<VideoFormat, std::vector<uint8_t>> frames;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "code " << c.code << " area " << c.area << " seq " << c.seq);
        if (!frames.count(c.code))
            frames[c.code] = encode(c.code, makePicture(c.code, Content::Busy), 0x55);
        const std::vector<uint8_t>& f = frames[c.code];
        const size_t seq = static_cast<size_t>(c.area) * 144000 + static_cast<size_t>(c.seq) * 12000;
        EXPECT_EQ(f[seq], 0x1F) << "system data on every sequence";
        int nonEmpty = 0;
        for (int k = 0; k < 27; ++k) {
            std::array<const uint8_t*, 5> dif{};
            for (int m = 0; m < 5; ++m)
                dif[static_cast<size_t>(m)] = &f[seq + static_cast<size_t>(videoDifBlockIndex(k * 5 + m)) * 80];
            EXPECT_EQ(dif[0][0], 0x9F);
            EXPECT_EQ(dif[0][1], f[seq + 1]);
            const SegmentRead r = readSegment(dif, true, false);
            EXPECT_TRUE(r.allDone);
            nonEmpty += r.bits > 8 * 5 * 4;
        }
        EXPECT_EQ(nonEmpty > 0, c.picture);
    }
}

TEST_F(EncoderTest, PackDataNotNamedKeepsThePreviousBytes)
{
    for (VideoFormat code : {10, 1}) {
        const std::vector<uint8_t> f = encode(code, makePicture(code, Content::Flat), 0xA5);
        // subcode pack 0x14 (sync block 1) and VAUX pack 0x64 (even sequence: block 2, pack 13)
        EXPECT_EQ(f[83 + 8 + 3], 0x14);
        EXPECT_EQ(f[83 + 8 + 4], 0xA5);
        EXPECT_EQ(f[83 + 8 + 7], 0xA5);
        EXPECT_EQ(f[400 + 3 + 5 * 13], 0x64);
        EXPECT_EQ(f[400 + 3 + 5 * 13 + 1], 0xA5);
        // silence in the audio blocks
        EXPECT_EQ(f[480 + 8], 0x00);
    }
}

TEST_F(EncoderTest, TimeCodePacksCarryTheCallersCounter)
{
    // The encoder writes the counter it is given and never advances it: the
    // writer of the frames counts them, once each.
    for (VideoFormat code : {5, 10, 9, 1}) {
        const TimecodeCounter counter = MakeTimecode(1, 0, 59, 17, code == 10);
        DifFrame frame(static_cast<size_t>(dvFormatInfo(code)->bytesPerFrame));
        ASSERT_TRUE(encoder_->encode(frame, makePicture(code, Content::Flat), code, counter).ok()) << code;
        const uint8_t* tc = &frame.bytes[83 + 3];
        EXPECT_EQ(tc[0], 0x13);
        EXPECT_EQ(tc[1] & 0x7F, (code == 10 ? 0x40 : 0) | 0x17) << code;
        EXPECT_EQ(tc[2], 0x59);
        EXPECT_EQ(tc[3], 0x00);
        EXPECT_EQ(tc[4], 0x01);
    }
}

TEST_F(EncoderTest, OutputDoesNotDependOnTheWorkerCount)
{
    for (VideoFormat code : {1, 8}) {
        const PictureBuffer pic = makePicture(code, Content::Busy);
        std::vector<std::vector<uint8_t>> outs;
        for (int workers : {1, 2, 5}) {
            freshEncoder();
            vorn::defaultWorkerPool().setWorkers(workers);
            std::vector<uint8_t> a = encode(code, pic);
            std::vector<uint8_t> b = encode(code, makePicture(code, Content::Busy, 1));
            a.insert(a.end(), b.begin(), b.end());
            outs.push_back(std::move(a));
        }
        EXPECT_EQ(outs[0], outs[1]) << code;
        EXPECT_EQ(outs[0], outs[2]) << code;
    }
}

TEST_F(EncoderTest, WorkerThatCannotStartAbandonsTheFrame)
{
    std::vector<std::string> messages;
    auto old = vorn::setNotifyHandler([&](const std::string& title, const std::string& text) {
        messages.push_back(title + "|" + text);
    });
    vorn::defaultWorkerPool().setWorkers(2);
    setEncodeWorkerStartFailureForTest(1);
    DifFrame frame(480000);
    std::fill(frame.bytes.begin(), frame.bytes.end(), 0x55);
    const vorn::Status status = encoder_->encode(frame, makePicture(1, Content::Busy), 1);
    EXPECT_FALSE(status.ok());
    EXPECT_EQ(status.message(), "Could not create Encode process");
    vorn::setNotifyHandler(old);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "Quintell|Could not create Encode process");
    EXPECT_EQ(frame.bytes[0], 0x55) << "no system data written";
}

// Rows that vary only from top to bottom, so that stretching and mirroring
// lines leave them as they are.
PictureBuffer rowPattern(int width, int height, bool upsideDown)
{
    PictureBuffer p(width, height);
    for (int y = 0; y < height; ++y) {
        const int v = 30 + (y * 7) % 190, c = 90 + (y * 3) % 80;
        uint8_t* row = p.memoryRow(upsideDown ? y : height - 1 - y);
        for (int x = 0; x < width; ++x) {
            row[2 * x] = static_cast<uint8_t>(v);
            row[2 * x + 1] = static_cast<uint8_t>(x & 1 ? 255 - c : c);
        }
    }
    return p;
}

TEST_F(EncoderTest, FullRasterAndFlipGoThroughTheStretchPass)
{
    for (VideoFormat code : {1, 2, 10}) {
        SCOPED_TRACE(code);
        const DvFormatInfo& f = *dvFormatInfo(code);
        PictureBuffer scratch;
        auto run = [&](const PictureBuffer& pic, bool flip) {
            DvEncoder encoder;
            DifFrame frame(static_cast<size_t>(f.bytesPerFrame));
            EXPECT_TRUE(encoder.encode(frame, scratch, pic, {pic.width, pic.height, flip}, code).ok());
            return frame.bytes;
        };
        const std::vector<uint8_t> coded = run(rowPattern(f.codedWidth, f.height, false), false);
        if (f.hd) {
            EXPECT_TRUE(run(rowPattern(f.fullWidth, f.height, false), false) == coded) << "full raster";
        }
        EXPECT_TRUE(run(rowPattern(f.codedWidth, f.height, true), true) == coded) << "flipped";
    }
}

TEST_F(EncoderTest, RejectsPicturesThatDoNotMatchTheFormat)
{
    DifFrame frame;
    PictureBuffer wrong(720, 576);
    EXPECT_FALSE(encoder_->encode(frame, wrong, 10).ok());
    EXPECT_FALSE(encoder_->encode(frame, makePicture(10, Content::Flat), 6).ok()) << "DV25 4:2:0 is not encoded";
    EXPECT_FALSE(encoder_->encode(frame, makePicture(10, Content::Flat), 0).ok());
    PictureBuffer scratch;
    const PictureBuffer ok = makePicture(10, Content::Flat);
    EXPECT_FALSE(encoder_->encode(frame, scratch, ok, {720, 480, false, 3}, 10).ok()) << "3 bytes per pixel";
    EXPECT_TRUE(frame.bytes.empty());
    EXPECT_TRUE(encoder_->encode(frame, scratch, ok, {720, 480, false, 2}, 10).ok());
    EXPECT_EQ(frame.size(), 120000u);
}

} // namespace
