// The time-code track of written clips: every duration in its own edit rate,
// so that the time code spans exactly the clip (read by MediaInfo and by
// walking the written file) at 59.94p, 50p and 59.94i.
#include "export_helpers.h"
#include "writer_klv.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace fs = std::filesystem;
using namespace vorn::mxf;
using vorn::test::ExportTest;
namespace klv = vorn::test::klv;

namespace {

// MediaInfo's first and last time code of the file's time-code track.
std::pair<std::string, std::string> mediaInfoTimecodes(const fs::path& file)
{
    const auto r = vorn::test::runCommand("mediainfo --Output=JSON " + vorn::test::shellQuote(file.string()));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const auto j = nlohmann::json::parse(r.out, nullptr, false);
    if (j.is_discarded() || !j.contains("media")) return {};
    for (const auto& t : j["media"]["track"])
        if (t.value("@type", "") == "Other" && t.contains("TimeCode_FirstFrame"))
            return {t.value("TimeCode_FirstFrame", ""), t.value("TimeCode_LastFrame", "")};
    return {};
}

} // namespace

TEST_F(ExportTest, TimecodeTrackSpansTheClip)
{
    VORN_REQUIRE_TOOL("mediainfo");
    struct Case {
        const char* name;
        int code;
        uint32_t num, den;
        int64_t frames;
        int base;
        const char* first;
        const char* last;
    };
    const Case cases[] = {
        // 20 pictures at 59.94p are 10 frames of a 30-frame time code.
        {"720p59.94", 2, 60000, 1001, 20, 30, "01:00:00:00", "01:00:00:09"},
        {"720p50", 4, 50, 1, 20, 25, "01:00:00:00", "01:00:00:09"},
        {"1080i59.94", 1, 30000, 1001, 10, 30, "01:00:00:00", "01:00:00:09"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path out = vorn::test::scratchDir(std::string("tc_track_") + std::to_string(c.code));
        CExportMxf e("/none/CONTENTS/VIDEO/SRC001.MXF", out.string());
        useFreeBytes(e);
        e.SetClipName("0001AB");
        e.SetBaseUmid(fixedUmid());
        e.SetFormatCode(c.code);
        e.SetFrameCount(c.frames);
        e.SetRateNumerator(c.num);
        e.SetRateDenominator(c.den);
        e.SetFrameSize(dvBytes(c.code));
        e.SetTimecode(1, 0, 0, 0, int64_t(3600) * c.base, c.base, 0);
        const vorn::Status opened = e.Open(0, true);
        ASSERT_TRUE(opened.ok()) << opened.text();
        ASSERT_TRUE(e.BeginClip(c.frames, c.den, c.num, true, 0).ok());
        std::vector<uint8_t> frame(dvBytes(c.code), 0);
        for (int64_t i = 0; i < c.frames; ++i) ASSERT_TRUE(e.WriteVideo(frame.data(), frame.size()).ok());
        ASSERT_TRUE(e.Close().ok());

        const auto [first, last] = mediaInfoTimecodes(e.videoPath());
        EXPECT_EQ(first, c.first);
        EXPECT_EQ(last, c.last);

        // The material package's time-code track, sequence and component: the
        // same time as the picture track, each in the time code's edit rate.
        const auto d = vorn::test::readBytes(e.videoPath());
        const auto pk = klv::walk(d);
        ASSERT_GT(pk.size(), 9u);
        const auto track = klv::items(d, pk[7]);
        const auto rate = klv::find(track, 0x4B01);
        ASSERT_NE(rate, nullptr);
        const uint64_t tcNum = klv::be(rate->value.data(), 4), tcDen = klv::be(rate->value.data() + 4, 4);
        for (size_t set : {size_t{8}, size_t{9}}) {
            const uint64_t duration = klv::num(klv::items(d, pk[set]), 0x0202);
            EXPECT_EQ(duration * tcDen * c.num, uint64_t(c.frames) * c.den * tcNum) << "set " << set;
        }
    }
}
