// The two conversions to 24-bit bitmaps: values of the integer matrix (with
// clamping), which samples each scale takes, row order and the 180-degree turn,
// the size checks (every kernel variant against the plain one is in
// tests/foundation/kernel_registry_test.cpp).
#include "dv/ColourConversion.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

namespace vorn::dv {
namespace {

using Bgr = std::array<int, 3>;

Bgr bgrAt(const std::vector<uint8_t>& bitmap, ptrdiff_t pitch, int x, int row)
{
    const uint8_t* p = bitmap.data() + row * pitch + 3 * x;
    return {p[0], p[1], p[2]};
}

TEST(PackedToBgr, MatrixValuesWithClamping)
{
    struct Case {
        int y, cb, cr;
        Bgr expect;
    };
    // blue (75Y + 129Cb') >> 6, green (75Y - 25Cb' - 52Cr') >> 6, red (75Y + 102Cr') >> 6.
    const Case cases[] = {
        {128, 128, 128, {150, 150, 150}},
        {16, 128, 128, {18, 18, 18}},
        {235, 16, 240, {49, 228, 255}},   // red clamps at 255
        {0, 0, 255, {0, 0, 202}},         // blue and green clamp at 0
        {255, 255, 0, {255, 255, 94}},
        {81, 90, 240, {18, 18, 273}},
    };
    for (const Case& c : cases) {
        // 32 pixels of the same colour, so the wide kernels run too.
        std::vector<uint8_t> pic(64);
        for (int i = 0; i < 16; ++i) {
            pic[4 * i] = static_cast<uint8_t>(c.y);
            pic[4 * i + 1] = static_cast<uint8_t>(c.cb);
            pic[4 * i + 2] = static_cast<uint8_t>(c.y);
            pic[4 * i + 3] = static_cast<uint8_t>(c.cr);
        }
        Bgr expect = c.expect;
        for (int& v : expect)
            v = std::min(v, 255);
        for (SimdLevel level : supportedSimdLevels()) {
            std::vector<uint8_t> bmp(96);
            ASSERT_TRUE(packedToBgr(pic, 32, 1, 1, bmp, 96, level));
            for (int x = 0; x < 32; ++x)
                ASSERT_EQ(bgrAt(bmp, 96, x, 0), expect) << "Y " << c.y << " x " << x << " " << simdLevelName(level);
        }
    }
}

// A picture whose every sample tells where it is: luma = 8 * row + pixel,
// Cb = 100 + pair, Cr = 200 + row (so each chosen sample is recognisable).
std::vector<uint8_t> labelledPicture(int width, int height)
{
    std::vector<uint8_t> pic(static_cast<size_t>(2 * width * height));
    for (int r = 0; r < height; ++r)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = pic.data() + 2 * (r * width + x);
            p[0] = static_cast<uint8_t>(8 * r + x);
            p[1] = static_cast<uint8_t>(x & 1 ? 200 + r : 100 + x / 2);
        }
    return pic;
}

Bgr packedPixel(int y, int cb, int cr)
{
    std::vector<uint8_t> pic = {static_cast<uint8_t>(y), static_cast<uint8_t>(cb), static_cast<uint8_t>(y),
                                static_cast<uint8_t>(cr)};
    std::vector<uint8_t> bmp(6);
    EXPECT_TRUE(packedToBgr(pic, 2, 1, 1, bmp, 6, SimdLevel::Plain));
    return bgrAt(bmp, 6, 0, 0);
}

TEST(PackedToBgr, ScalesTakeTheStatedSamplesAndRows)
{
    const int w = 8, h = 8;
    const auto pic = labelledPicture(w, h);
    struct Case {
        int scale;
        int pixelStep; // source pixel of bitmap pixel x = x * pixelStep
    };
    for (const Case c : {Case{1, 1}, Case{2, 2}, Case{4, 4}}) {
        const int ow = w / c.scale, oh = h / c.scale;
        const ptrdiff_t pitch = 3 * ow + 4; // row padding stays untouched
        std::vector<uint8_t> bmp(static_cast<size_t>(pitch * oh), 0xAB);
        ASSERT_TRUE(packedToBgr(pic, w, h, c.scale, bmp, pitch));
        for (int r = 0; r < oh; ++r) {
            const int sr = r * c.scale; // the first of every `scale` rows, stored order kept
            for (int x = 0; x < ow; ++x) {
                const int sx = x * c.pixelStep;
                const Bgr expect = packedPixel(8 * sr + sx, 100 + sx / 2, 200 + sr);
                ASSERT_EQ(bgrAt(bmp, pitch, x, r), expect) << "scale " << c.scale << " x " << x << " row " << r;
            }
            for (ptrdiff_t b = 3 * ow; b < pitch; ++b)
                ASSERT_EQ(bmp[static_cast<size_t>(r * pitch + b)], 0xAB);
        }
    }
}

TEST(PackedToBgr, RefusesBadSizesWithoutWriting)
{
    std::vector<uint8_t> pic(2 * 16 * 4, 128);
    std::vector<uint8_t> bmp(3 * 16 * 4, 0x11);
    EXPECT_FALSE(packedToBgr(pic, 16, 4, 3, bmp, 48));                          // scale
    EXPECT_FALSE(packedToBgr(pic, 15, 4, 1, bmp, 48));                          // odd width
    EXPECT_FALSE(packedToBgr(pic, 16, 5, 1, bmp, 48));                          // picture too small
    EXPECT_FALSE(packedToBgr(pic, 16, 4, 1, std::span(bmp).first(100), 48));    // bitmap too small
    EXPECT_FALSE(packedToBgr(pic, 16, 4, 1, bmp, 40));                          // pitch below a row
    EXPECT_FALSE(packedToBgr(pic, 16, 0, 1, bmp, 48));
    for (uint8_t b : bmp)
        ASSERT_EQ(b, 0x11);
}

// Planar picture with recognisable samples: luma 4 * (16 * y + x), Cb 512 + 4 * cx
// - 100, Cr 512 + 4 * cy - 100 of the chroma sample (cx, cy).
std::vector<uint16_t> labelledPlanar(int w, int h, bool c422)
{
    std::vector<uint16_t> p(planarSamples(w, h, c422));
    const int cw = w / 2, ch = c422 ? h : h / 2;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            p[static_cast<size_t>(y * w + x)] = static_cast<uint16_t>(4 * (16 * y + x));
    uint16_t* cb = p.data() + w * h;
    uint16_t* cr = cb + cw * ch;
    for (int y = 0; y < ch; ++y)
        for (int x = 0; x < cw; ++x) {
            cb[y * cw + x] = static_cast<uint16_t>(412 + 40 * x);
            cr[y * cw + x] = static_cast<uint16_t>(412 + 40 * y);
        }
    return p;
}

Bgr planarPixel(int y, int cb, int cr)
{
    auto c = [](int v) { return std::clamp(v, 0, 255); };
    cb -= 512;
    cr -= 512;
    return {c((75 * y + 129 * cb) >> 8), c((75 * y - 25 * cb - 52 * cr) >> 8), c((75 * y + 102 * cr) >> 8)};
}

TEST(PlanarToBgr, SamplesChromaLayoutsScalesAndTurn)
{
    const int w = 16, h = 8;
    for (bool c422 : {true, false})
        for (int scale : {1, 2, 4}) {
            const auto planes = labelledPlanar(w, h, c422);
            const int ow = w / scale, oh = h / scale;
            const ptrdiff_t pitch = 3 * ow;
            std::vector<uint8_t> up(static_cast<size_t>(pitch * oh)), turned(up.size());
            ASSERT_TRUE(planarToBgr(planes, w, h, c422, scale, false, up, pitch));
            ASSERT_TRUE(planarToBgr(planes, w, h, c422, scale, true, turned, pitch));
            for (int r = 0; r < oh; ++r)
                for (int x = 0; x < ow; ++x) {
                    // Upright: the last bitmap row holds the top source row.
                    const int sy = scale * (oh - 1 - r), sx = scale * x;
                    const int cy = c422 ? sy : sy / 2;
                    const Bgr expect = planarPixel(4 * (16 * sy + sx), 412 + 40 * (sx / 2), 412 + 40 * cy);
                    ASSERT_EQ(bgrAt(up, pitch, x, r), expect) << c422 << " scale " << scale << " " << x << "," << r;
                    // Turned: the same samples rotated by 180 degrees.
                    ASSERT_EQ(bgrAt(turned, pitch, ow - 1 - x, oh - 1 - r), expect);
                }
        }
}

TEST(PlanarToBgr, RefusesBadSizesWithoutWriting)
{
    std::vector<uint16_t> planes(planarSamples(16, 8, false), 512);
    std::vector<uint8_t> bmp(3 * 16 * 8, 0x22);
    EXPECT_FALSE(planarToBgr(planes, 16, 8, true, 1, false, bmp, 48));  // 4:2:2 needs more samples
    EXPECT_FALSE(planarToBgr(planes, 16, 7, false, 1, false, bmp, 48)); // 4:2:0 with odd height
    EXPECT_FALSE(planarToBgr(planes, 16, 8, false, 0, false, bmp, 48));
    EXPECT_FALSE(planarToBgr(planes, 16, 8, false, 1, false, std::span(bmp).first(383), 48));
    for (uint8_t b : bmp)
        ASSERT_EQ(b, 0x22);
    EXPECT_TRUE(planarToBgr(planes, 16, 8, false, 1, false, bmp, 48));
}

} // namespace
} // namespace vorn::dv
