// Field operations of pulldown addition and removal (which slot ends up with
// which lines) and the conversion of 16-bit planar pictures to the packed layout.
#include "dv/PictureProcessing.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <vector>

namespace vorn::dv {
namespace {

// Every line of picture `tag` says where it came from: byte 0 the picture's
// tag, bytes 1-2 its line number.
struct Slots {
    PictureRaster raster;
    std::array<std::vector<uint8_t>, 5> pictures;
    std::vector<uint8_t> saved;
    uint8_t* ptr[5];

    explicit Slots(VideoFormat code) : raster(pictureRaster(code))
    {
        for (int s = 0; s < 5; ++s) {
            fill(pictures[s], s);
            ptr[s] = pictures[s].data();
        }
        fill(saved, 9);
    }
    void fill(std::vector<uint8_t>& pic, int tag) const
    {
        pic.assign(raster.bytes(), static_cast<uint8_t>(0x40 + tag));
        const size_t pitch = 2 * static_cast<size_t>(raster.width);
        for (int line = 0; line < raster.height; ++line) {
            pic[line * pitch + 1] = static_cast<uint8_t>(line >> 8);
            pic[line * pitch + 2] = static_cast<uint8_t>(line & 0xff);
        }
    }
    // Tag and line number of line `line` of a picture, or {-1, -1} when the
    // line is not one whole source line.
    std::pair<int, int> origin(const std::vector<uint8_t>& pic, int line) const
    {
        const size_t pitch = 2 * static_cast<size_t>(raster.width);
        const uint8_t* l = pic.data() + line * pitch;
        for (size_t i = 3; i < pitch; ++i)
            if (l[i] != l[0])
                return {-1, -1};
        return {l[0] - 0x40, (l[1] << 8) | l[2]};
    }
};

// Expected source of a line: picture tag and line number.
using Source = std::function<std::pair<int, int>(int line)>;
Source whole(int tag)
{
    return [tag](int line) { return std::make_pair(tag, line); };
}
// Lines of parity p from picture a, the others from picture b.
Source weave(int p, int a, int b)
{
    return [=](int line) { return std::make_pair((line & 1) == p ? a : b, line); };
}

void expectSlots(const Slots& s, const std::vector<Source>& expected, const Source& saved)
{
    for (int slot = 0; slot < 5; ++slot)
        for (int line = 0; line < s.raster.height; ++line)
            ASSERT_EQ(s.origin(s.pictures[slot], line), expected[slot](line)) << "slot " << slot << " line " << line;
    for (int line = 0; line < s.raster.height; ++line)
        ASSERT_EQ(s.origin(s.saved, line), saved(line)) << "saved line " << line;
}

TEST(FieldOperations, AddPulldown23And2332SlotContents)
{
    struct Case {
        VideoFormat code;
        bool advanced; // 2:3:3:2
        int parity;
    };
    const Case cases[] = {
        {10, false, 0}, {7, false, 0}, {1, false, 1}, {38, false, 1}, // 2:3: parity 1 for HD and AVC-Intra
        {1, true, 1},   {3, true, 0},  {10, true, 0}, {38, true, 0},  // 2:3:3:2: parity 1 for code 1 only
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "code " << c.code << (c.advanced ? " 2:3:3:2" : " 2:3"));
        Slots s(c.code);
        if (c.advanced) {
            AddPulldown2332(s.ptr, c.code);
            expectSlots(s, {whole(0), whole(1), weave(c.parity, 1, 2), whole(2), whole(3)}, whole(9));
        } else {
            AddPulldown23(s.ptr, c.code);
            expectSlots(s, {whole(0), whole(1), weave(c.parity, 1, 2), weave(c.parity, 2, 3), whole(3)}, whole(9));
        }
    }
}

TEST(FieldOperations, RemovePulldown32RepairsEachPositionOfTheMixedPair)
{
    struct Case {
        const char* name;
        VideoFormat code;
        bool rotate;
        int64_t first;
        std::array<int, 5> flags;
        int k;
        int parity; // lines replaced
    };
    const Case cases[] = {
        {"pair 2-3, HD", 1, false, 5, {2, 2, 1, 1, 0}, 2, 0},
        {"no pair", 1, false, 5, {0, 0, 0, 0, 0}, 0, 0},
        {"all mixed: first pair", 1, false, 5, {1, 1, 1, 1, 1}, 0, 0},
        {"pair 0-1, SD", 10, false, 5, {1, 1, 0, 0, 0}, 0, 1},
        {"pair 1-2, SD rotated", 10, true, 5, {0, 1, 1, 0, 0}, 1, 0},
        {"pair 3-4, AVC-Intra", 38, false, 5, {0, 0, 2, 1, 1}, 3, 0},
        {"pair 3-4, HD rotated", 3, true, 0, {0, 0, 0, 1, 1}, 3, 1},
        {"pair 4-0, later group, HD", 1, false, 10, {1, 0, 0, 0, 1}, 4, 0},
        {"pair 4-0, later group, SD", 10, false, 10, {1, 0, 0, 0, 1}, 4, 1},
        {"pair 4-0, first group, parity 0", 1, false, 0, {1, 0, 0, 0, 1}, 4, 0},
        {"pair 4-0, first group, parity 1", 10, false, 0, {1, 0, 0, 0, 1}, 4, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Slots s(c.code);
        int kept[4] = {-1, -1, -1, -1};
        EXPECT_EQ(RemovePulldown32(s.saved.data(), c.first, s.ptr, c.code, c.rotate, c.flags.data(), kept), c.k);
        std::vector<int> expectKept;
        for (int i = 0; i < 5; ++i)
            if (i != c.k)
                expectKept.push_back(i);
        EXPECT_EQ(std::vector<int>(kept, kept + 4), expectKept);

        std::vector<Source> expected = {whole(0), whole(1), whole(2), whole(3), whole(4)};
        if (c.k < 4) {
            expected[c.k + 1] = weave(c.parity, c.k, c.k + 1);
        } else if (c.first != 0) {
            expected[0] = weave(c.parity, 9, 0);
        } else {
            // Line doubling: parity 1 copies each even line down, parity 0 each odd line up.
            const int p = c.parity;
            expected[0] = [p](int line) {
                if ((line & 1) != p)
                    return std::make_pair(0, line);
                return std::make_pair(0, p == 1 ? line - 1 : line + 1);
            };
        }
        // The saved picture is the group's slot 4 as it was before any repair.
        expectSlots(s, expected, whole(4));
    }
}

TEST(FieldOperations, RasterOfEveryCode)
{
    struct Case {
        VideoFormat code;
        int width, height;
    };
    const Case cases[] = {{1, 1280, 1080}, {2, 960, 720},  {3, 1440, 1080}, {4, 960, 720},  {5, 720, 480},
                          {6, 720, 576},   {7, 720, 576},  {8, 720, 480},   {10, 720, 480}, {32, 1440, 1080},
                          {35, 1440, 1080}, {36, 960, 720}, {37, 960, 720},  {38, 1920, 1080}, {41, 1920, 1080},
                          {42, 1280, 720}, {43, 1280, 720}, {0, 0, 0},       {11, 0, 0},     {44, 0, 0}};
    for (const Case& c : cases) {
        const PictureRaster r = pictureRaster(c.code);
        EXPECT_EQ(r.width, c.width) << c.code;
        EXPECT_EQ(r.height, c.height) << c.code;
    }
}

// 16-bit planar picture of width x height with the given chroma rows.
struct Planar {
    int width, height, chromaRows;
    std::vector<uint16_t> samples;
    Planar(int w, int h, int rows) : width(w), height(h), chromaRows(rows), samples(w * h + w * rows, 0) {}
    uint16_t& y(int x, int line) { return samples[line * width + x]; }
    uint16_t& cb(int x, int row) { return samples[width * height + row * width / 2 + x]; }
    uint16_t& cr(int x, int row) { return samples[width * height + width / 2 * chromaRows + row * width / 2 + x]; }
};

TEST(PlanarConversion, RoundingClampRowOrderAndRotation)
{
    // Luma values and their 8-bit results: (v + 2) / 4 clamped to 255.
    const std::pair<uint16_t, uint8_t> levels[] = {{0, 0},     {1, 0},      {2, 1},      {513, 128},
                                                   {1021, 255}, {1022, 255}, {1023, 255}, {65535, 255}};
    for (const bool is420 : {false, true}) {
        SCOPED_TRACE(is420 ? "4:2:0" : "4:2:2");
        const int w = 8, h = 4;
        Planar p(w, h, is420 ? h / 2 : h);
        for (int line = 0; line < h; ++line)
            for (int x = 0; x < w; ++x)
                p.y(x, line) = levels[x].first + (x < 2 ? 4 * line : 0);
        for (int row = 0; row < p.chromaRows; ++row)
            for (int x = 0; x < w / 2; ++x) {
                p.cb(x, row) = static_cast<uint16_t>(4 * (10 * row + x));
                p.cr(x, row) = static_cast<uint16_t>(4 * (100 + 10 * row + x));
            }
        auto lumaOut = [&](int x, int line) { return x < 2 ? static_cast<uint8_t>(levels[x].second + line) : levels[x].second; };
        auto chromaRow = [&](int line) { return is420 ? line / 2 : line; };
        for (const bool rotate : {false, true}) {
            SCOPED_TRACE(rotate ? "rotated" : "upright");
            std::vector<uint8_t> out(2 * w * h, 0xee);
            if (is420)
                ConvertPlanarPicture420(p.samples.data(), out.data(), w, h, rotate);
            else
                ConvertPlanarPicture422(p.samples.data(), out.data(), w, h, rotate);
            for (int line = 0; line < h; ++line) {
                const uint8_t* row = out.data() + 2 * w * (rotate ? line : h - 1 - line);
                for (int x = 0; x < w; ++x) {
                    // Rotated: pixel x is shown at w - 1 - x, with the chroma byte of that position.
                    const int at = rotate ? w - 1 - x : x;
                    EXPECT_EQ(row[2 * at], lumaOut(x, line)) << "line " << line << " x " << x;
                    const int c = x / 2, cr = chromaRow(line);
                    EXPECT_EQ(row[2 * at + 1], (at & 1) ? 100 + 10 * cr + c : 10 * cr + c) << "line " << line << " x " << x;
                }
            }
        }
    }
    // The code chooses the variant; other codes are refused.
    Planar p(4, 2, 2);
    std::vector<uint8_t> out(16, 0xee);
    EXPECT_TRUE(ConvertPlanarPicture(p.samples.data(), out.data(), 4, 2, false, 38));
    EXPECT_TRUE(ConvertPlanarPicture(p.samples.data(), out.data(), 4, 2, false, 32));
    EXPECT_FALSE(ConvertPlanarPicture(p.samples.data(), out.data(), 4, 2, false, 10));
}

} // namespace
} // namespace vorn::dv
