// The output clip XML: the exact documents, carried-over values from the
// source clip XML, the start timecode conversion, and bad sources.
#include "export_helpers.h"

#include "dv/DvSystemData.h"
#include "mxf/MxfClip.h"

#include <gtest/gtest.h>

#include <ctime>
#include <regex>

namespace fs = std::filesystem;
using namespace vorn::mxf;
using vorn::test::ExportTest;

namespace {
const char* kUmidHex = "A0A1A2A3A4A5A6A7A8A90DABACADAEAFB0B1B2B3B4B5B6B7B8B9BABBBCBDBEBF";
const char* kDefaultMetadata =
    "\t\t<ClipMetadata>\n"
    "\t\t\t<DataSource>SHOOTING</DataSource>\n"
    "\t\t\t<Access>\n"
    "\t\t\t\t<CreationDate>NOW</CreationDate>\n"
    "\t\t\t\t<LastUpdateDate>NOW</LastUpdateDate>\n"
    "\t\t\t</Access>\n"
    "\t\t\t<Shoot>\n"
    "\t\t\t\t<StartDate>NOW</StartDate>\n"
    "\t\t\t\t<EndDate>NOW</EndDate>\n"
    "\t\t\t</Shoot>\n"
    "\t\t\t<Thumbnail>\n"
    "\t\t\t\t<FrameOffset>0</FrameOffset>\n"
    "\t\t\t\t<ThumbnailFormat>BMP</ThumbnailFormat>\n"
    "\t\t\t\t<Width>80</Width>\n"
    "\t\t\t\t<Height>60</Height>\n"
    "\t\t\t</Thumbnail>\n"
    "\t\t</ClipMetadata>\n";

std::string audioBlock(const char* size)
{
    return std::string("\t\t\t<Audio>\n\t\t\t\t<AudioFormat>MXF</AudioFormat>\n\t\t\t\t<SamplingRate>48000</SamplingRate>\n"
                       "\t\t\t\t<BitsPerSample>16</BitsPerSample>\n\t\t\t\t<AudioIndex>\n"
                       "\t\t\t\t\t<StartByteOffset>32768</StartByteOffset>\n\t\t\t\t\t<DataSize>") +
           size + "</DataSize>\n\t\t\t\t</AudioIndex>\n\t\t\t</Audio>\n";
}

std::string head(const char* name, const char* duration, const char* unit)
{
    return std::string("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\n"
                       "<P2Main xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                       "xmlns=\"urn:schemas-Professional-Plug-in:P2:ClipMetadata:v3.1\">\n"
                       "\t<ClipContent>\n\t\t<ClipName>") +
           name + "</ClipName>\n\t\t<GlobalClipID>" + kUmidHex + "</GlobalClipID>\n\t\t<Duration>" + duration +
           "</Duration>\n\t\t<EditUnit>" + unit + "</EditUnit>\n\t\t<EssenceList>\n";
}

const char* kTail = "\t</ClipContent>\n</P2Main>\n";

// The text with every date of a new ClipMetadata checked to be a UTC time of
// the test's run (from `since` on) and replaced by NOW.
std::string datesChecked(const std::string& text, std::time_t since)
{
    const std::time_t until = std::time(nullptr);
    const std::regex date("<(CreationDate|LastUpdateDate|StartDate|EndDate)>"
                          "(\\d{4})-(\\d{2})-(\\d{2})T(\\d{2}):(\\d{2}):(\\d{2})\\+00:00<");
    std::string out;
    auto from = text.cbegin();
    for (std::sregex_iterator it(text.begin(), text.end(), date), end; it != end; ++it) {
        const std::smatch& m = *it;
        std::tm t{};
        t.tm_year = std::stoi(m[2]) - 1900;
        t.tm_mon = std::stoi(m[3]) - 1;
        t.tm_mday = std::stoi(m[4]);
        t.tm_hour = std::stoi(m[5]);
        t.tm_min = std::stoi(m[6]);
        t.tm_sec = std::stoi(m[7]);
        const std::time_t when = timegm(&t);
        EXPECT_GE(when, since) << m[0];
        EXPECT_LE(when, until) << m[0];
        out.append(from, m[0].first);
        out += "<" + m[1].str() + ">NOW<";
        from = m[0].second;
    }
    out.append(from, text.cend());
    return out;
}
} // namespace

class ClipXmlTest : public ExportTest {
protected:
    std::unique_ptr<CExportMxf> exporter(int code, uint32_t num, uint32_t den, const std::string& source = "/none/CONTENTS/VIDEO/SRC001.MXF")
    {
        auto e = std::make_unique<CExportMxf>(source, vorn::test::scratchDir("clipxml_out").string());
        useFreeBytes(*e);
        e->SetBaseUmid(fixedUmid());
        e->SetFormatCode(code);
        e->SetRateNumerator(num);
        e->SetRateDenominator(den);
        return e;
    }
};

TEST_F(ClipXmlTest, ExactDvDocument)
{
    auto e = exporter(3, 25, 1);
    e->SetTimecode(10, 0, 0, 0, 900000, 25, 0);
    e->SetBinaryGroup(0x12AB00FF);
    fs::path out = vorn::test::scratchDir("clipxml_dv") / "0001AB.XML";
    const std::time_t since = std::time(nullptr);
    ASSERT_TRUE(e->UpdateClipXml("", out, "0001AB", 250, "unchanged", 2, false).ok());
    const std::string expect = head("0001AB", "250", "1/25") +
                               "\t\t\t<Video ValidAudioFlag=\"false\">\n"
                               "\t\t\t\t<VideoFormat>MXF</VideoFormat>\n"
                               "\t\t\t\t<Codec>DV100_1080/50i</Codec>\n"
                               "\t\t\t\t<FrameRate>50i</FrameRate>\n"
                               "\t\t\t\t<StartTimecode>10:00:00:00</StartTimecode>\n"
                               "\t\t\t\t<StartBinaryGroup>12AB00FF</StartBinaryGroup>\n"
                               "\t\t\t\t<AspectRatio>4:3</AspectRatio>\n"
                               "\t\t\t\t<VideoIndex>\n"
                               "\t\t\t\t\t<StartByteOffset>32768</StartByteOffset>\n"
                               "\t\t\t\t\t<DataSize>144000000</DataSize>\n"
                               "\t\t\t\t</VideoIndex>\n"
                               "\t\t\t</Video>\n" +
                               audioBlock("960000") + audioBlock("960000") + "\t\t</EssenceList>\n" + kDefaultMetadata + kTail;
    EXPECT_EQ(datesChecked(vorn::test::readText(out), since), expect);
}

TEST_F(ClipXmlTest, ExactAvcIntraDocument)
{
    auto e = exporter(38, 30000, 1001);
    e->SetTimecode(1, 0, 0, 0, 107892, 30, 1);
    e->SetFrameSize(600000);
    e->SetLaterFrameSize(575488);
    fs::path out = vorn::test::scratchDir("clipxml_avc") / "0002XY.XML";
    const std::time_t since = std::time(nullptr);
    ASSERT_TRUE(e->UpdateClipXml("", out, "0002XY", 300, "2:3", 1, true).ok());
    const std::string expect = head("0002XY", "300", "1001/30000") +
                               "\t\t\t<Video ValidAudioFlag=\"false\">\n"
                               "\t\t\t\t<VideoFormat>MXF</VideoFormat>\n"
                               "\t\t\t\t<Codec Class=\"100\">AVC-I_1080/59.94i</Codec>\n"
                               "\t\t\t\t<FrameRate DropFrameFlag=\"true\">59.94i</FrameRate>\n"
                               "\t\t\t\t<StartTimecode>01:00:00:00</StartTimecode>\n"
                               "\t\t\t\t<StartBinaryGroup>00000000</StartBinaryGroup>\n"
                               "\t\t\t\t<Pulldown>2:3</Pulldown>\n"
                               "\t\t\t\t<AspectRatio>16:9</AspectRatio>\n"
                               "\t\t\t\t<VideoIndex>\n"
                               "\t\t\t\t\t<StartByteOffset>32768</StartByteOffset>\n"
                               "\t\t\t\t\t<DataSize>172670912</DataSize>\n"
                               "\t\t\t\t</VideoIndex>\n"
                               "\t\t\t</Video>\n" +
                               audioBlock("960960") + "\t\t</EssenceList>\n" + kDefaultMetadata + kTail;
    EXPECT_EQ(datesChecked(vorn::test::readText(out), since), expect);
    // AVC-Intra 50 is class 50; one frame counts the first frame size only.
    auto e50 = exporter(33, 25, 1);
    e50->SetFrameSize(1000);
    e50->SetLaterFrameSize(900);
    ASSERT_TRUE(e50->UpdateClipXml("", out, "X", 1, "", 0, true).ok());
    const std::string t = vorn::test::readText(out);
    EXPECT_NE(t.find("<Codec Class=\"50\">AVC-I_1080/50i</Codec>"), std::string::npos);
    EXPECT_NE(t.find("<FrameRate>50i</FrameRate>"), std::string::npos);
    EXPECT_NE(t.find("<DataSize>1000</DataSize>"), std::string::npos);
    EXPECT_EQ(t.find("<Audio>"), std::string::npos);
    EXPECT_EQ(t.find("<Pulldown>"), std::string::npos);
}

TEST_F(ClipXmlTest, CarriesOverFromTheSourceXml)
{
    // A source card whose clip XML is Shift-JIS with Japanese metadata text.
    fs::path src = vorn::test::scratchDir("clipxml_src");
    fs::create_directories(src / "CONTENTS" / "CLIP");
    const std::string sourceXml =
        "<?xml version=\"1.0\" encoding=\"Shift-JIS\" standalone=\"no\"?>\n"
        "<P2Main xmlns=\"urn:schemas-Professional-Plug-in:P2:ClipMetadata:v3.1\">\n"
        "<ClipContent><ClipName>SRC001</ClipName>"
        "<EssenceList><Video><StartTimecode>01:00:00;00</StartTimecode><Pulldown>2:3:3:2</Pulldown></Video></EssenceList>"
        "<ClipMetadata><UserClipName>\x93\xFA\x96\x7B &amp; more</UserClipName><Access><Creator>cam</Creator></Access>"
        "</ClipMetadata></ClipContent></P2Main>\n";
    vorn::test::writeText(src / "CONTENTS" / "CLIP" / "SRC001.XML", sourceXml);
    const std::string sourcePath = (src / "CONTENTS" / "VIDEO" / "SRC001.MXF").string();

    auto e = exporter(9, 25, 1, sourcePath);
    EXPECT_EQ(e->SourceClipXmlPath(), src / "CONTENTS" / "CLIP" / "SRC001.XML");
    e->SetSourceTimecodeBase(30);
    e->SetSourceDropFrame(1);
    fs::path out = vorn::test::scratchDir("clipxml_carry") / "0001AB.XML";
    ASSERT_TRUE(e->UpdateClipXml(e->SourceClipXmlPath(), out, "0001AB", 10, "unchanged", 0, true).ok());
    const std::string t = vorn::test::readText(out);
    EXPECT_NE(t.find("\t\t<ClipMetadata>\n"
                     "\t\t\t<UserClipName>\xE6\x97\xA5\xE6\x9C\xAC &amp; more</UserClipName>\n"
                     "\t\t\t<Access>\n\t\t\t\t<Creator>cam</Creator>\n\t\t\t</Access>\n"
                     "\t\t</ClipMetadata>\n"),
              std::string::npos)
        << t;
    EXPECT_EQ(t.find("SHOOTING"), std::string::npos);
    EXPECT_NE(t.find("<Pulldown>2:3:3:2</Pulldown>"), std::string::npos);
    // 01:00:00;00 drop frame at 30 (frame 107892) is an hour at 25 frames a second.
    EXPECT_NE(t.find("<StartTimecode>01:00:00:00</StartTimecode>"), std::string::npos) << t;
    EXPECT_EQ(e->timecodeStart(), 90000);
    EXPECT_EQ(e->timecodeBase(), 25);
    EXPECT_EQ(e->timecodeDrop(), 0);

    // A given pulldown text replaces the source's.
    ASSERT_TRUE(e->UpdateClipXml(e->SourceClipXmlPath(), out, "0001AB", 10, "2:2", 0, true).ok());
    EXPECT_NE(vorn::test::readText(out).find("<Pulldown>2:2</Pulldown>"), std::string::npos);

    // An empty ClipMetadata and no Pulldown: new metadata and no Pulldown.
    vorn::test::writeText(src / "CONTENTS" / "CLIP" / "SRC001.XML",
                          "<P2Main><ClipContent><ClipMetadata/></ClipContent></P2Main>");
    const std::time_t since = std::time(nullptr);
    ASSERT_TRUE(e->UpdateClipXml(e->SourceClipXmlPath(), out, "0001AB", 10, "unchanged", 0, true).ok());
    const std::string t2 = datesChecked(vorn::test::readText(out), since);
    EXPECT_NE(t2.find(kDefaultMetadata), std::string::npos);
    EXPECT_EQ(t2.find("<Pulldown>"), std::string::npos);
}

TEST_F(ClipXmlTest, SourceThatIsNotAClipDocument)
{
    fs::path src = vorn::test::scratchDir("clipxml_bad");
    fs::create_directories(src / "CONTENTS" / "CLIP");
    const std::string sourcePath = (src / "CONTENTS" / "VIDEO" / "SRC001.MXF").string();
    for (const char* text : {"<Other><ClipContent/></Other>", "<P2Main><ClipContent>", "<P2Main>&unknown;</P2Main>"}) {
        SCOPED_TRACE(text);
        messages.clear();
        vorn::test::writeText(src / "CONTENTS" / "CLIP" / "SRC001.xml", text);
        auto e = exporter(9, 25, 1, sourcePath);
        fs::path out = vorn::test::scratchDir("clipxml_bad_out") / "0001AB.XML";
        EXPECT_FALSE(e->UpdateClipXml(e->SourceClipXmlPath(), out, "0001AB", 10, "unchanged", 0, true).ok());
        collect(*e);
        EXPECT_FALSE(fs::exists(out));
        EXPECT_EQ(messages.size(), 1u);
        // Open refuses the clip as well.
        fs::path card = vorn::test::scratchDir("clipxml_bad_open");
        ClipRequest request;
        request.source = sourcePath;
        auto r = exportClip(card, request);
        EXPECT_EQ(r.opened, 0);
        // Nothing is left behind: no empty MXF file, not even the card folder.
        EXPECT_TRUE(fs::is_empty(card)) << (fs::exists(card / "Card1") ? "Card1 left" : "");
    }
}

TEST_F(ClipXmlTest, StartTimecodeConversion)
{
    // The start is carried over as the time its label tells (a drop-frame
    // label tells the time of day); between equal bases the count is kept and
    // labelled in its own counting. The text, the start and the running DV
    // time code name the same frame.
    struct Case { uint32_t num, den; int64_t S; int b, d; const char* given; const char* text; int64_t start;
                  int base, drop; int h, m, s, f; };
    const Case cases[] = {
        {25, 1, 108000, 30, 1, "src", "01:00:03:15", 90090, 25, 0, 1, 0, 3, 15},
        {30000, 1001, 270, 25, 0, "src", "00:00:10:24", 324, 30, 0, 0, 0, 10, 24},
        // Drop-frame count 108000 is 01:00:03;18 (108 frames past the hour).
        {30000, 1001, 108000, 30, 1, "src", "01:00:03:18", 108000, 30, 1, 1, 0, 3, 18},
        {60000, 1001, 1800, 30, 0, "src", "00:01:00:00", 1800, 30, 0, 0, 1, 0, 0},
        {25, 1, 36, 24, 0, "src", "00:00:01:12", 37, 25, 0, 0, 0, 1, 12},
        {50, 1, 30, 30, 1, "src", "00:00:01:00", 25, 25, 0, 0, 0, 1, 0},
        // The source's own text is kept when it names the start frame.
        {30000, 1001, 18010, 30, 1, "00:10:00;28", "00:10:00;28", 18010, 30, 1, 0, 10, 0, 28},
        {30000, 1001, 1800, 30, 1, "00:01:00;00", "00:01:00:02", 1800, 30, 1, 0, 1, 0, 2},
        // 59.94p counted in 60 (four labels dropped a minute) to a count in 30.
        {60000, 1001, 3600, 60, 1, "src", "00:01:00:02", 1800, 30, 1, 0, 1, 0, 2},
        // 00:10:00;28 is 10 minutes and 28/30 s: frame 22 of the second at 24.
        {24000, 1001, 18010, 30, 1, "src", "00:10:00:22", 14422, 24, 0, 0, 10, 0, 22},
        // Late in the day a drop-frame label and its count's time differ by
        // more than two frames; the label's time is kept.
        {25, 1, 2481516, 30, 1, "src", "23:00:00:00", 2070000, 25, 0, 23, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.S << " in " << c.b << (c.d ? " drop" : "") << " to " << c.num);
        auto e = exporter(9, c.num, c.den);
        e->SetTimecodeText(c.given);
        e->ConvertStartTimecode(c.S, c.b, c.d);
        EXPECT_EQ(e->timecodeText(), c.text);
        EXPECT_EQ(e->timecodeStart(), c.start);
        EXPECT_EQ(e->timecodeBase(), c.base);
        EXPECT_EQ(e->timecodeDrop(), c.drop);
        auto tc = *e->runningTimecode();
        EXPECT_EQ(tc.hours(), c.h);
        EXPECT_EQ(tc.minutes(), c.m);
        EXPECT_EQ(tc.seconds(), c.s);
        EXPECT_EQ(tc.frames(), c.f);
        EXPECT_EQ(tc.dropFrame, c.drop != 0);
    }
}

TEST_F(ClipXmlTest, RunningTimecodeStartsAtTheLabelOfTheStartFrameCount)
{
    // The export driver hands over the source's start as a frame count; the
    // writer's running time code starts at its label, drop-frame labels
    // skipping frames 0 and 1 of minutes not divisible by ten.
    struct Case { int64_t start; int base, drop; int h, m, s, f; };
    const Case cases[] = {
        {107892, 30, 1, 1, 0, 0, 0},
        {1800, 30, 1, 0, 1, 0, 2},
        {17982, 30, 1, 0, 10, 0, 0},
        {1799, 30, 1, 0, 0, 59, 29},
        {108000, 30, 0, 1, 0, 0, 0},
        {90000 + 24, 25, 0, 1, 0, 0, 24},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.start);
        auto e = exporter(10, 30000, 1001);
        e->SetTimecode(-1, -1, -1, -1, c.start, c.base, c.drop);
        const auto& tc = *e->runningTimecode();
        EXPECT_EQ(tc.hours(), c.h);
        EXPECT_EQ(tc.minutes(), c.m);
        EXPECT_EQ(tc.seconds(), c.s);
        EXPECT_EQ(tc.frames(), c.f);
        EXPECT_EQ(tc.dropFrame, c.drop != 0);
    }
}

TEST_F(ClipXmlTest, WritesOnlyWhatTheReaderTakes)
{
    // A source ClipMetadata the reader takes but that, written with our
    // indentation, would make a clip XML the reader refuses (too large): the
    // clip gets a new ClipMetadata instead.
    fs::path src = vorn::test::scratchDir("clipxml_huge_src");
    fs::create_directories(src / "CONTENTS" / "CLIP");
    std::string meta = "<ClipMetadata>";
    for (int i = 0; i < 240; ++i) meta += "<d>";
    for (int i = 0; i < 60000; ++i) meta += "<e/>";
    for (int i = 0; i < 240; ++i) meta += "</d>";
    meta += "</ClipMetadata>";
    vorn::test::writeText(src / "CONTENTS" / "CLIP" / "SRC001.XML",
                          "<P2Main><ClipContent><ClipName>SRC001</ClipName>" + meta + "</ClipContent></P2Main>");
    XmlDocument source;
    ASSERT_EQ(source.load(src / "CONTENTS" / "CLIP" / "SRC001.XML", "P2Main"), kXmlOk);

    auto e = exporter(9, 25, 1, (src / "CONTENTS" / "VIDEO" / "SRC001.MXF").string());
    fs::path out = vorn::test::scratchDir("clipxml_huge_out") / "0001AB.XML";
    ASSERT_TRUE(e->UpdateClipXml(e->SourceClipXmlPath(), out, "0001AB", 10, "unchanged", 0, true).ok());
    EXPECT_LE(fs::file_size(out), kXmlMaxFileBytes);
    XmlDocument back;
    ASSERT_EQ(back.load(out, "P2Main"), kXmlOk);
    EXPECT_EQ(back.topElement().child("ClipContent").child("ClipMetadata").child("DataSource").text(), "SHOOTING");

    // A small source ClipMetadata is still carried over.
    vorn::test::writeText(src / "CONTENTS" / "CLIP" / "SRC001.XML",
                          "<P2Main><ClipContent><ClipMetadata><d><e/></d></ClipMetadata></ClipContent></P2Main>");
    ASSERT_TRUE(e->UpdateClipXml(e->SourceClipXmlPath(), out, "0001AB", 10, "unchanged", 0, true).ok());
    EXPECT_NE(vorn::test::readText(out).find("\t\t<ClipMetadata>\n\t\t\t<d>\n\t\t\t\t<e>\n"), std::string::npos);

    // A source clip XML of too many elements is no clip XML: refused.
    std::string many = "<P2Main><ClipContent>";
    for (size_t i = 0; i < kXmlMaxNodes; ++i) many += "<e/>";
    vorn::test::writeText(src / "CONTENTS" / "CLIP" / "SRC001.XML", many + "</ClipContent></P2Main>");
    messages.clear();
    EXPECT_FALSE(e->UpdateClipXml(e->SourceClipXmlPath(), out, "0001AB", 10, "unchanged", 0, true).ok());
    collect(*e);
    EXPECT_EQ(messages.size(), 1u);
}

TEST_F(ClipXmlTest, ClipNameThatIsNotUtf8)
{
    // The clip XML is UTF-8 whatever the file name's bytes: those that are
    // not UTF-8 are shown as U+FFFD; valid names are written as they are.
    struct Case { std::string name, xmlName; };
    const Case cases[] = {
        {"0001AB", "0001AB"},
        {"\xE6\x97\xA5\xE6\x9C\xAC", "\xE6\x97\xA5\xE6\x9C\xAC"},
        {"clip\xFF", "clip\xEF\xBF\xBD"},
        {"\x93\xFA\x96\x7B", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD{"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto e = exporter(9, 25, 1);
        fs::path out = vorn::test::scratchDir("clipxml_name") / "CLIP.XML";
        ASSERT_TRUE(e->UpdateClipXml("", out, c.name, 10, "", 0, true).ok());
        XmlDocument back;
        ASSERT_EQ(back.load(out, "P2Main"), kXmlOk);
        EXPECT_EQ(back.sourceEncoding, XmlEncoding::Utf8);
        EXPECT_EQ(back.topElement().child("ClipContent").child("ClipName").text(), c.xmlName);
    }
}
