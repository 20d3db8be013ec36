// Every SIMD level's picture kernels against the plain reference on random
// input: a table of kernels x row lengths x kinds of content, bit for bit,
// with guard bytes around every output to catch writes past the row.
#include "dv/CodecTables.h"
#include "foundation/WorkerPool.h"
#include "dv/PictureKernels.h"
#include "dv/Stretch.h"

#include "foundation/Notifier.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

namespace vorn::dv {
namespace {

constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xa5;

// Random bytes of one of three kinds: uniform, a smooth level with small noise
// (the noise filter's interesting range), or extremes only (clamps, saturation).
std::vector<uint8_t> randomBytes(std::mt19937& rng, size_t n, int kind, int level = 128)
{
    std::vector<uint8_t> v(n);
    for (auto& b : v) {
        switch (kind) {
        case 0: b = static_cast<uint8_t>(rng()); break;
        case 1: b = static_cast<uint8_t>(std::clamp(level + static_cast<int>(rng() % 9) - 4, 0, 255)); break;
        default: b = (rng() & 1) ? 255 : 0; break;
        }
    }
    return v;
}

// Output buffer with guard bytes on both sides.
struct Guarded {
    std::vector<uint8_t> bytes;
    explicit Guarded(size_t n) : bytes(n + 2 * kGuard, kGuardByte) {}
    uint8_t* data() { return bytes.data() + kGuard; }
};

// One kernel run: fills `out` using the kernels of one level from inputs made
// with `seed`; the same seed gives the same inputs for every level.
struct KernelCase {
    std::string name;
    std::function<Guarded(const PictureKernels&, uint32_t seed)> run;
};

std::vector<KernelCase> kernelCases()
{
    std::vector<KernelCase> cases;
    for (int pairs : {1, 3, 4, 5, 7, 8, 9, 17, 360, 480, 960}) {
        cases.push_back({"mirror " + std::to_string(pairs), [pairs](const PictureKernels& k, uint32_t seed) {
                             std::mt19937 rng(seed);
                             const auto src = randomBytes(rng, 4 * pairs, seed % 3);
                             Guarded out(4 * pairs);
                             k.mirror(out.data(), src.data(), pairs);
                             return out;
                         }});
    }
    for (int groups : {1, 2, 3, 4, 5, 7, 8, 9, 160, 240, 320}) {
        cases.push_back({"stretch2to3 " + std::to_string(groups), [groups](const PictureKernels& k, uint32_t seed) {
                             std::mt19937 rng(seed);
                             const auto src = randomBytes(rng, 8 * groups, seed % 3);
                             Guarded out(12 * groups);
                             k.stretch2to3(out.data(), src.data(), groups);
                             return out;
                         }});
        cases.push_back({"stretch3to4 " + std::to_string(groups), [groups](const PictureKernels& k, uint32_t seed) {
                             std::mt19937 rng(seed);
                             const auto src = randomBytes(rng, 12 * groups, seed % 3);
                             Guarded out(16 * groups);
                             k.stretch3to4(out.data(), src.data(), groups);
                             return out;
                         }});
    }
    for (int width : {2, 14, 16, 18, 30, 32, 34, 66, 960, 1920}) {
        cases.push_back({"packPlanarRow " + std::to_string(width), [width](const PictureKernels& k, uint32_t seed) {
                             std::mt19937 rng(seed);
                             // Mostly the 10-bit range; every third seed the whole 16-bit range.
                             const uint32_t range = seed % 3 == 2 ? 65536 : 1024;
                             std::vector<uint16_t> y(width), cb(width / 2), cr(width / 2);
                             for (auto* plane : {&y, &cb, &cr})
                                 for (auto& v : *plane)
                                     v = static_cast<uint16_t>(rng() % range);
                             if (seed % 3 == 2)
                                 y[0] = 65535;
                             Guarded out(2 * width);
                             k.packPlanarRow(out.data(), y.data(), cb.data(), cr.data(), width);
                             return out;
                         }});
    }
    for (int bytes : {1, 15, 16, 17, 31, 32, 33, 100, 1440, 3840}) {
        cases.push_back({"lerpRows " + std::to_string(bytes), [bytes](const PictureKernels& k, uint32_t seed) {
                             std::mt19937 rng(seed);
                             const auto a = randomBytes(rng, bytes, seed % 3);
                             const auto b = randomBytes(rng, bytes, (seed + 1) % 3);
                             const uint32_t fixed[] = {0, 1, 32767, 32768, 32769, 65535};
                             const uint32_t f = seed % 4 == 0 ? fixed[(seed / 4) % 6] : rng() & 0xffff;
                             Guarded out(bytes);
                             k.lerpRows(out.data(), a.data(), b.data(), f, bytes);
                             return out;
                         }});
    }
    const std::pair<int, int> rescales[] = {{720, 1280}, {720, 1920}, {1920, 720}, {1440, 1280}, {960, 720},
                                            {1280, 1920}, {720, 960},  {16, 34},    {34, 16},    {4, 64}};
    for (auto [from, to] : rescales) {
        cases.push_back({"resampleLine " + std::to_string(from) + "->" + std::to_string(to),
                         [from, to](const PictureKernels& k, uint32_t seed) {
                             std::mt19937 rng(seed);
                             const auto src = randomBytes(rng, 2 * from, seed % 3);
                             // Sampling positions of the 16.16 step, as the format change makes them.
                             const uint32_t step = static_cast<uint32_t>((uint64_t(from) << 16) / to);
                             std::vector<int32_t> li(to), lf(to), ci(to / 2), cf(to / 2);
                             ResampleSteps s;
                             for (int n = 0; n < to; ++n) {
                                 const uint32_t p = uint32_t(n) * step;
                                 li[n] = std::min(int(p >> 16), from - 1);
                                 lf[n] = int32_t(p & 0xffff);
                                 if (li[n] < from - 1) s.lumaSafe = n + 1;
                                 if (n < to / 2) {
                                     ci[n] = std::min(int(p >> 16), from / 2 - 1);
                                     cf[n] = lf[n];
                                     if (ci[n] < from / 2 - 1) s.chromaSafe = n + 1;
                                 }
                             }
                             s.lumaIndex = li.data();
                             s.lumaFrac = lf.data();
                             s.lumaCount = to;
                             s.chromaIndex = ci.data();
                             s.chromaFrac = cf.data();
                             s.chromaCount = to / 2;
                             s.sourceWidth = from;
                             Guarded out(2 * to);
                             k.resampleLine(out.data(), src.data(), s);
                             return out;
                         }});
    }
    for (int width : {3, 9, 10, 11, 17, 18, 19, 33, 34, 720, 1920}) {
        cases.push_back({"noiseRow " + std::to_string(width), [width](const PictureKernels& k, uint32_t seed) {
                             std::mt19937 rng(seed);
                             const int kind = seed % 3;
                             const int level = static_cast<int>(rng() % 256);
                             // History: the same kind of content, near the level or far from it.
                             const int histLevel = (seed & 4) ? level : static_cast<int>(rng() % 256);
                             std::vector<uint8_t> rows[6];
                             for (int r = 0; r < 6; ++r)
                                 rows[r] = randomBytes(rng, 2 * width, kind, r < 3 ? level : histLevel);
                             const uint8_t* cur[3] = {rows[0].data(), rows[1].data(), rows[2].data()};
                             const uint8_t* hist[3] = {rows[3].data(), rows[4].data(), rows[5].data()};
                             Guarded out(2 * width);
                             std::copy(rows[1].begin(), rows[1].end(), out.data());
                             k.noiseRow(out.data(), cur, hist, width);
                             return out;
                         }});
    }
    return cases;
}

TEST(PictureKernels, EveryLevelMatchesThePlainReference)
{
    const PictureKernels& plain = pictureKernels(SimdLevel::Plain);
    const auto cases = kernelCases();
    for (SimdLevel level : supportedSimdLevels()) {
        SCOPED_TRACE(simdLevelName(level));
        const PictureKernels& k = pictureKernels(level);
        for (const KernelCase& c : cases) {
            for (uint32_t seed = 1; seed <= 24; ++seed) {
                const Guarded expect = c.run(plain, seed);
                const Guarded got = c.run(k, seed);
                ASSERT_EQ(got.bytes, expect.bytes) << c.name << " seed " << seed;
            }
        }
    }
}

TEST(PictureKernels, ReferenceWritesExactlyItsOutput)
{
    // Code 1: 320 groups of 2 pairs become exactly 1920 pixels (3840 bytes);
    // every group's middle pair repeats Cb0 and takes Cr1.
    std::mt19937 rng(11);
    const auto src = randomBytes(rng, 2 * 1280, 0);
    for (SimdLevel level : supportedSimdLevels()) {
        SCOPED_TRACE(simdLevelName(level));
        Guarded out(3840);
        pictureKernels(level).stretch2to3(out.data(), src.data(), 320);
        for (size_t i = 0; i < kGuard; ++i) {
            ASSERT_EQ(out.bytes[i], kGuardByte);
            ASSERT_EQ(out.bytes[kGuard + 3840 + i], kGuardByte);
        }
        for (int g = 0; g < 320; ++g) {
            EXPECT_EQ(out.data()[12 * g + 5], src[8 * g + 1]); // Cb0
            EXPECT_EQ(out.data()[12 * g + 7], src[8 * g + 7]); // Cr1
        }
    }
}

// The stretch pass over a whole picture: any worker count gives the rows of the
// one-row function; a worker that cannot start makes the pass fail with its
// message, which the transitional entry point shows as a box.
TEST(StretchPass, WorkerCountsAgreeAndAFailedStartIsReported)
{
    InitCodecTables();
    struct Case {
        VideoFormat code;
        bool stretch, rotate;
    };
    const Case cases[] = {{1, true, false}, {3, true, true}, {2, true, true}, {10, false, true}};
    std::mt19937 rng(5);
    vorn::WorkerPool pool;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "code " << c.code << (c.rotate ? " rotated" : ""));
        const int inWidth = c.stretch ? stretchCodedWidth(c.code) : 720;
        const int outWidth = c.stretch ? stretchFullWidth(c.code) : 720;
        const int rows = 37;
        const auto src = randomBytes(rng, size_t(2) * inWidth * rows, 0);
        StretchJob job;
        job.src = src.data();
        job.srcPitch = 2 * inWidth;
        job.destPitch = 2 * outWidth;
        job.height = rows;
        job.code = c.code;
        job.stretch = c.stretch;
        job.rotate = c.rotate;
        job.srcPairs = inWidth / 2;
        std::vector<uint8_t> expect(size_t(2) * outWidth * rows), line(2 * 1920);
        for (int r = 0; r < rows; ++r)
            stretchRow(job, expect.data() + r * job.destPitch, src.data() + r * job.srcPitch, line.data());
        for (int workers : {1, 2, 3, 16}) {
            std::vector<uint8_t> out(expect.size(), 0);
            job.dest = out.data();
            ASSERT_TRUE(StretchPicture(job, pool, workers).ok());
            EXPECT_EQ(out, expect) << workers << " workers";
        }
    }
    std::vector<std::string> boxes;
    auto previous = setNotifyHandler([&](const std::string& t, const std::string& m) { boxes.push_back(t + ": " + m); });
    vorn::setPoolStartFailureForTest(1);
    std::vector<uint8_t> src(2 * 1440 * 8), dst(2 * 1920 * 8);
    StretchJob job;
    job.dest = dst.data();
    job.destPitch = 2 * 1920;
    job.src = src.data();
    job.srcPitch = 2 * 1440;
    job.height = 8;
    job.code = 3;
    job.stretch = true;
    pool.failStartForTest(1);
    const vorn::Status status = StretchPicture(job, pool, 4);
    EXPECT_FALSE(status.ok());
    EXPECT_EQ(status.message(), "Could not create Stretch thread");
    EXPECT_TRUE(boxes.empty());
    vorn::WorkerPool& fallback = vorn::defaultWorkerPool();
    const int saved = fallback.workers();
    fallback.setWorkers(4);
    EXPECT_FALSE(StretchPicture(job));
    fallback.setWorkers(saved);
    vorn::setPoolStartFailureForTest(-1);
    setNotifyHandler(previous);
    EXPECT_EQ(boxes, std::vector<std::string>{"Quintell: Could not create Stretch thread"});
}

} // namespace
} // namespace vorn::dv
