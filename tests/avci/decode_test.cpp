// The AVC-Intra decoder against FFmpeg: every AVC-Intra variant (made by x264), the P2 form
// without parameter sets in later frames, the intra-profile deblocking rule, field pictures,
// format changes between calls and the failure road for damaged input. The decoder never
// shows a message itself: its failures come back as a status.
#include "avci/AvcDecoder.h"
#include "avci/Nal.h"

#include "engine/PictureSteps.h"
#include "foundation/Notifier.h"
#include "foundation/WorkerPool.h"
#include "mxf/ClipIcon.h"
#include "helpers/FieldStreamWriter.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

using namespace vorn;
using namespace vorn::test;

namespace {

constexpr size_t kCapacity = size_t(1920) * 1088 * 2 * 2;

struct Variant {
    const char* name;
    int avcClass;       // 50 or 100
    int width, height;
    bool interlaced;
    int formatCode;
};

// One of each AVC-Intra class, size and scan (codes of the video format table).
const Variant kVariants[] = {
    {"c100_1080i", 100, 1920, 1080, true, 38},
    {"c100_1080p", 100, 1920, 1080, false, 40},
    {"c100_720p", 100, 1280, 720, false, 42},
    {"c50_1080i", 50, 1440, 1080, true, 32},
    {"c50_1080p", 50, 1440, 1080, false, 34},
    {"c50_720p", 50, 960, 720, false, 36},
};

std::string pixFmt(int chroma) { return chroma == 2 ? "yuv422p10le" : "yuv420p10le"; }

// Runs a shell command in `dir`, failing the test on a non-zero exit.
void sh(const std::filesystem::path& dir, const std::string& cmd)
{
    const CommandResult r = runCommand("cd " + shellQuote(dir.string()) + " && " + cmd);
    ASSERT_EQ(r.exitCode, 0) << cmd << "\n" << r.err;
}

// Streams and FFmpeg's decodes, made once for the whole suite.
struct Media {
    std::filesystem::path dir;
    std::map<std::string, std::vector<uint8_t>> stream, reference;
};

Media& media()
{
    static Media m;
    return m;
}

class AvcDecodeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!haveTool("ffmpeg") || !haveTool("x264")) {
            VORN_REQUIRE_TOOL("ffmpeg");
            VORN_REQUIRE_TOOL("x264");
        }
        messages_.clear();
        previous_ = setNotifyHandler([this](const std::string& title, const std::string& text) {
            messages_.push_back(title + ": " + text);
        });
    }
    void TearDown() override { setNotifyHandler(previous_); }

    // Encodes (once) an AVC-Intra variant of 2 frames and FFmpeg's decode of it.
    void makeVariant(const Variant& v)
    {
        Media& m = media();
        if (m.stream.count(v.name)) return;
        if (m.dir.empty()) m.dir = scratchDir("avci_decode_media");
        const int chroma = v.avcClass == 100 ? 2 : 1;
        const std::string src = std::string(v.name) + ".y4m", out = std::string(v.name) + ".264";
        // Interlaced material: twice the rate woven into frames; noise keeps the coder busy.
        std::string vf = "scale=" + std::to_string(v.width) + ":" + std::to_string(v.height);
        if (v.interlaced) vf += ",interlace=scan=tff:lowpass=off";
        vf += ",noise=alls=6:allf=t";
        sh(m.dir, "ffmpeg -loglevel error -y -f lavfi -i testsrc2=s=" + std::to_string(v.width) + "x" +
                      std::to_string(v.height) + ":r=50 -vf " + vf + " -frames:v 2 -pix_fmt " + pixFmt(chroma) +
                      " -strict -1 -f yuv4mpegpipe " + src);
        sh(m.dir, "x264 --quiet --threads 1 --avcintra-class " + std::to_string(v.avcClass) + " --output-csp " +
                      (chroma == 2 ? "i422" : "i420") + " --output-depth 10 " + (v.interlaced ? "--tff " : "") +
                      "--fps 25 -o " + out + " " + src + " 2>/dev/null");
        sh(m.dir, "ffmpeg -loglevel error -y -i " + out + " -f rawvideo -pix_fmt " + pixFmt(chroma) + " " +
                      std::string(v.name) + ".yuv");
        m.stream[v.name] = readBytes(m.dir / out);
        m.reference[v.name] = readBytes(m.dir / (std::string(v.name) + ".yuv"));
    }

    // Decodes every access unit of a stream with `decoder`; returns the concatenated output.
    static std::vector<uint8_t> decodeStream(avci::AvcDecoder& decoder, const std::vector<uint8_t>& stream, int format)
    {
        std::vector<uint8_t> all, frame(kCapacity);
        for (const auto& [off, size] : avci::splitAccessUnits(stream.data(), stream.size())) {
            const Status s = decoder.decode(stream.data() + off, size, format, frame.data(), frame.size());
            if (!s.ok()) {
                ADD_FAILURE() << "access unit at " << off << ": " << s.message();
                return all;
            }
            all.insert(all.end(), frame.begin(), frame.begin() + std::ptrdiff_t(decoder.lastFrame().bytes));
        }
        return all;
    }
    std::vector<uint8_t> decodeStream(const std::vector<uint8_t>& stream, int format)
    {
        return decodeStream(decoder_, stream, format);
    }

    avci::AvcDecoder decoder_;
    std::vector<std::string> messages_; // shown through the notifier: the decoder shows none
    NotifyHandler previous_;
};

// Index of the first differing byte, or -1.
long firstDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return long(i);
    return a.size() == b.size() ? -1 : long(n);
}

TEST_F(AvcDecodeTest, EveryVariantMatchesFfmpegBitForBit)
{
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.name);
        makeVariant(v);
        // Any number of slice workers must give the same samples.
        avci::AvcFrameInfo info;
        for (int threads : {1, 2, 3}) {
            avci::AvcDecoder decoder(avci::AvcDecoderSettings{threads});
            const std::vector<uint8_t> out = decodeStream(decoder, media().stream[v.name], v.formatCode);
            EXPECT_EQ(out.size(), media().reference[v.name].size());
            EXPECT_EQ(firstDifference(out, media().reference[v.name]), -1) << "threads " << threads;
            info = decoder.lastFrame();
        }
        EXPECT_EQ(info.width, v.width);
        EXPECT_EQ(info.height, v.height);
        EXPECT_EQ(info.chromaFormat, v.avcClass == 100 ? 2 : 1);
        EXPECT_EQ(info.bitDepth, 10);
        EXPECT_FALSE(info.deblocked);
    }
    EXPECT_TRUE(messages_.empty());
}

TEST_F(AvcDecodeTest, P2FramesWithoutParameterSetsDecodeWithTheFirstFramesSets)
{
    for (const Variant& v : {kVariants[0], kVariants[3]}) {
        SCOPED_TRACE(v.name);
        makeVariant(v);
        const std::vector<uint8_t>& s = media().stream[v.name];
        const auto units = avci::splitAccessUnits(s.data(), s.size());
        ASSERT_EQ(units.size(), 2u);
        // Frame 0 keeps its 512 header bytes; later frames lose bytes 6 to 517 (SPS, PPS, padding).
        std::vector<uint8_t> p2(s.begin(), s.begin() + std::ptrdiff_t(units[1].first));
        const uint8_t* f1 = s.data() + units[1].first;
        auto nalType = [&](size_t at) { return (f1[at + 2] == 1 ? f1[at + 3] : f1[at + 4]) & 31; };
        ASSERT_EQ(nalType(6), 7) << "SPS expected at byte 6";
        ASSERT_EQ(nalType(256), 8) << "PPS expected at byte 256";
        p2.insert(p2.end(), f1, f1 + 6);
        p2.insert(p2.end(), f1 + 518, f1 + units[1].second);
        const std::vector<uint8_t> out = decodeStream(p2, v.formatCode);
        EXPECT_EQ(firstDifference(out, media().reference[v.name]), -1);
    }
}

TEST_F(AvcDecodeTest, FormatChangeRebuildsTheDecoder)
{
    makeVariant(kVariants[0]);
    makeVariant(kVariants[5]);
    const std::vector<uint8_t>& a = media().stream[kVariants[0].name];
    const std::vector<uint8_t>& b = media().stream[kVariants[5].name];
    const auto ua = avci::splitAccessUnits(a.data(), a.size());
    const auto ub = avci::splitAccessUnits(b.data(), b.size());
    std::vector<uint8_t> frame(kCapacity);
    const std::vector<uint8_t>& refA = media().reference[kVariants[0].name];
    const std::vector<uint8_t>& refB = media().reference[kVariants[5].name];
    const size_t bytesA = refA.size() / 2, bytesB = refB.size() / 2;
    // A, then B under another code, then A again: each output correct for its own format.
    ASSERT_TRUE(decoder_.decode(a.data() + ua[0].first, ua[0].second, 38, frame.data(), frame.size()).ok());
    EXPECT_TRUE(std::equal(refA.begin(), refA.begin() + std::ptrdiff_t(bytesA), frame.begin()));
    ASSERT_TRUE(decoder_.decode(b.data() + ub[1].first, ub[1].second, 36, frame.data(), frame.size()).ok());
    EXPECT_EQ(decoder_.lastFrame().bytes, bytesB);
    EXPECT_TRUE(std::equal(refB.begin() + std::ptrdiff_t(bytesB), refB.end(), frame.begin()));
    // The parameter sets of the earlier format were released with it: a frame of format A
    // without its own sets fails under the new code, then decodes once the sets come again.
    std::vector<uint8_t> headless(a.begin() + std::ptrdiff_t(ua[1].first), a.begin() + std::ptrdiff_t(ua[1].first) + 6);
    headless.insert(headless.end(), a.begin() + std::ptrdiff_t(ua[1].first) + 518,
                    a.begin() + std::ptrdiff_t(ua[1].first + ua[1].second));
    const Status headlessStatus = decoder_.decode(headless.data(), headless.size(), 38, frame.data(), frame.size());
    EXPECT_FALSE(headlessStatus.ok());
    EXPECT_NE(headlessStatus.message().find("missing"), std::string::npos) << headlessStatus.message();
    EXPECT_TRUE(messages_.empty());
    ASSERT_TRUE(decoder_.decode(a.data() + ua[1].first, ua[1].second, 38, frame.data(), frame.size()).ok());
    EXPECT_TRUE(std::equal(refA.begin() + std::ptrdiff_t(bytesA), refA.end(), frame.begin()));
}

struct DeblockCase {
    const char* name;
    const char* x264;
    bool tenBit422;
};

// A generic intra stream is an intra profile (constraint_set3_flag) and is never deblocked,
// whatever its slice headers say; with the flag cleared it is High / High 4:2:2 and is.
TEST_F(AvcDecodeTest, LoopFilterRunsOnlyOutsideIntraProfiles)
{
    const DeblockCase cases[] = {
        {"hi422_cabac", "", true},
        {"hi422_cavlc", "--no-cabac", true},
        {"hi422_no8x8", "--no-8x8dct", true},
        {"hi422_cavlc_prog", "--no-cabac --no-interlaced", true},
        {"high_420_8bit", "", false},
    };
    const std::filesystem::path dir = scratchDir("avci_deblock");
    sh(dir, "ffmpeg -loglevel error -y -f lavfi -i testsrc2=s=176x128:r=50 -vf interlace=scan=tff:lowpass=off,"
            "noise=alls=6:allf=t -frames:v 2 -pix_fmt yuv422p10le -strict -1 -f yuv4mpegpipe s10.y4m");
    sh(dir, "ffmpeg -loglevel error -y -i s10.y4m -pix_fmt yuv420p -f yuv4mpegpipe s8.y4m");
    for (const DeblockCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = c.name;
        const std::string fmt = c.tenBit422 ? "yuv422p10le" : "yuv420p";
        if (c.tenBit422)
            sh(dir, "x264 --quiet --output-csp i422 --output-depth 10 --profile high422 --keyint 1 --tff --crf 24 " +
                        std::string(c.x264) + " -o " + name + ".264 s10.y4m 2>/dev/null");
        else
            sh(dir, "x264 --quiet --profile high --keyint 1 --tff --crf 30 -o " + name + ".264 s8.y4m 2>/dev/null");
        std::vector<uint8_t> stream = readBytes(dir / (name + ".264"));
        // Clear constraint_set3_flag in every SPS: the High / High 4:2:2 variant.
        std::vector<uint8_t> high = stream;
        int cleared = 0;
        for (size_t i = 0; i + 5 < high.size(); ++i) {
            if (high[i] == 0 && high[i + 1] == 0 && high[i + 2] == 1 && (high[i + 3] & 31) == 7) {
                if (c.tenBit422) {
                    EXPECT_TRUE(high[i + 5] & 0x10) << "x264 marks keyint-1 High 4:2:2 as intra";
                }
                high[i + 5] &= uint8_t(~0x10);
                ++cleared;
            }
        }
        ASSERT_GT(cleared, 0);
        writeBytes(dir / (name + "_high.264"), high);
        sh(dir, "ffmpeg -loglevel error -y -skip_loop_filter all -i " + name + ".264 -f rawvideo -pix_fmt " + fmt +
                    " " + name + "_skip.yuv");
        sh(dir, "ffmpeg -loglevel error -y -i " + name + "_high.264 -f rawvideo -pix_fmt " + fmt + " " + name +
                    "_high.yuv");
        const std::vector<uint8_t> refSkip = readBytes(dir / (name + "_skip.yuv"));
        const std::vector<uint8_t> refHigh = readBytes(dir / (name + "_high.yuv"));
        ASSERT_NE(refSkip, refHigh) << "the stream must carry edges the filter changes";
        const std::vector<uint8_t> intra = decodeStream(stream, 38);
        const bool intraProfileDeblocked = decoder_.lastFrame().deblocked;
        // 8-bit High is not an intra profile even with constraint_set3_flag: it is filtered.
        EXPECT_EQ(firstDifference(intra, c.tenBit422 ? refSkip : refHigh), -1);
        const std::vector<uint8_t> filtered = decodeStream(high, 38);
        EXPECT_EQ(firstDifference(filtered, refHigh), -1);
        EXPECT_EQ(intraProfileDeblocked, !c.tenBit422);
        EXPECT_TRUE(decoder_.lastFrame().deblocked);
    }
}

// Scaling matrices sent in the picture parameter set: the default lists by fall-back and
// explicit, different lists for luma, Cb and Cr (4x4 and 8x8).
TEST_F(AvcDecodeTest, ScalingMatricesOfThePictureParameterSet)
{
    const std::filesystem::path dir = scratchDir("avci_cqm");
    std::string cqm;
    std::mt19937 rng(5);
    for (const char* name : {"INTRA4X4_LUMA", "INTRA4X4_CHROMAU", "INTRA4X4_CHROMAV", "INTER4X4_LUMA",
                             "INTER4X4_CHROMAU", "INTER4X4_CHROMAV", "INTRA8X8_LUMA", "INTER8X8_LUMA"}) {
        const int n = std::string(name).find("8X8") != std::string::npos ? 64 : 16;
        cqm += std::string(name) + " =\n";
        for (int i = 0; i < n; ++i) cqm += std::to_string(6 + rng() % 55) + (i % 8 == 7 ? "\n" : " ");
        cqm += "\n\n";
    }
    writeText(dir / "custom.cqm", cqm);
    sh(dir, "ffmpeg -loglevel error -y -f lavfi -i testsrc2=s=176x128:r=50 -vf noise=alls=8:allf=t -frames:v 2 "
            "-pix_fmt yuv422p10le -strict -1 -f yuv4mpegpipe s.y4m");
    for (const char* opt : {"--cqm jvt", "--cqmfile custom.cqm --no-cabac --tff"}) {
        SCOPED_TRACE(opt);
        sh(dir, std::string("x264 --quiet --output-csp i422 --output-depth 10 --profile high422 --keyint 1 --crf 20 ") +
                    opt + " -o q.264 s.y4m 2>/dev/null && ffmpeg -loglevel error -y -skip_loop_filter all -i q.264 "
                          "-f rawvideo q.yuv");
        EXPECT_EQ(firstDifference(decodeStream(readBytes(dir / "q.264"), 38), readBytes(dir / "q.yuv")), -1);
    }
}

// A 4:0:0 stream writes the luma plane only (FFmpeg reports it as 4:2:0 with grey chroma).
TEST_F(AvcDecodeTest, MonochromeWritesTheLumaPlaneOnly)
{
    const std::filesystem::path dir = scratchDir("avci_mono");
    sh(dir, "ffmpeg -loglevel error -y -f lavfi -i testsrc2=s=176x128:r=25 -vf noise=alls=6:allf=t -frames:v 2 "
            "-pix_fmt yuv420p -f yuv4mpegpipe s.y4m");
    for (const char* opt : {"", "--no-cabac --tff"}) {
        SCOPED_TRACE(opt);
        sh(dir, std::string("x264 --quiet --output-csp i400 --profile high --keyint 1 --crf 22 ") + opt +
                    " -o g.264 s.y4m 2>/dev/null && ffmpeg -loglevel error -y -i g.264 -f rawvideo -pix_fmt yuv420p g.yuv");
        const std::vector<uint8_t> ref = readBytes(dir / "g.yuv");
        const std::vector<uint8_t> out = decodeStream(readBytes(dir / "g.264"), 32);
        const size_t luma = 176 * 128;
        ASSERT_EQ(out.size(), 2 * luma);
        ASSERT_EQ(ref.size(), 2 * luma * 3 / 2);
        for (size_t f = 0; f < 2; ++f)
            EXPECT_TRUE(std::equal(out.begin() + std::ptrdiff_t(f * luma), out.begin() + std::ptrdiff_t((f + 1) * luma),
                                   ref.begin() + std::ptrdiff_t(f * luma * 3 / 2)));
        EXPECT_EQ(decoder_.lastFrame().chromaFormat, 0);
    }
}

// Two field pictures per access unit are woven into one frame, with and without the loop
// filter, in 4:2:0 and 4:2:2 at 8 and 10 bits.
TEST_F(AvcDecodeTest, FieldPairsAreWovenIntoTheFrame)
{
    struct FieldCase {
        int widthMbs, heightMbs, bitDepth, chroma;
        bool deblocking;
    };
    const FieldCase cases[] = {{3, 4, 10, 2, false}, {3, 4, 10, 1, true}, {2, 6, 8, 1, false}, {4, 4, 8, 2, true}};
    const std::filesystem::path dir = scratchDir("avci_fields");
    std::mt19937 rng(7);
    int index = 0;
    for (const FieldCase& c : cases) {
        SCOPED_TRACE(index);
        FieldStreamOptions o;
        o.widthMbs = c.widthMbs;
        o.heightMbs = c.heightMbs;
        o.bitDepth = c.bitDepth;
        o.chromaFormat = c.chroma;
        o.fieldPairs = true;
        o.deblocking = c.deblocking;
        o.alphaOffsetDiv2 = 2;
        FieldStreamWriter writer(o);
        const int mbs = c.widthMbs * c.heightMbs;
        for (int au = 0; au < 2; ++au) {
            PlanarFrame src(16 * c.widthMbs, 16 * c.heightMbs, c.chroma);
            std::uniform_int_distribution<int> level(0, (1 << c.bitDepth) - 1);
            for (int comp = 0; comp < 3; ++comp)
                for (auto& s : src.plane(comp)) s = uint16_t((level(rng) / 4) * 2 + (1 << (c.bitDepth - 2)));
            std::vector<MbPlan> plans(static_cast<size_t>(mbs));
            for (size_t i = 0; i < plans.size(); ++i) {
                plans[i].coding = (i + size_t(au)) % 3 == 0 ? MbCoding::Intra16x16Dc : MbCoding::Pcm;
                plans[i].qp = 20 + int(i % 20);
            }
            writer.addAccessUnit(src, plans);
        }
        std::string name = "f";
        name += std::to_string(index++);
        writeBytes(dir / (name + ".264"), writer.stream());
        const std::string fmt = c.bitDepth == 8 ? (c.chroma == 2 ? "yuv422p" : "yuv420p") : pixFmt(c.chroma);
        sh(dir, "ffmpeg -loglevel error -y -i " + name + ".264 -f rawvideo -pix_fmt " + fmt + " " + name + ".yuv");
        const std::vector<uint8_t> ref = readBytes(dir / (name + ".yuv"));
        const auto units = avci::splitAccessUnits(writer.stream().data(), writer.stream().size());
        EXPECT_EQ(units.size(), 2u) << "two fields make one access unit";
        const std::vector<uint8_t> out = decodeStream(writer.stream(), 38);
        EXPECT_EQ(out.size(), ref.size());
        EXPECT_EQ(firstDifference(out, ref), -1);
        EXPECT_EQ(decoder_.lastFrame().deblocked, c.deblocking);
    }
}

// A stream fed in pieces splits into the same access units as the whole stream: with access
// unit delimiters and parameter sets only in the first frame (P2 form), and as field pairs
// without delimiters.
TEST_F(AvcDecodeTest, PiecewiseSplittingFindsTheSameAccessUnits)
{
    makeVariant(kVariants[5]);
    std::vector<std::vector<uint8_t>> streams;
    {
        const std::vector<uint8_t>& s = media().stream[kVariants[5].name];
        const auto units = avci::splitAccessUnits(s.data(), s.size());
        std::vector<uint8_t> p2(s.begin(), s.begin() + std::ptrdiff_t(units[1].first));
        for (int copy = 0; copy < 3; ++copy) {
            p2.insert(p2.end(), s.begin() + std::ptrdiff_t(units[1].first), s.begin() + std::ptrdiff_t(units[1].first + 6));
            p2.insert(p2.end(), s.begin() + std::ptrdiff_t(units[1].first + 518), s.end());
        }
        streams.push_back(p2);
    }
    {
        FieldStreamOptions o;
        o.widthMbs = 2;
        o.heightMbs = 2;
        FieldStreamWriter writer(o);
        PlanarFrame src(32, 32, 1);
        for (int au = 0; au < 4; ++au) writer.addAccessUnit(src, std::vector<MbPlan>(4));
        streams.push_back(writer.stream());
    }
    for (size_t si = 0; si < streams.size(); ++si) {
        const std::vector<uint8_t>& s = streams[si];
        const auto whole = avci::splitAccessUnits(s.data(), s.size());
        EXPECT_EQ(whole.size(), 4u);
        for (size_t piece : {size_t(700), size_t(7777), size_t(100000)}) {
            SCOPED_TRACE(std::to_string(si) + " piece " + std::to_string(piece));
            avci::AccessUnitSplitter splitter;
            std::vector<std::pair<size_t, size_t>> found;
            std::vector<uint8_t> buffer;
            size_t base = 0, pos = 0;
            while (pos < s.size() || !buffer.empty()) {
                const size_t n = std::min(piece, s.size() - pos);
                buffer.insert(buffer.end(), s.begin() + std::ptrdiff_t(pos), s.begin() + std::ptrdiff_t(pos + n));
                pos += n;
                const bool final = pos == s.size();
                size_t consumed = final ? buffer.size() : 0;
                for (const auto& [off, size] : splitter.split(buffer.data(), buffer.size(), final)) {
                    if (size == 0) {
                        consumed = off;
                        break;
                    }
                    found.emplace_back(base + off, size);
                }
                buffer.erase(buffer.begin(), buffer.begin() + std::ptrdiff_t(consumed));
                base += consumed;
                if (final) break;
            }
            EXPECT_EQ(found, whole);
        }
    }
}

// A slice worker that cannot be started fails the frame; the worker pool has shown its
// message, so the failure is marked as shown. The decoder stays ready.
TEST_F(AvcDecodeTest, SliceWorkerThatCannotStartIsReported)
{
    const Variant& v = kVariants[0];
    makeVariant(v);
    const std::vector<uint8_t>& s = media().stream[v.name];
    const std::vector<uint8_t>& ref = media().reference[v.name];
    const auto units = avci::splitAccessUnits(s.data(), s.size());
    const uint8_t* au0 = s.data() + units[0].first;
    const size_t frameBytes = ref.size() / 2;
    std::vector<uint8_t> frame(kCapacity);
    avci::AvcDecoder decoder(avci::AvcDecoderSettings{2});
    setPoolStartFailureForTest(1);
    const Status failed = decoder.decode(au0, units[0].second, v.formatCode, frame.data(), kCapacity);
    setPoolStartFailureForTest(-1);
    EXPECT_FALSE(failed.ok());
    EXPECT_TRUE(avci::failureAlreadyShown(failed));
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0], "Quintell: A slice decoding thread could not be started.");
    messages_.clear();
    ASSERT_TRUE(decoder.decode(au0, units[0].second, v.formatCode, frame.data(), kCapacity).ok());
    EXPECT_TRUE(std::equal(ref.begin(), ref.begin() + std::ptrdiff_t(frameBytes), frame.begin()));
    EXPECT_TRUE(messages_.empty());
}

TEST_F(AvcDecodeTest, WithoutDestinationTheFrameIsDecodedButNotWritten)
{
    const Variant& v = kVariants[3];
    makeVariant(v);
    const std::vector<uint8_t>& s = media().stream[v.name];
    const std::vector<uint8_t>& ref = media().reference[v.name];
    const auto units = avci::splitAccessUnits(s.data(), s.size());
    const size_t frameBytes = ref.size() / 2;
    ASSERT_TRUE(decoder_.decode(s.data() + units[0].first, units[0].second, v.formatCode, nullptr, 0).ok());
    EXPECT_EQ(decoder_.lastFrame().bytes, frameBytes);
    // A missing destination with a capacity is a caller's mistake, not a request to discard.
    const Status s2 = decoder_.decode(s.data() + units[0].first, units[0].second, v.formatCode, nullptr, kCapacity);
    EXPECT_FALSE(s2.ok());
    EXPECT_NE(s2.message().find("too small"), std::string::npos);
    EXPECT_TRUE(messages_.empty());
}

// Damaged input fails with a message saying what is wrong and leaves the decoder ready: the
// next good frame decodes correctly.
TEST_F(AvcDecodeTest, DamagedInputFailsAndTheDecoderStaysUsable)
{
    const Variant& v = kVariants[3];
    makeVariant(v);
    const std::vector<uint8_t>& s = media().stream[v.name];
    const std::vector<uint8_t>& ref = media().reference[v.name];
    const auto units = avci::splitAccessUnits(s.data(), s.size());
    const std::vector<uint8_t> au0(s.begin(), s.begin() + std::ptrdiff_t(units[0].second));
    const size_t frameBytes = ref.size() / 2;

    struct Damage {
        const char* name;
        std::vector<uint8_t> bytes;
        size_t capacity;
        const char* message;
    };
    std::vector<Damage> cases;
    cases.push_back({"empty", {}, kCapacity, "No picture"});
    cases.push_back({"headers only", std::vector<uint8_t>(au0.begin(), au0.begin() + 518), kCapacity, "No picture"});
    cases.push_back({"truncated", std::vector<uint8_t>(au0.begin(), au0.begin() + std::ptrdiff_t(au0.size() / 2)),
                     kCapacity, ""});
    cases.push_back({"destination too small", au0, frameBytes - 1, "too small"});
    {
        // One NAL unit larger than the 600,000-byte NAL buffer.
        std::vector<uint8_t> big(au0.begin(), au0.begin() + 518);
        big.insert(big.end(), {0, 0, 1, 0x65});
        for (size_t i = 0; i < 700000; ++i) big.push_back(uint8_t(0x5A));
        cases.push_back({"oversized NAL unit", big, kCapacity, "NALU overflow."});
    }
    {
        std::vector<uint8_t> bad = au0;
        bad[6 + 4] = 0xFF; // SPS profile_idc: an unknown profile, then garbage
        for (size_t i = 6 + 8; i < 6 + 40; ++i) bad[i] = 0xFF;
        cases.push_back({"corrupt SPS", bad, kCapacity, ""});
    }
    {
        std::vector<uint8_t> bad = au0;
        for (size_t i = 9800; i < 9900; ++i) bad[i] = uint8_t(i * 37);
        cases.push_back({"corrupt slice data", bad, kCapacity, ""});
    }
    std::vector<uint8_t> frame(kCapacity);
    for (const Damage& d : cases) {
        SCOPED_TRACE(d.name);
        const Status failed = decoder_.decode(d.bytes.data(), d.bytes.size(), v.formatCode, frame.data(), d.capacity);
        EXPECT_FALSE(failed.ok());
        EXPECT_FALSE(failed.message().empty());
        EXPECT_NE(failed.message().find(d.message), std::string::npos) << failed.message();
        EXPECT_FALSE(avci::failureAlreadyShown(failed));
        EXPECT_TRUE(messages_.empty());
        ASSERT_TRUE(decoder_.decode(au0.data(), au0.size(), v.formatCode, frame.data(), frameBytes).ok());
        EXPECT_TRUE(std::equal(ref.begin(), ref.begin() + std::ptrdiff_t(frameBytes), frame.begin()));
    }
}

// The programs show a failed decode once, titled "Quintell AVC-Intra Decoder", with the
// decoder's message: the export's picture step and the clip icon (the command is below).
TEST(AvcDecodeFailure, CallersShowTheFailureOnceUnderTheDecodersTitle)
{
    std::vector<std::string> shown;
    const NotifyHandler previous =
        setNotifyHandler([&](const std::string& title, const std::string& text) { shown.push_back(title + ": " + text); });
    // A slice (first_mb_in_slice 0, slice_type 7, pic_parameter_set_id 0) before any parameter set.
    const std::vector<uint8_t> orphanSlice = {0, 0, 0, 1, 0x65, 0x88, 0x80};
    const std::string expected = "Quintell AVC-Intra Decoder: Slice refers to a missing picture parameter set.";
    avci::AvcDecoder decoder;
    std::vector<uint16_t> planar;
    dv::PictureBuffer picture;
    EXPECT_FALSE(pictureSteps::decodeAvcIntra(decoder, orphanSlice.data(), orphanSlice.size(), 38, false, false, planar,
                                              picture, 0));
    EXPECT_EQ(shown, std::vector<std::string>{expected});
    shown.clear();
    std::vector<uint8_t> bitmap;
    EXPECT_FALSE(mxf::makeIconBitmap(orphanSlice.data(), orphanSlice.size(), 38, false, bitmap));
    EXPECT_EQ(shown, std::vector<std::string>{expected});
    setNotifyHandler(previous);
}

TEST_F(AvcDecodeTest, CommandWritesDecodedFramesOrFailsOnBadInput)
{
    const Variant& v = kVariants[2];
    makeVariant(v);
    const std::filesystem::path dir = media().dir;
    CommandResult r = runVorn("codec avci-decode --format 42 --threads 2 " + shellQuote((dir / "c100_720p.264").string()) +
                              " " + shellQuote((dir / "cmd.yuv").string()));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readBytes(dir / "cmd.yuv"), media().reference[v.name]);
    r = runVorn("codec avci-decode --format 42 --null " + shellQuote((dir / "c100_720p.264").string()));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<uint8_t> cut = media().stream[v.name];
    cut.resize(cut.size() - 20000);
    writeBytes(dir / "cut.264", cut);
    r = runVorn("codec avci-decode --format 42 " + shellQuote((dir / "cut.264").string()) + " -");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.rfind("Quintell AVC-Intra Decoder: ", 0), 0u) << r.err;
    // Exactly the first frame reached standard output before the failure.
    EXPECT_EQ(r.out.size(), media().reference[v.name].size() / 2);
    r = runVorn("codec avci-decode --format 7 " + shellQuote((dir / "c100_720p.264").string()) + " --null");
    EXPECT_EQ(r.exitCode, 2);
}

} // namespace
