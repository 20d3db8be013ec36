// Format change and noise reduction: exact fixed-point results, the crop band,
// what the noise filter leaves alone, and the allocation failure message.
#include "dv/PictureProcessing.h"

#include "foundation/Notifier.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>
#include <vector>

namespace vorn::dv {
namespace {

struct Picture {
    PictureRaster r;
    std::vector<uint8_t> bytes;
    explicit Picture(VideoFormat code, size_t capacity = 0) : r(pictureRaster(code))
    {
        bytes.assign(std::max(capacity, r.bytes()), 0);
    }
    uint8_t* row(int line) { return bytes.data() + 2 * static_cast<size_t>(r.width) * line; }
    uint8_t& luma(int x, int line) { return row(line)[2 * x]; }
    uint8_t& cb(int pair, int line) { return row(line)[4 * pair + 1]; }
    uint8_t& cr(int pair, int line) { return row(line)[4 * pair + 3]; }
};

TEST(ChangeFormat, TruncatingArithmeticHorizontallyAndVertically)
{
    // 720 x 480 (code 10) -> 1280 x 1080 (code 1): step X = 36864, step Y = 29127.
    Picture cols(10, kMaxPictureBytes);
    for (int line = 0; line < 480; ++line)
        for (int x = 0; x < 720; ++x) {
            cols.luma(x, line) = (x & 1) ? 0 : 100;
            if ((x & 1) == 0) {
                cols.cb(x / 2, line) = ((x / 2) & 1) ? 0 : 100;
                cols.cr(x / 2, line) = ((x / 2) & 1) ? 100 : 0;
            }
        }
    ASSERT_TRUE(ChangeFormat(cols.bytes.data(), 1, 10, false));
    Picture out(1);
    std::copy(cols.bytes.begin(), cols.bytes.begin() + out.r.bytes(), out.bytes.begin());
    for (int line : {0, 1, 700, 1079}) {
        // k = 1: 100 + (-100 * 36864 >> 16) = 100 - 57 (the shift rounds down); k = 2: 0 + 12.
        EXPECT_EQ(out.luma(0, line), 100);
        EXPECT_EQ(out.luma(1, line), 43);
        EXPECT_EQ(out.luma(2, line), 12);
        EXPECT_EQ(out.cb(1, line), 43);
        EXPECT_EQ(out.cr(1, line), 56);
        // The right edge repeats the last sample: 1279 * 36864 >> 16 = 719.
        EXPECT_EQ(out.luma(1279, line), 0);
    }

    Picture rows(10, kMaxPictureBytes);
    for (int line = 0; line < 480; ++line)
        std::fill(rows.row(line), rows.row(line) + 1440, (line & 1) ? 0 : 100);
    ASSERT_TRUE(ChangeFormat(rows.bytes.data(), 1, 10, false));
    std::copy(rows.bytes.begin(), rows.bytes.begin() + out.r.bytes(), out.bytes.begin());
    const std::pair<int, int> expect[] = {{0, 100}, {1, 55}, {2, 11}, {1079, 0}};
    for (auto [line, value] : expect) {
        EXPECT_EQ(out.luma(17, line), value) << line;
        EXPECT_EQ(out.cr(5, line), value) << line;
    }
}

TEST(ChangeFormat, CropUsesTheCentredBand)
{
    struct Case {
        VideoFormat source, target;
        int first, last;
    };
    const Case cases[] = {{10, 1, 56, 423}, {8, 3, 56, 423}, {9, 3, 67, 508}, {7, 1, 67, 508}, {9, 2, 67, 508}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.source << " -> " << c.target);
        const LineBand band = formatChangeBand(c.source, true);
        EXPECT_EQ(band.first, c.first);
        EXPECT_EQ(band.first + band.count - 1, c.last);
        Picture p(c.source, kMaxPictureBytes);
        // Outside the band 0, inside 200, its first line 100 and its last 150.
        for (int line = 0; line < p.r.height; ++line) {
            const uint8_t v = line < c.first || line > c.last ? 0 : line == c.first ? 100 : line == c.last ? 150 : 200;
            std::fill(p.row(line), p.row(line) + 2 * p.r.width, v);
        }
        ASSERT_TRUE(ChangeFormat(p.bytes.data(), c.target, c.source, true));
        Picture out(c.target);
        std::copy(p.bytes.begin(), p.bytes.begin() + out.r.bytes(), out.bytes.begin());
        for (int x = 0; x < out.r.width; x += 97) {
            EXPECT_EQ(out.luma(x, 0), 100);
            EXPECT_EQ(out.luma(x, out.r.height - 1), 150);
        }
        for (int line = 0; line < out.r.height; ++line)
            ASSERT_GE(out.luma(out.r.width / 2, line), 100) << line;
    }
    // No crop for HD sources or without the flag: all lines.
    EXPECT_EQ(formatChangeBand(1, true).count, 1080);
    EXPECT_EQ(formatChangeBand(10, false).count, 480);
    EXPECT_FALSE(ChangeFormat(std::vector<uint8_t>(16).data(), 1, 11, false));
}

TEST(ChangeFormat, EveryPairOfRastersKeepsAFlatPicture)
{
    // Each pair of codes (DV family and AVC-Intra), with and without the crop:
    // a flat picture stays flat, exactly, over the whole target raster.
    std::vector<VideoFormat> codes;
    for (VideoFormat c = 0; c < 48; ++c)
        if (pictureRaster(c).width != 0)
            codes.push_back(c);
    ASSERT_EQ(codes.size(), 22u);
    std::vector<uint8_t> flat(kMaxPictureBytes), picture(kMaxPictureBytes);
    const uint8_t pixelPair[4] = {77, 140, 77, 200};
    for (size_t i = 0; i < flat.size(); ++i)
        flat[i] = pixelPair[i % 4];
    for (VideoFormat source : codes)
        for (VideoFormat target : codes)
            for (bool crop : {false, true}) {
                if (crop && formatChangeBand(source, true).count == pictureRaster(source).height)
                    continue; // the crop applies to SD sources only
                std::copy(flat.begin(), flat.begin() + std::ptrdiff_t(pictureRaster(source).bytes()), picture.begin());
                ASSERT_TRUE(ChangeFormat(picture.data(), target, source, crop));
                const size_t n = pictureRaster(target).bytes();
                EXPECT_TRUE(std::equal(picture.begin(), picture.begin() + std::ptrdiff_t(n), flat.begin()))
                    << source << " -> " << target << (crop ? " cropped" : "");
            }
}

// An interlaced frame holds two pictures: scaled by fields, every output line
// comes from one source field only, the fields keep their place in the
// picture, and lines the map leaves alone stay as they were.
TEST(ChangeFormatLines, EachOutputParityFromItsOwnSourceLines)
{
    constexpr uint8_t kDark = 40, kBright = 200, kUntouched = 7;
    struct Case {
        const char* name;
        VideoFormat source, target;
        bool crop;
        LineSources lines;
        int want[2];   // luma of the output lines of parity 0 and 1; -1: blended, -2: untouched
    };
    const Case cases[] = {
        {"1080i to 480i, first field to first field", 1, 8, false, {{1, 0}}, {kBright, kDark}},
        {"480i to 1080i", 10, 1, false, {{1, 0}}, {kBright, kDark}},
        {"576i to 1080i50 keeping parities", 9, 3, false, {{0, 1}}, {kDark, kBright}},
        {"cropped 576i: the band starts on an odd line, parities stay the picture's", 9, 1, true, {{1, 0}},
         {kBright, kDark}},
        {"1080i field 1 to a 720p frame", 1, 2, false, {{1, 1}}, {kBright, kBright}},
        {"576i field 0 to a 720p50 frame", 7, 4, false, {{0, 0}}, {kDark, kDark}},
        {"720p frame into the parity-1 lines only", 2, 1, false, {{kNoLines, kAllLines}}, {-2, -1}},
        {"whole frames blend the fields", 1, 8, false, {{kAllLines, kAllLines}}, {-1, -1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Picture in(c.source, kMaxPictureBytes);
        for (int line = 0; line < in.r.height; ++line)
            std::fill(in.row(line), in.row(line) + 2 * in.r.width, (line % 2) ? kBright : kDark);
        Picture out(c.target, kMaxPictureBytes);
        std::fill(out.bytes.begin(), out.bytes.end(), kUntouched);
        ASSERT_TRUE(ChangeFormatLines(out.bytes.data(), c.target, in.bytes.data(), c.source, c.crop, c.lines));
        for (int q = 0; q < 2; ++q) {
            bool blended = false;
            for (int line = q; line < out.r.height; line += 2)
                for (int x = 0; x < out.r.width; x += 37) {
                    const int v = out.luma(x, line);
                    if (c.want[q] >= 0) {
                        ASSERT_EQ(v, c.want[q]) << "line " << line;
                    } else if (c.want[q] == -2) {
                        ASSERT_EQ(v, kUntouched) << "line " << line;
                    }
                    blended = blended || (v != kDark && v != kBright);
                }
            if (c.want[q] == -1) {
                EXPECT_TRUE(blended) << "parity " << q;
            }
        }

        // In place gives the same picture.
        if (c.want[0] != -2) {
            std::vector<uint8_t> twice(in.bytes);
            ASSERT_TRUE(ChangeFormatLines(twice.data(), c.target, twice.data(), c.source, c.crop, c.lines));
            EXPECT_TRUE(std::equal(out.bytes.begin(), out.bytes.begin() + std::ptrdiff_t(out.r.bytes()), twice.begin()));
        }
    }
    EXPECT_FALSE(ChangeFormatLines(std::vector<uint8_t>(16).data(), 1, std::vector<uint8_t>(16).data(), 11, false, {}));
    EXPECT_FALSE(ChangeFormatLines(std::vector<uint8_t>(kMaxPictureBytes).data(), 1,
                                   std::vector<uint8_t>(kMaxPictureBytes).data(), 10, false, {{2, 0}}));
}

TEST(ChangeFormatLines, FieldsKeepTheirPlaceInThePicture)
{
    // A vertical ramp (the same in both fields) scaled by fields is the ramp
    // scaled whole: each field is sampled where its own lines lie. A field
    // treated as a picture of its own would sit up to a line off.
    struct Case {
        VideoFormat source, target;
        LineSources lines;
    };
    const Case cases[] = {{10, 1, {{1, 0}}}, {1, 8, {{1, 0}}}, {8, 1, {{0, 1}}}, {1, 2, {{1, 1}}}, {1, 2, {{0, 0}}},
                          {9, 4, {{1, 1}}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.source << " -> " << c.target << " from " << c.lines.fromParity[0]
                                        << "/" << c.lines.fromParity[1]);
        // Ramps of 2 levels a line, 100 lines long: half a field line off is a level off.
        Picture in(c.source, kMaxPictureBytes);
        for (int line = 0; line < in.r.height; ++line)
            std::fill(in.row(line), in.row(line) + 2 * in.r.width, static_cast<uint8_t>(20 + 2 * (line % 100)));
        Picture whole(c.target, kMaxPictureBytes), fields(c.target, kMaxPictureBytes);
        ASSERT_TRUE(ChangeFormatLines(whole.bytes.data(), c.target, in.bytes.data(), c.source, false, {}));
        ASSERT_TRUE(ChangeFormatLines(fields.bytes.data(), c.target, in.bytes.data(), c.source, false, c.lines));
        // Away from the edges, where a field's last line stands in for the one
        // beyond, and from the ends of the ramps.
        int compared = 0;
        for (int line = 2; line < whole.r.height - 2; ++line) {
            const double at = static_cast<double>(line) * in.r.height / whole.r.height;
            const double inRamp = at - 100.0 * static_cast<int>(at / 100.0);
            if (inRamp < 4.0 || inRamp > 95.0 || at > in.r.height - 4)
                continue;
            ASSERT_NEAR(fields.luma(11, line), whole.luma(11, line), 1) << "line " << line;
            ++compared;
        }
        EXPECT_GT(compared, whole.r.height / 2);
    }
}

class ReduceNoiseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        previous_ = setNotifyHandler([this](const std::string& t, const std::string& m) { messages_.push_back(t + ": " + m); });
    }
    void TearDown() override { setNotifyHandler(previous_); }
    std::vector<std::string> messages_;
    NotifyHandler previous_;
    NoiseFilter filter_;
};

TEST_F(ReduceNoiseTest, FirstFrameChromaAndBordersStayAndStaticImpulsesBecomeTheMean)
{
    // Flat luma 100 with impulses 3 pixels apart; random chroma.
    const VideoFormat code = 10;
    Picture src(code), dst(code);
    std::mt19937 rng(7);
    for (size_t i = 1; i < src.bytes.size(); i += 2)
        src.bytes[i] = static_cast<uint8_t>(rng());
    for (int line = 0; line < 480; ++line)
        for (int x = 0; x < 720; ++x)
            src.luma(x, line) = (line % 3 == 1 && x % 3 == 1) ? static_cast<uint8_t>(rng()) : 100;
    // Frame 0 only fills the history.
    ASSERT_TRUE(filter_.apply(dst.bytes.data(), src.bytes.data(), code, 0, true).ok());
    EXPECT_EQ(dst.bytes, src.bytes);
    for (int frame = 1; frame <= 3; ++frame) {
        ASSERT_TRUE(filter_.apply(dst.bytes.data(), src.bytes.data(), code, frame, true).ok());
        for (size_t i = 1; i < src.bytes.size(); i += 2)
            ASSERT_EQ(dst.bytes[i], src.bytes[i]) << "chroma byte " << i;
        for (int x = 0; x < 720; ++x) {
            ASSERT_EQ(dst.luma(x, 0), src.luma(x, 0));
            ASSERT_EQ(dst.luma(x, 479), src.luma(x, 479));
        }
        for (int line = 0; line < 480; ++line) {
            ASSERT_EQ(dst.luma(0, line), src.luma(0, line));
            ASSERT_EQ(dst.luma(719, line), src.luma(719, line));
        }
        // An impulse has no activity around it: it becomes the mean of its 3x3 neighbourhood.
        for (int line = 1; line < 479; line += 3)
            for (int x = 1; x < 719; x += 3)
                ASSERT_EQ(dst.luma(x, line), (800 + src.luma(x, line)) / 9) << x << "," << line;
    }
    // Off: a plain copy.
    ASSERT_TRUE(filter_.apply(dst.bytes.data(), src.bytes.data(), code, 4, false).ok());
    EXPECT_EQ(dst.bytes, src.bytes);
}

TEST_F(ReduceNoiseTest, FlatAreasAverageWithThePreviousFrameUnlessTheMeanMoved)
{
    struct Case {
        int previous, current, expected;
    };
    // t = 64 |mc - mh| limited to 256; out = ((hs + cs + 1) / 2 (256 - t) + t cs + 128) / 256.
    const Case cases[] = {{102, 100, 101}, {101, 100, 101}, {99, 100, 100}, {104, 100, 100}, {100, 100, 100}};
    for (const Case& c : cases) {
        Picture prev(38), cur(38), dst(38);
        std::fill(prev.bytes.begin(), prev.bytes.end(), static_cast<uint8_t>(c.previous));
        std::fill(cur.bytes.begin(), cur.bytes.end(), static_cast<uint8_t>(c.current));
        ASSERT_TRUE(filter_.apply(dst.bytes.data(), prev.bytes.data(), 38, 0, true).ok());
        ASSERT_TRUE(filter_.apply(dst.bytes.data(), cur.bytes.data(), 38, 1, true).ok());
        EXPECT_EQ(dst.luma(960, 540), c.expected) << c.previous << " -> " << c.current;
        EXPECT_EQ(dst.luma(1918, 1078), c.expected);
        EXPECT_EQ(dst.luma(1919, 1078), c.current);
    }
    // A frame of another size than the history's starts the history again.
    Picture sd(10), sdOut(10);
    std::fill(sd.bytes.begin(), sd.bytes.end(), 50);
    ASSERT_TRUE(filter_.apply(sdOut.bytes.data(), sd.bytes.data(), 10, 7, true).ok());
    EXPECT_EQ(sdOut.bytes, sd.bytes);
    // In place gives the same as into another buffer.
    Picture a(10), b(10), out(10), scratch(10);
    std::mt19937 rng(3);
    for (auto& v : a.bytes)
        v = static_cast<uint8_t>(rng() % 8 + 60);
    b.bytes = a.bytes;
    ASSERT_TRUE(filter_.apply(scratch.bytes.data(), sd.bytes.data(), 10, 0, true).ok());
    ASSERT_TRUE(filter_.apply(out.bytes.data(), a.bytes.data(), 10, 8, true).ok());
    EXPECT_NE(out.bytes, a.bytes);
    ASSERT_TRUE(filter_.apply(scratch.bytes.data(), sd.bytes.data(), 10, 0, true).ok());
    ASSERT_TRUE(filter_.apply(b.bytes.data(), b.bytes.data(), 10, 8, true).ok());
    EXPECT_EQ(b.bytes, out.bytes);
    EXPECT_TRUE(messages_.empty());
}

TEST_F(ReduceNoiseTest, FiltersKeepTheirOwnHistory)
{
    // Two clips filtered frame by frame in turn give what each gives alone.
    std::mt19937 rng(11);
    auto noisy = [&](int level) {
        Picture p(10);
        for (auto& v : p.bytes)
            v = static_cast<uint8_t>(level + static_cast<int>(rng() % 8));
        return p;
    };
    const Picture clips[2][2] = {{noisy(60), noisy(60)}, {noisy(140), noisy(140)}};
    Picture alone[2][2] = {{Picture(10), Picture(10)}, {Picture(10), Picture(10)}};
    Picture together[2][2] = {{Picture(10), Picture(10)}, {Picture(10), Picture(10)}};
    for (int c = 0; c < 2; ++c) {
        NoiseFilter filter;
        for (int f = 0; f < 2; ++f)
            ASSERT_TRUE(filter.apply(alone[c][f].bytes.data(), clips[c][f].bytes.data(), 10, f, true).ok());
    }
    NoiseFilter filters[2];
    for (int f = 0; f < 2; ++f)
        for (int c = 0; c < 2; ++c)
            ASSERT_TRUE(filters[c].apply(together[c][f].bytes.data(), clips[c][f].bytes.data(), 10, f, true).ok());
    for (int c = 0; c < 2; ++c) {
        EXPECT_NE(alone[c][1].bytes, clips[c][1].bytes) << "the second frame is filtered";
        EXPECT_EQ(together[c][1].bytes, alone[c][1].bytes) << "clip " << c;
    }
}

TEST_F(ReduceNoiseTest, HistoryAllocationFailureLeavesTheDestination)
{
    Picture src(10), dst(10);
    std::fill(src.bytes.begin(), src.bytes.end(), 80);
    std::fill(dst.bytes.begin(), dst.bytes.end(), 7);
    NoiseFilter failing({.failFirstAllocation = true});
    const Status status = failing.apply(dst.bytes.data(), src.bytes.data(), 10, 0, true);
    EXPECT_FALSE(status.ok());
    EXPECT_EQ(status.message(), "Could not allocate Quintell Vorn history buffer");
    EXPECT_EQ(status.systemError(), ENOMEM);
    EXPECT_TRUE(messages_.empty()) << "the caller shows the message";
    EXPECT_TRUE(std::all_of(dst.bytes.begin(), dst.bytes.end(), [](uint8_t v) { return v == 7; }));
    // The next call allocates again and works.
    EXPECT_TRUE(failing.apply(dst.bytes.data(), src.bytes.data(), 10, 0, true).ok());
    EXPECT_EQ(dst.bytes, src.bytes);
}

} // namespace
} // namespace vorn::dv
