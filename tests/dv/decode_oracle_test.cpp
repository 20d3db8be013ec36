// The DV decoder against FFmpeg's decoder on FFmpeg-encoded frames of every
// DV-family raster, plus properties that need real frames: worker-count
// independence, orientation, rotation, full raster, the 720-line channel pair
// and the dv-decode command.
#include "decode_support.h"

#include "dv/CodecTables.h"
#include "dv/DvDecoder.h"
#include "dv/Stretch.h"
#include "foundation/Notifier.h"
#include "foundation/WorkerPool.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <span>
#include <stdexcept>

namespace vorn::dv {
namespace {

using test::OracleClip;
using test::OracleFormat;

constexpr int kFrames = 2;

// Clips are made once per process and shared by the tests below.
const OracleClip& clipFor(VideoFormat code)
{
    static std::map<VideoFormat, OracleClip> clips;
    auto it = clips.find(code);
    if (it != clips.end())
        return it->second;
    const OracleFormat* f = nullptr;
    for (const auto& o : test::oracleFormats())
        if (o.code == code)
            f = &o;
    return clips.emplace(code, test::makeOracleClip(*f, kFrames, "dv_oracle_" + std::to_string(code))).first->second;
}

std::span<const uint8_t> frameOf(const OracleClip& clip, VideoFormat code, int index)
{
    const size_t bytes = static_cast<size_t>(dvFormatInfo(code)->bytesPerFrame);
    return {clip.dif.data() + bytes * static_cast<size_t>(index), bytes};
}

class DecodeOracle : public ::testing::TestWithParam<OracleFormat> {};

TEST_P(DecodeOracle, MatchesFfmpegOnEveryPlane)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    const OracleFormat& f = GetParam();
    const OracleClip& clip = clipFor(f.code);
    ASSERT_EQ(clip.dif.size(), static_cast<size_t>(dvFormatInfo(f.code)->bytesPerFrame) * kFrames);
    ASSERT_EQ(clip.ffmpeg.size(), test::ffmpegFrameBytes(f) * kFrames);
    for (int i = 0; i < kFrames; ++i) {
        PictureBuffer pic(f.width, f.height);
        std::fill(pic.bytes.begin(), pic.bytes.end(), uint8_t{0xAA}); // stale contents must not survive
        DecodeOptions top;
        top.topDown = true;
        ASSERT_TRUE(decodeDifFrame(frameOf(clip, f.code, i), f.code, pic, top));
        ASSERT_EQ(pic.width, f.width);
        ASSERT_EQ(pic.height, f.height);
        double p[3];
        test::comparePlanes(pic, f, clip.ffmpeg.data() + test::ffmpegFrameBytes(f) * static_cast<size_t>(i), p);
        EXPECT_GE(p[0], 45.0) << "Y, code " << f.code << " frame " << i;
        EXPECT_GE(p[1], 45.0) << "Cb, code " << f.code << " frame " << i;
        EXPECT_GE(p[2], 45.0) << "Cr, code " << f.code << " frame " << i;
    }
}

TEST_P(DecodeOracle, SameBytesWithOneTwoSevenAndSixteenWorkers)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    const OracleFormat& f = GetParam();
    const OracleClip& clip = clipFor(f.code);
    std::vector<uint8_t> reference;
    for (int n : {1, 2, 7, 16}) {
        DvDecoder decoder(DvDecoderSettings{n});
        PictureBuffer pic;
        DecodeOptions opt;
        opt.fullRaster = dvFormatInfo(f.code)->hd;
        ASSERT_TRUE(decoder.decode(frameOf(clip, f.code, 1), f.code, pic, opt).ok());
        if (reference.empty())
            reference = pic.bytes;
        else
            EXPECT_TRUE(pic.bytes == reference) << n << " workers, code " << f.code;
    }
}

// Bottom-up by default; top-down on request; rotation gives the 180-degree turn.
TEST_P(DecodeOracle, OrientationAndRotation)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    const OracleFormat& f = GetParam();
    const OracleClip& clip = clipFor(f.code);
    const auto frame = frameOf(clip, f.code, 0);
    PictureBuffer bottomUp, topDown, rotated;
    ASSERT_TRUE(decodeDifFrame(frame, f.code, bottomUp));
    DecodeOptions opt;
    opt.topDown = true;
    ASSERT_TRUE(decodeDifFrame(frame, f.code, topDown, opt));
    DecodeOptions rot;
    rot.rotate = true;
    ASSERT_TRUE(decodeDifFrame(frame, f.code, rotated, rot));
    const int pitch = 2 * f.width;
    for (int r = 0; r < f.height; ++r) {
        // First row in memory of the default picture is the bottom line of the image.
        ASSERT_TRUE(std::equal(bottomUp.memoryRow(r), bottomUp.memoryRow(r) + pitch,
                               topDown.memoryRow(f.height - 1 - r)))
            << "row " << r;
        // Rotated: rows top-down, each mirrored (pairs reversed, Y0/Y1 swapped, chroma kept).
        const uint8_t* src = topDown.memoryRow(r);
        const uint8_t* rotRow = rotated.memoryRow(r);
        for (int i = 0; i < f.width / 2; ++i) {
            const uint8_t* s = src + 4 * (f.width / 2 - 1 - i);
            const uint8_t* d = rotRow + 4 * i;
            ASSERT_TRUE(d[0] == s[2] && d[1] == s[1] && d[2] == s[0] && d[3] == s[3]) << "row " << r << " pair " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllFormats, DecodeOracle, ::testing::ValuesIn(test::oracleFormats()),
                         [](const auto& info) { return "code" + std::to_string(info.param.code); });

TEST(DecodeDv25, ChromaRepeatsOverFourPixels)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    const OracleClip& clip = clipFor(10);
    PictureBuffer pic;
    ASSERT_TRUE(decodeDifFrame(frameOf(clip, 10, 0), 10, pic));
    for (int r = 0; r < pic.height; ++r) {
        const uint8_t* row = pic.memoryRow(r);
        for (int x = 0; x < pic.width; x += 4) {
            ASSERT_EQ(row[2 * x + 1], row[2 * x + 5]) << "Cb row " << r << " x " << x;
            ASSERT_EQ(row[2 * x + 3], row[2 * x + 7]) << "Cr row " << r << " x " << x;
        }
    }
}

// Full raster for 1080 lines comes from the stretch pass over the coded raster;
// asking for the coded width gives the coded raster unchanged.
TEST(DecodeHd, FullRasterIsTheStretchOfTheCodedRaster)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    for (VideoFormat code : {1, 2, 3, 4}) {
        const OracleClip& clip = clipFor(code);
        const auto frame = frameOf(clip, code, 0);
        const DvFormatInfo& info = *dvFormatInfo(code);
        PictureBuffer coded, full;
        ASSERT_TRUE(decodeDifFrame(frame, code, coded));
        EXPECT_EQ(coded.width, info.codedWidth);
        DecodeOptions opt;
        opt.fullRaster = true;
        ASSERT_TRUE(decodeDifFrame(frame, code, full, opt));
        ASSERT_EQ(full.width, code == 1 || code == 3 ? 1920 : 1280);
        ASSERT_EQ(full.height, info.height);
        std::vector<uint8_t> line(2 * 1920);
        StretchJob job;
        job.code = code;
        job.stretch = true;
        for (int r = 0; r < info.height; r += 37) {
            stretchRow(job, line.data(), coded.memoryRow(r), nullptr);
            ASSERT_TRUE(std::equal(line.begin(), line.begin() + full.pitch(), full.memoryRow(r))) << "row " << r;
        }
        // The entry point refuses widths that are neither coded nor full raster.
        std::vector<uint8_t> dest(2 * 1000 * 1080, 0x55);
        DecodeDifFrame(dest.data(), dest.size(), 1000, info.height, frame, 1, 1, code, 16, 1, false);
        EXPECT_TRUE(std::all_of(dest.begin(), dest.end(), [](uint8_t b) { return b == 0x55; }));
    }
}

// A 720-line frame whose first DIF block has bit 2 of byte 1 clear carries
// channels 2 and 3: the same macroblocks land at other places.
TEST(DecodeHd, ChannelPairBitSelectsTheOtherShuffle)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    for (VideoFormat code : {2, 4}) {
        const OracleClip& clip = clipFor(code);
        auto frame = frameOf(clip, code, 0);
        std::vector<uint8_t> other(frame.begin(), frame.end());
        ASSERT_NE(other[1] & 0x04, 0);
        EXPECT_EQ(hdChannelPair(frame), 0);
        other[1] &= static_cast<uint8_t>(~0x04);
        EXPECT_EQ(hdChannelPair(other), 2);
        PictureBuffer a, b;
        ASSERT_TRUE(decodeDifFrame(frame, code, a));
        ASSERT_TRUE(decodeDifFrame(other, code, b));
        EXPECT_FALSE(a.bytes == b.bytes);
        // Same 16x16 macroblock contents, permuted.
        auto blocks = [](const PictureBuffer& p) {
            std::vector<uint64_t> out; // FNV-1a hash of each 16x16 macroblock
            for (int y = 0; y < p.height; y += 16)
                for (int x = 0; x < p.width; x += 16) {
                    uint64_t h = 1469598103934665603ull;
                    for (int r = 0; r < 16; ++r)
                        for (int i = 0; i < 32; ++i)
                            h = (h ^ p.memoryRow(y + r)[2 * x + i]) * 1099511628211ull;
                    out.push_back(h);
                }
            std::sort(out.begin(), out.end());
            return out;
        };
        EXPECT_TRUE(blocks(a) == blocks(b)) << "code " << code;
    }
}

// A worker that cannot be started: the decode fails with the thread message
// and shows nothing, nothing keeps running, and the next decode is complete
// and exact; a run of frames fails the same way. The transitional entry point
// shows the message as a box, once.
TEST(DecodeWorkers, FailedWorkerStartIsReportedAndJoined)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    const OracleClip& clip = clipFor(8);
    PictureBuffer reference;
    ASSERT_TRUE(DvDecoder().decode(frameOf(clip, 8, 0), 8, reference).ok());
    std::vector<std::pair<std::string, std::string>> boxes;
    auto previous = setNotifyHandler([&](const std::string& t, const std::string& m) { boxes.emplace_back(t, m); });
    {
        WorkerPool pool;
        DvDecoder four(DvDecoderSettings{4, &pool});
        pool.failStartForTest(2);
        PictureBuffer pic;
        const Status status = four.decode(frameOf(clip, 8, 0), 8, pic);
        EXPECT_FALSE(status.ok());
        EXPECT_EQ(status.message(), "Could not create Decode thread");
        FrameRunIo io;
        int reads = 0;
        io.read = [&](std::span<uint8_t>) { return ++reads < 3; };
        const auto run = four.decodeRun(8, {}, io);
        EXPECT_FALSE(run.ok());
        EXPECT_EQ(run.status().message(), "Could not create Decode thread");
        EXPECT_EQ(reads, 0);
        pool.failStartForTest(-1);
        EXPECT_TRUE(boxes.empty());
        PictureBuffer again;
        EXPECT_TRUE(four.decode(frameOf(clip, 8, 0), 8, again).ok());
        EXPECT_TRUE(again.bytes == reference.bytes);
    }
    {
        WorkerPool& fallback = defaultWorkerPool();
        const int saved = fallback.workers();
        fallback.setWorkers(4);
        setPoolStartFailureForTest(2);
        PictureBuffer pic;
        EXPECT_FALSE(decodeDifFrame(frameOf(clip, 8, 0), 8, pic));
        setPoolStartFailureForTest(-1);
        fallback.setWorkers(saved);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].first, "Quintell");
        EXPECT_EQ(boxes[0].second, "Could not create Decode thread");
    }
    setNotifyHandler(previous);
}

// A run of frames decoded side by side gives, for any worker count, the
// pictures of decoding each frame alone, handed over in input order; the
// worker slot given to prepare and write is the same for a frame. An
// exception from the input reaches the caller once the workers have stopped.
TEST(DecodeWorkers, RunOfFramesMatchesSingleDecodesInOrder)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    struct Case {
        VideoFormat code;
        DecodeOptions options;
    };
    const Case cases[] = {{8, {}}, {3, {.fullRaster = true, .topDown = true}}, {2, {.rotate = true}}};
    for (const Case& c : cases) {
        const OracleClip& clip = clipFor(c.code);
        constexpr int kRunFrames = 11;
        std::vector<std::vector<uint8_t>> expected;
        DvDecoder single;
        for (int i = 0; i < kRunFrames; ++i) {
            PictureBuffer pic;
            ASSERT_TRUE(single.decode(frameOf(clip, c.code, i % kFrames), c.code, pic, c.options).ok());
            expected.push_back(pic.bytes);
        }
        for (int workers : {1, 2, 3}) {
            SCOPED_TRACE(testing::Message() << "code " << c.code << ", " << workers << " workers");
            DvDecoder decoder(DvDecoderSettings{workers});
            int next = 0;
            std::vector<std::vector<uint8_t>> got, prepared(static_cast<size_t>(workers));
            std::atomic<int> badSlot{0};
            FrameRunIo io;
            io.read = [&](std::span<uint8_t> frame) {
                if (next == kRunFrames)
                    return false;
                const auto src = frameOf(clip, c.code, next++ % kFrames);
                if (frame.size() != src.size())
                    return false;
                std::copy(src.begin(), src.end(), frame.begin());
                return true;
            };
            io.prepare = [&](int worker, const PictureBuffer& pic) {
                if (worker < 0 || worker >= workers)
                    ++badSlot;
                else
                    prepared[static_cast<size_t>(worker)] = pic.bytes;
            };
            io.write = [&](int worker, const PictureBuffer& pic) {
                if (prepared[static_cast<size_t>(worker)] != pic.bytes)
                    ++badSlot;
                got.push_back(pic.bytes);
            };
            const auto run = decoder.decodeRun(c.code, c.options, io);
            ASSERT_TRUE(run.ok());
            EXPECT_EQ(run.value().frames, kRunFrames);
            EXPECT_EQ(run.value().failedFrame, -1);
            EXPECT_EQ(badSlot.load(), 0);
            ASSERT_EQ(got.size(), expected.size());
            for (size_t i = 0; i < got.size(); ++i)
                EXPECT_TRUE(got[i] == expected[i]) << "frame " << i;
        }
    }
    const OracleClip& clip = clipFor(8);
    for (int workers : {1, 3}) {
        DvDecoder decoder(DvDecoderSettings{workers});
        int reads = 0, writes = 0;
        FrameRunIo io;
        io.read = [&](std::span<uint8_t> frame) {
            if (++reads == 6)
                throw std::runtime_error("read failed");
            const auto src = frameOf(clip, 8, 0);
            std::copy(src.begin(), src.end(), frame.begin());
            return true;
        };
        io.write = [&](int, const PictureBuffer&) { ++writes; };
        EXPECT_THROW((void)decoder.decodeRun(8, {}, io), std::runtime_error) << workers;
        EXPECT_LE(writes, 5);
        // The decoder and its pool work afterwards.
        PictureBuffer pic;
        EXPECT_TRUE(decoder.decode(frameOf(clip, 8, 0), 8, pic).ok());
    }
}

// The command writes planar 4:2:2 rows from the top, frame after frame.
TEST(DecodeCommand, WritesPlanarPicturesOfEveryFrame)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    const OracleClip& clip = clipFor(3);
    const auto dir = vorn::test::scratchDir("dv_decode_cmd");
    const auto in = dir / "in.dif", out = dir / "out.yuv";
    vorn::test::writeBytes(in, clip.dif);
    auto r = vorn::test::runVorn("codec dv-decode --format 3 --threads 2 --full-raster " +
                                 vorn::test::shellQuote(in.string()) + " " + vorn::test::shellQuote(out.string()));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto bytes = vorn::test::readBytes(out);
    const size_t frameBytes = 1920u * 1080u * 2u;
    ASSERT_EQ(bytes.size(), frameBytes * kFrames);
    for (int i = 0; i < kFrames; ++i) {
        PictureBuffer pic;
        DecodeOptions opt;
        opt.fullRaster = true;
        opt.topDown = true;
        ASSERT_TRUE(decodeDifFrame(frameOf(clip, 3, i), 3, pic, opt));
        const uint8_t* plane = bytes.data() + frameBytes * static_cast<size_t>(i);
        for (int y = 0; y < 1080; y += 53)
            for (int x = 0; x < 1920; x += 7) {
                ASSERT_EQ(plane[y * 1920 + x], pic.memoryRow(y)[2 * x]);
                ASSERT_EQ(plane[1920 * 1080 + y * 960 + x / 2], pic.memoryRow(y)[4 * (x / 2) + 1]);
                ASSERT_EQ(plane[1920 * 1080 * 3 / 2 + y * 960 + x / 2], pic.memoryRow(y)[4 * (x / 2) + 3]);
            }
    }
    // Several workers decode whole frames side by side, each taking the next
    // frame of the input: 19 frames plus a short tail give the same pictures,
    // in input order, for every worker count.
    std::vector<uint8_t> longInput;
    for (int i = 0; i < 19; ++i) {
        const auto f = frameOf(clip, 3, i % kFrames);
        longInput.insert(longInput.end(), f.begin(), f.end());
    }
    longInput.insert(longInput.end(), clip.dif.begin(), clip.dif.begin() + 1000);
    const auto longIn = dir / "long.dif";
    vorn::test::writeBytes(longIn, longInput);
    std::vector<uint8_t> expected;
    for (int i = 0; i < 19; ++i)
        expected.insert(expected.end(), bytes.begin() + frameBytes * static_cast<size_t>(i % kFrames),
                        bytes.begin() + frameBytes * static_cast<size_t>(i % kFrames + 1));
    for (int threads : {1, 2, 3}) {
        const auto longOut = dir / ("long" + std::to_string(threads) + ".yuv");
        auto rl = vorn::test::runVorn("codec dv-decode --format 3 --full-raster --threads " + std::to_string(threads) +
                                      " " + vorn::test::shellQuote(longIn.string()) + " " +
                                      vorn::test::shellQuote(longOut.string()));
        ASSERT_EQ(rl.exitCode, 0) << rl.err;
        EXPECT_NE(rl.err.find("last frame is short"), std::string::npos) << rl.err;
        EXPECT_TRUE(vorn::test::readBytes(longOut) == expected) << threads << " threads";
    }
    // Usage errors and unreadable input.
    EXPECT_EQ(vorn::test::runVorn("codec dv-decode --format 33 " + vorn::test::shellQuote(in.string()) + " -").exitCode, 2);
    EXPECT_EQ(vorn::test::runVorn("codec dv-decode --format 3 --null " + vorn::test::shellQuote((dir / "none.dif").string())).exitCode, 1);
}

} // namespace
} // namespace vorn::dv
