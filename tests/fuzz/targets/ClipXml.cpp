// The clip XML: four control bytes (output format, rate, pulldown, audio
// channels, timecodes), then the source clip's XML document. The document is
// parsed on its own (whatever is accepted writes out and reads back the same),
// then taken as a card's source clip XML by the exporter, whose output clip
// XML must always read back as a clip document.
#include "FuzzTargets.h"

#include "mxf/ExportMxf.h"
#include "mxf/MxfClip.h"
#include "mxf/XmlNode.h"

#include <memory>

namespace vorn::fuzz {

using namespace vorn::mxf;

namespace {

int parseExact(XmlDocument& doc, std::span<const uint8_t> bytes)
{
    // An exactly sized copy, so that reading past the end is caught.
    auto buf = std::make_unique<char[]>(bytes.size() ? bytes.size() : 1);
    std::copy(bytes.begin(), bytes.end(), buf.get());
    return doc.parse(std::string_view(buf.get(), bytes.size()), "P2Main");
}

struct Rate {
    uint32_t num, den;
};

} // namespace

void runClipXml(const uint8_t* data, size_t size)
{
    ControlBytes control(data, size);
    static constexpr int kCodes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 0, 11};
    static constexpr Rate kRates[] = {{24000, 1001}, {24, 1}, {25, 1}, {30000, 1001}, {50, 1}, {60000, 1001}, {30, 1}, {0, 0}};
    static constexpr const char* kPulldowns[] = {"unchanged", "", "2:2", "2:3", "2:3:3:2", "unchanged", "unchanged", ""};
    static constexpr int kBases[] = {0, 24, 25, 30, 50, 60, 30, -1};
    const uint8_t b0 = control.next(), b1 = control.next(), b2 = control.next(), b3 = control.next();
    const int code = kCodes[b0 % std::size(kCodes)];
    const Rate rate = kRates[b1 & 7];
    const char* pulldown = kPulldowns[(b1 >> 3) & 7];
    const int audioChannels = b2 % 9;
    const bool wide = b2 & 0x80;
    const int base = kBases[b3 & 7];
    const int drop = (b3 >> 3) & 1;
    const int sourceBase = kBases[(b3 >> 4) & 7];
    const int64_t frames = (b2 & 0x40) ? int64_t{1} << 33 : (b1 >> 6) * 1000 + 1;
    const std::span<const uint8_t> xml(data, size);

    XmlDocument doc;
    const int rc = parseExact(doc, xml);
    if (rc == kXmlOk) {
        FUZZ_CHECK(!doc.topElement().isNull());
        const std::string out = doc.serialize();
        XmlDocument again;
        FUZZ_CHECK(parseExact(again, std::span(reinterpret_cast<const uint8_t*>(out.data()), out.size())) == kXmlOk);
        FUZZ_CHECK(again.serialize() == out);
    } else {
        FUZZ_CHECK(doc.topElement().isNull());
    }

    ScratchFolder scratch;
    const auto source = scratch.path() / "CONTENTS" / "VIDEO" / "SRC001.MXF";
    scratch.write(std::filesystem::path("CONTENTS") / "CLIP" / "SRC001.XML", xml);
    CExportMxf exporter(source.string(), (scratch.path() / "OUT").string());
    exporter.SetFormatCode(code);
    exporter.SetRateNumerator(rate.num);
    exporter.SetRateDenominator(rate.den);
    exporter.SetFrameSize(b3 & 0x80 ? 0xFFFFFFFFu : 600000);
    exporter.SetLaterFrameSize(575488);
    exporter.SetTimecode(-1, 0, 0, 0, (int64_t{b0} << 16) | b1, base, drop);
    exporter.SetSourceTimecodeBase(sourceBase);
    exporter.SetSourceDropFrame(drop);
    const auto output = scratch.path() / "0001AB.XML";
    const int written = exporter.UpdateClipXml(exporter.SourceClipXmlPath(), output, "0001AB", frames, pulldown,
                                               audioChannels, wide)
                            .ok()
                            ? 1
                            : 0;
    if (rc == kXmlOk)
        FUZZ_CHECK(written == 1);
    if (written == 1) {
        CMxfClip result;
        FUZZ_CHECK(result.LoadXml(output) == kXmlOk);
        FUZZ_CHECK(result.document().topElement().child("ClipContent").child("ClipName").text() == "0001AB");
    }
}

std::vector<Bytes> clipXmlSeeds()
{
    const std::string docs[] = {
        "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\n"
        "<!-- comment -->\n"
        "<P2Main xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
        "xmlns=\"urn:schemas-Professional-Plug-in:P2:ClipMetadata:v3.1\">\n"
        "\t<ClipContent>\n\t\t<ClipName>0001AB</ClipName>\n\t\t<Duration>250</Duration>\n"
        "\t\t<EssenceList><Video ValidAudioFlag=\"false\"><Codec Class=\"100\">AVC-I_1080/59.94i</Codec>"
        "<FrameRate DropFrameFlag=\"true\">59.94i</FrameRate><StartTimecode>01:00:00;00</StartTimecode>"
        "<Pulldown>2:3</Pulldown></Video></EssenceList>\n"
        "\t\t<ClipMetadata><UserClipName>a &amp; b &#x3042; &#65;</UserClipName><![CDATA[<x>&]]>"
        "<Memo><Text>\x93\xFA\x96\x7B</Text></Memo><PRE>raw & <b></PRE></ClipMetadata>\n"
        "\t</ClipContent>\n</P2Main>\n",
        "<?xml version=\"1.0\" encoding=\"Shift-JIS\" standalone=\"no\"?>\n"
        "<P2Main xmlns=\"urn:schemas-Professional-Plug-in:P2:ClipMetadata:v3.1\">\n"
        "<ClipContent><ClipName>SRC001</ClipName>"
        "<EssenceList><Video><StartTimecode>23:59:59:29</StartTimecode><Pulldown>2:3:3:2</Pulldown></Video>"
        "</EssenceList><ClipMetadata><UserClipName>\x93\xFA\x96\x7B &amp; more</UserClipName>"
        "<Access><Creator>cam</Creator></Access></ClipMetadata></ClipContent></P2Main>\n",
        "<?xml version='1.0' encoding='UTF-16'?><!DOCTYPE P2Main><P2Main><ClipContent/></P2Main>",
    };
    const uint8_t controls[][4] = {{37, 0x03, 0x02, 0x13}, {8, 0x42, 0x81, 0x22}, {1, 0x1C, 0x48, 0x8B}};
    std::vector<Bytes> seeds;
    for (size_t i = 0; i < std::size(docs); ++i) {
        Bytes seed(controls[i], controls[i] + 4);
        seed.insert(seed.end(), docs[i].begin(), docs[i].end());
        seeds.push_back(std::move(seed));
    }
    return seeds;
}

} // namespace vorn::fuzz
