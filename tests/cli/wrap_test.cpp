// `vorn wrap` end to end: FFmpeg-made DIF frames of every DV format and an
// x264 AVC-Intra stream become P2 clips that our reader, ffprobe and MediaInfo
// read with the right format, rate, frame count and audio.
#include "support/TestSupport.h"
#include "mxf/MxfFile.h"

#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <regex>
#include <sstream>

namespace fs = std::filesystem;
using vorn::test::runCommand;
using vorn::test::runVorn;
using vorn::test::shellQuote;

namespace {

std::string q(const fs::path& p) { return shellQuote(p.string()); }

// ffprobe's key=value report of the first stream of a kind.
std::map<std::string, std::string> probe(const fs::path& file, const char* stream, const char* entries, bool count = false)
{
    auto r = runCommand(std::string("ffprobe -v error ") + (count ? "-count_frames " : "") + "-select_streams " + stream +
                        " -show_entries stream=" + entries + " -of default=nw=1 " + q(file));
    std::map<std::string, std::string> kv;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) kv[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return kv;
}

std::string frameMd5s(const std::string& input)
{
    auto r = runCommand("ffmpeg -v error " + input + " -map 0:v:0 -f framemd5 - | grep -v '^#' | awk -F, '{print $6}'");
    return r.out;
}

// The <media> block of a MediaInfo XML report whose ref ends with `suffix`.
std::string mediaBlock(const std::string& xml, const std::string& suffix)
{
    size_t at = xml.find(suffix + "\">");
    if (at == std::string::npos) return {};
    size_t end = xml.find("</media>", at);
    return xml.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::string field(const std::string& block, const std::string& name)
{
    std::smatch m;
    std::regex re("<" + name + ">([^<]*)</" + name + ">");
    return std::regex_search(block, m, re) ? m[1].str() : std::string();
}

std::string umidLine(const std::string& out)
{
    std::smatch m;
    return std::regex_search(out, m, std::regex("umid +([0-9A-F]{64})")) ? m[1].str() : std::string();
}

} // namespace

TEST(WrapCommand, DvFormatsReadByReaderFfprobeAndMediaInfo)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    VORN_REQUIRE_TOOL("ffprobe");
    VORN_REQUIRE_TOOL("mediainfo");
    struct Case { int code; const char* size; const char* pixfmt; const char* rate; int width, height; const char* mediaRate; };
    const Case cases[] = {
        {5, "720x480", "yuv411p", "30000/1001", 720, 480, "29.970"},
        {6, "720x576", "yuv420p", "25", 720, 576, "25.000"},
        {7, "720x576", "yuv422p", "25", 720, 576, "25.000"},
        {8, "720x480", "yuv422p", "30000/1001", 720, 480, "29.970"},
        {9, "720x576", "yuv411p", "25", 720, 576, "25.000"},
        {10, "720x480", "yuv411p", "30000/1001", 720, 480, "29.970"},
        {1, "1280x1080", "yuv422p", "30000/1001", 1280, 1080, "29.970"},
        {3, "1440x1080", "yuv422p", "25", 1440, 1080, "25.000"},
        {2, "960x720", "yuv422p", "60000/1001", 960, 720, "59.940"},
        {4, "960x720", "yuv422p", "50", 960, 720, "50.000"},
    };
    const fs::path dir = vorn::test::scratchDir("wrap_dv");
    const fs::path pcm = dir / "tone.pcm";
    ASSERT_EQ(runCommand("ffmpeg -v error -f lavfi -i sine=f=440:r=48000 -t 0.3 -f s16le -ac 1 " + q(pcm)).exitCode, 0);
    const auto pcmBytes = vorn::test::readBytes(pcm);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        const fs::path dif = dir / ("f" + std::to_string(c.code) + ".dif");
        const fs::path out = dir / ("out" + std::to_string(c.code));
        ASSERT_EQ(runCommand(std::string("ffmpeg -v error -f lavfi -i testsrc2=s=") + c.size + ":r=" + c.rate +
                             " -frames:v 3 -pix_fmt " + c.pixfmt + " -c:v dvvideo -f rawvideo " + q(dif))
                      .exitCode,
                  0);
        const std::string rate = std::string(c.rate).find('/') == std::string::npos ? std::string(c.rate) + "/1" : c.rate;
        auto r = runVorn("wrap --format " + std::to_string(c.code) + " --rate " + rate + " --timecode 00:10:00:00 --audio " +
                         q(pcm) + " --audio " + q(pcm) + " --name CLIP01 --dest " + q(out) + " " + q(dif));
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
        const fs::path contents = out / "Card1" / "CONTENTS";
        const fs::path video = contents / "VIDEO" / "CLIP01.MXF";
        const fs::path audio = contents / "AUDIO" / "CLIP0101.MXF";
        EXPECT_EQ(vorn::test::readText(out / "Card1" / "LASTCLIP.TXT"), "CLIP01\n1.0\n2\n");

        // Our reader.
        CMxfFile reader(video.string().c_str());
        ASSERT_EQ(reader.ReadHeaders(), 1);
        EXPECT_EQ(reader.VideoFormat(), c.code);
        EXPECT_EQ(reader.FrameCount(), 3);
        EXPECT_EQ(reader.TcMinutes(), 10);
        reader.m_audioSelect = 2;
        EXPECT_EQ(reader.ReadAllAudioHeaders(nullptr, 2), 2);
        reader.Close();

        // ffprobe: codec, rate, frame count; the pictures decode exactly as the raw frames do.
        auto pv = probe(video, "v:0", "codec_name,r_frame_rate,width,height,nb_read_frames", true);
        EXPECT_EQ(pv["codec_name"], "dvvideo");
        EXPECT_EQ(pv["r_frame_rate"], rate);
        EXPECT_EQ(pv["width"], std::to_string(c.width));
        EXPECT_EQ(pv["height"], std::to_string(c.height));
        EXPECT_EQ(pv["nb_read_frames"], "3");
        EXPECT_EQ(frameMd5s("-i " + q(video)), frameMd5s("-f dv -i " + q(dif)));
        auto pa = probe(audio, "a:0", "codec_name,sample_rate,channels");
        EXPECT_EQ(pa["codec_name"], "pcm_s16le");
        EXPECT_EQ(pa["sample_rate"], "48000");
        EXPECT_EQ(pa["channels"], "1");
        // The PCM comes back as written, cut to the clip's length.
        const fs::path back = dir / "back.pcm";
        ASSERT_EQ(runCommand("ffmpeg -v error -y -i " + q(audio) + " -map 0:a:0 -f s16le " + q(back)).exitCode, 0);
        const auto got = vorn::test::readBytes(back);
        const int num = rate == "25/1" ? 25 : rate == "50/1" ? 50 : rate == "30000/1001" ? 30000 : 60000;
        const int den = rate.find("1001") != std::string::npos ? 1001 : 1;
        // The audio frame sequence: 3 frames at 29.97 hold 1602 + 1601 + 1602 samples.
        const size_t expectBytes = size_t(2 * ((3ull * 48000 * den * 2 + num) / (2ull * num)));
        ASSERT_EQ(got.size(), expectBytes);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), pcmBytes.begin()));

        // MediaInfo on the card: the clip XML is a P2 clip with our global clip id;
        // the video and audio files are reported each on their own.
        auto mi = runCommand("mediainfo --Output=XML " + q(out));
        const std::string clip = mediaBlock(mi.out, "CLIP/CLIP01.XML");
        EXPECT_EQ(field(clip, "Format"), "P2 Clip") << mi.out;
        EXPECT_EQ(field(clip, "UniqueID"), umidLine(r.out));
        // Whether MediaInfo lists the clip's MXF files in a folder scan depends on how it
        // resolves the P2 clip, so read each file on its own as well.
        const std::string mv = mediaBlock(runCommand("mediainfo --Output=XML " + q(video)).out, "VIDEO/CLIP01.MXF");
        EXPECT_EQ(field(mv, "Format_Profile"), "OP-Atom");
        EXPECT_EQ(field(mv, "FrameCount"), "3");
        EXPECT_EQ(field(mv, "FrameRate"), c.mediaRate);
        EXPECT_NE(mv.find("<Format>DV</Format>"), std::string::npos);
        const std::string ma = mediaBlock(runCommand("mediainfo --Output=XML " + q(audio)).out, "AUDIO/CLIP0101.MXF");
        EXPECT_NE(ma.find("<Format>PCM</Format>"), std::string::npos);
        EXPECT_EQ(field(ma, "SamplingRate"), "48000");
        EXPECT_EQ(field(ma, "BitDepth"), "16");
    }
}

TEST(WrapCommand, AvcIntraStream)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    VORN_REQUIRE_TOOL("ffprobe");
    VORN_REQUIRE_TOOL("x264");
    VORN_REQUIRE_TOOL("mediainfo");
    const fs::path dir = vorn::test::scratchDir("wrap_avc");
    const fs::path y4m = dir / "src.y4m", h264 = dir / "c100.264", out = dir / "out";
    ASSERT_EQ(runCommand("ffmpeg -v error -f lavfi -i testsrc2=s=1920x1080:r=30000/1001 -frames:v 3 -pix_fmt yuv422p10le "
                         "-strict -1 -f yuv4mpegpipe " + q(y4m)).exitCode, 0);
    ASSERT_EQ(runCommand("x264 --quiet --avcintra-class 100 --output-csp i422 --output-depth 10 --tff --fps 30000/1001 -o " +
                         q(h264) + " " + q(y4m) + " 2>/dev/null").exitCode, 0);
    auto r = runVorn("wrap --format 38 --rate 30000/1001 --timecode 01:00:00:00d --name AVC001 --dest " + q(out) + " " + q(h264));
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const fs::path video = out / "Card1" / "CONTENTS" / "VIDEO" / "AVC001.MXF";

    CMxfFile reader(video.string().c_str());
    ASSERT_EQ(reader.ReadHeaders(), 1);
    EXPECT_EQ(reader.VideoFormat(), 38);
    EXPECT_EQ(reader.FrameCount(), 3);
    EXPECT_EQ(reader.DropFrame(), 1);
    EXPECT_EQ(reader.StartTimecode(), 107892);
    EXPECT_EQ(reader.TcHours(), 1);
    EXPECT_EQ(reader.TcMinutes(), 0);
    EXPECT_EQ(reader.TcFrames(), 0);
    EXPECT_GT(reader.FrameSize(), 0);
    EXPECT_EQ(uint64_t(reader.FrameSize()) + 2ull * uint64_t(reader.LaterFrameSize()), fs::file_size(h264));
    reader.Close();

    auto pv = probe(video, "v:0", "codec_name,profile,r_frame_rate,nb_read_frames", true);
    EXPECT_EQ(pv["codec_name"], "h264");
    EXPECT_EQ(pv["profile"], "High 4:2:2 Intra");
    EXPECT_EQ(pv["r_frame_rate"], "30000/1001");
    EXPECT_EQ(pv["nb_read_frames"], "3");
    EXPECT_EQ(frameMd5s("-i " + q(video)), frameMd5s("-i " + q(h264)));
    const std::string xml = vorn::test::readText(out / "Card1" / "CONTENTS" / "CLIP" / "AVC001.XML");
    EXPECT_NE(xml.find("<Codec Class=\"100\">AVC-I_1080/59.94i</Codec>"), std::string::npos);
    EXPECT_NE(xml.find("<FrameRate DropFrameFlag=\"true\">59.94i</FrameRate>"), std::string::npos);
    auto mi = runCommand("mediainfo --Output=XML " + q(out));
    const std::string clip = mediaBlock(mi.out, "CLIP/AVC001.XML");
    EXPECT_EQ(field(clip, "Format"), "P2 Clip");
    EXPECT_EQ(field(clip, "UniqueID"), umidLine(r.out));
    const std::string mv = mediaBlock(runCommand("mediainfo --Output=XML " + q(video)).out, "VIDEO/AVC001.MXF");
    EXPECT_NE(mv.find("<Format>AVC</Format>"), std::string::npos) << mi.out;
    EXPECT_EQ(field(mv, "FrameCount"), "3");
}

TEST(WrapCommand, StreamWithoutDelimiters)
{
    // x264 writes no access unit delimiters unless asked: units are found from the slices.
    VORN_REQUIRE_TOOL("ffmpeg");
    VORN_REQUIRE_TOOL("x264");
    const fs::path dir = vorn::test::scratchDir("wrap_noaud");
    const fs::path y4m = dir / "src.y4m", h264 = dir / "intra.264", out = dir / "out";
    ASSERT_EQ(runCommand("ffmpeg -v error -f lavfi -i testsrc2=s=320x240:r=25 -frames:v 4 -pix_fmt yuv420p "
                         "-f yuv4mpegpipe " + q(y4m)).exitCode, 0);
    ASSERT_EQ(runCommand("x264 --quiet --keyint 1 --fps 25 -o " + q(h264) + " " + q(y4m) + " 2>/dev/null").exitCode, 0);
    const auto bytes = vorn::test::readBytes(h264);
    for (size_t i = 0; i + 3 < bytes.size(); ++i)
        ASSERT_FALSE(bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1 && (bytes[i + 3] & 0x1F) == 9)
            << "the stream has a delimiter";
    auto r = runVorn("wrap --format 39 --rate 25 --name NOAUD --dest " + q(out) + " " + q(h264));
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    CMxfFile reader((out / "Card1" / "CONTENTS" / "VIDEO" / "NOAUD.MXF").string().c_str());
    ASSERT_EQ(reader.ReadHeaders(), 1);
    EXPECT_EQ(reader.FrameCount(), 4);
    std::vector<uint8_t> first(size_t(reader.FrameSize()));
    ASSERT_EQ(reader.ReadFrame(first, 0), reader.FrameSize());
    // The first frame is the stream's first access unit: it ends where the second picture's first NAL begins.
    EXPECT_TRUE(std::equal(first.begin(), first.end(), bytes.begin()));
    reader.Close();
}

TEST(WrapCommand, BadInputs)
{
    const fs::path dir = vorn::test::scratchDir("wrap_bad");
    vorn::test::writeBytes(dir / "short.dif", std::vector<uint8_t>(1000, 0));
    vorn::test::writeBytes(dir / "noaud.264", std::vector<uint8_t>(1000, 0));
    struct Case { std::string args; int exit; const char* text; };
    const Case cases[] = {
        {"--format 9 --rate 25 --dest " + q(dir / "o") + " " + q(dir / "short.dif"), 1, "not a whole number"},
        {"--format 38 --rate 25 --dest " + q(dir / "o") + " " + q(dir / "noaud.264"), 1, "no access units"},
        {"--format 11 --rate 25 --dest " + q(dir / "o") + " " + q(dir / "short.dif"), 2, "--format"},
        {"--format 9 --rate 25/0 --dest " + q(dir / "o") + " " + q(dir / "short.dif"), 2, "--rate"},
        {"--format 9 --rate 25 --timecode 1:2 --dest " + q(dir / "o") + " " + q(dir / "short.dif"), 2, "--timecode"},
        {"--format 9 --rate 25 --timecode 00:00:00:00d --dest " + q(dir / "o") + " " + q(dir / "short.dif"), 2, "drop"},
        // Labels that drop-frame counting skips.
        {"--format 10 --rate 30000/1001 --timecode 00:01:00:00d --dest " + q(dir / "o") + " " + q(dir / "short.dif"), 2,
         "does not exist in drop-frame counting"},
        {"--format 10 --rate 30000/1001 --timecode 01:59:00:01d --dest " + q(dir / "o") + " " + q(dir / "short.dif"), 2,
         "does not exist in drop-frame counting"},
        {"--format 9 --rate 25 --dest " + q(dir / "o") + " " + q(dir / "missing.dif"), 1, "Cannot open"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        auto r = runVorn("wrap " + c.args);
        EXPECT_EQ(r.exitCode, c.exit) << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(c.text), std::string::npos) << r.out << r.err;
    }
    EXPECT_FALSE(fs::exists(dir / "o" / "Card1" / "CONTENTS" / "VIDEO"));
}

TEST(WrapCommand, NewClipXmlIsDatedNow)
{
    // The dates of the new clip's metadata are the time it was written, in
    // UTC as their "+00:00" says.
    const fs::path dir = vorn::test::scratchDir("wrap_dates");
    vorn::test::writeBytes(dir / "one.dif", std::vector<uint8_t>(144000, 0));
    const std::time_t before = std::time(nullptr);
    auto r = runVorn("wrap --format 9 --rate 25/1 --name DATE01 --dest " + q(dir / "out") + " " + q(dir / "one.dif"));
    const std::time_t after = std::time(nullptr);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const std::string xml = vorn::test::readText(dir / "out" / "Card1" / "CONTENTS" / "CLIP" / "DATE01.XML");
    int found = 0;
    for (const char* tag : {"CreationDate", "LastUpdateDate", "StartDate", "EndDate"}) {
        SCOPED_TRACE(tag);
        std::smatch m;
        const std::regex re(std::string("<") + tag + ">(\\d{4})-(\\d{2})-(\\d{2})T(\\d{2}):(\\d{2}):(\\d{2})\\+00:00</");
        ASSERT_TRUE(std::regex_search(xml, m, re)) << xml;
        std::tm t{};
        t.tm_year = std::stoi(m[1]) - 1900;
        t.tm_mon = std::stoi(m[2]) - 1;
        t.tm_mday = std::stoi(m[3]);
        t.tm_hour = std::stoi(m[4]);
        t.tm_min = std::stoi(m[5]);
        t.tm_sec = std::stoi(m[6]);
        const std::time_t when = timegm(&t);
        EXPECT_GE(when, before);
        EXPECT_LE(when, after);
        ++found;
    }
    EXPECT_EQ(found, 4);
}
