// The picture kernels' own results (every variant against the reference is
// in tests/foundation/kernel_registry_test.cpp) and the stretch pass.
#include "dv/CodecTables.h"
#include "foundation/WorkerPool.h"
#include "dv/PictureKernels.h"
#include "dv/Stretch.h"

#include "foundation/Notifier.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace vorn::dv {
namespace {

constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xa5;

using vorn::test::randomBytes;

// Output buffer with guard bytes on both sides.
struct Guarded {
    std::vector<uint8_t> bytes;
    explicit Guarded(size_t n) : bytes(n + 2 * kGuard, kGuardByte) {}
    uint8_t* data() { return bytes.data() + kGuard; }
};

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
