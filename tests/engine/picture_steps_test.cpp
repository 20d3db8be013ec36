// The engine shows the messages of the picture codecs and filters: the codec
// returns a failure, the picture step shows it once, as the user saw it.
#include "dv/CodecTables.h"
#include "dv/DifRotation.h"
#include "dv/DvEncoder.h"
#include "engine/PictureSteps.h"
#include "foundation/Notifier.h"
#include "foundation/WorkerPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace vorn {
namespace {

class PictureStepsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        previous_ = setNotifyHandler([this](const std::string& t, const std::string& m) { boxes_.push_back(t + ": " + m); });
    }
    void TearDown() override
    {
        setNotifyHandler(previous_);
        setPoolStartFailureForTest(-1);
        defaultWorkerPool().setWorkers(savedWorkers_);
        dv::InitCodecTables();
    }
    std::vector<std::string> boxes_;
    NotifyHandler previous_;
    int savedWorkers_ = defaultWorkerPool().workers();
};

TEST_F(PictureStepsTest, NoiseHistoryThatCannotBeAllocatedIsShownOnce)
{
    const size_t capacity = dv::pictureRaster(10).bytes();
    dv::PictureBuffer in, out;
    pictureSteps::fitRaster(in, 10, capacity);
    std::fill(in.bytes.begin(), in.bytes.end(), 80);
    dv::NoiseFilter failing({.failFirstAllocation = true});
    EXPECT_FALSE(pictureSteps::reduceNoise(failing, in, out, 10, 0, capacity));
    EXPECT_EQ(boxes_, std::vector<std::string>{"Quintell Vorn: Could not allocate Quintell Vorn history buffer"});
    // The next picture allocates again and works, without a message.
    EXPECT_TRUE(pictureSteps::reduceNoise(failing, in, out, 10, 0, capacity));
    EXPECT_TRUE(std::equal(in.bytes.begin(), in.bytes.end(), out.bytes.begin()));
    EXPECT_EQ(boxes_.size(), 1u);
}

TEST_F(PictureStepsTest, RotationFailuresShowOneMessageEach)
{
    dv::InitCodecTables();
    dv::PictureBuffer grey(960, 720);
    std::fill(grey.bytes.begin(), grey.bytes.end(), 128);
    dv::DifFrame frame;
    ASSERT_TRUE(dv::DvEncoder().encode(frame, grey, 2).ok());
    dv::DifRotator rotator;
    // A frame of another format: refused, with no message.
    std::vector<uint8_t> sd(120000, 0);
    EXPECT_FALSE(pictureSteps::rotateDifFrame(rotator, sd.data(), sd.size(), 10));
    EXPECT_TRUE(boxes_.empty());
    // A worker that cannot start: the pool's message alone, the frame kept.
    defaultWorkerPool().setWorkers(2);
    setPoolStartFailureForTest(1);
    const std::vector<uint8_t> before = frame.bytes;
    EXPECT_FALSE(pictureSteps::rotateDifFrame(rotator, frame.data(), frame.size(), 2));
    EXPECT_EQ(boxes_, std::vector<std::string>{"Quintell: Could not create Flip thread"});
    EXPECT_TRUE(frame.bytes == before);
    setPoolStartFailureForTest(-1);
    EXPECT_TRUE(pictureSteps::rotateDifFrame(rotator, frame.data(), frame.size(), 2));
    EXPECT_EQ(boxes_.size(), 1u);
}

} // namespace
} // namespace vorn
