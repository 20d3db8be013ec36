// Mutated clip XML: the reader never reads past its input and never crashes;
// whatever it accepts it writes back in a form it reads again identically.
#include "mxf/XmlNode.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

using namespace vorn::mxf;

namespace {

const std::string kSeed =
    "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\n"
    "<!-- comment -->\n"
    "<P2Main xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns=\"urn:schemas-Professional-Plug-in:P2:ClipMetadata:v3.1\">\n"
    "\t<ClipContent>\n\t\t<ClipName>0001AB</ClipName>\n\t\t<Duration>250</Duration>\n"
    "\t\t<EssenceList><Video ValidAudioFlag=\"false\"><Codec Class=\"100\">AVC-I_1080/59.94i</Codec>"
    "<FrameRate DropFrameFlag=\"true\">59.94i</FrameRate><StartTimecode>01:00:00;00</StartTimecode>"
    "<Pulldown>2:3</Pulldown></Video></EssenceList>\n"
    "\t\t<ClipMetadata><UserClipName>a &amp; b &#x3042; &#65;</UserClipName><![CDATA[<x>&]]>"
    "<Memo><Text>\x93\xFA\x96\x7B</Text></Memo><PRE>raw & <b></PRE></ClipMetadata>\n"
    "\t</ClipContent>\n</P2Main>\n";

// Parses from an exactly sized heap buffer so that any read past the end is caught by the sanitizer.
int parseExact(XmlDocument& doc, const std::string& bytes)
{
    auto buf = std::make_unique<char[]>(bytes.size() ? bytes.size() : 1);
    std::copy(bytes.begin(), bytes.end(), buf.get());
    return doc.parse(std::string_view(buf.get(), bytes.size()), "P2Main");
}

} // namespace

TEST(FuzzXml, MutatedDocumentsParseOrFailCleanly)
{
    std::mt19937 rng(12345);
    const char tokens[][12] = {"<", ">", "&", ";", "</", "/>", "<!--", "-->", "<![CDATA[", "]]>", "\"", "'", "&#x", "<?", "?>",
                               "\x82", "\xC3", "\xEF\xBB\xBF", "<PRE>", "</Script>", "<!DOCTYPE"};
    int accepted = 0;
    for (int iter = 0; iter < 4000; ++iter) {
        std::string s = kSeed;
        const int edits = 1 + int(rng() % 4);
        for (int e = 0; e < edits && !s.empty(); ++e) {
            size_t pos = rng() % s.size();
            switch (rng() % 5) {
            case 0: s[pos] = char(rng() & 0xFF); break;
            case 1: s.erase(pos, 1 + rng() % 8); break;
            case 2: s.insert(pos, tokens[rng() % (sizeof tokens / sizeof tokens[0])]); break;
            case 3: s.resize(pos); break;
            case 4: s.insert(pos, s.substr(rng() % s.size(), rng() % 40)); break;
            }
        }
        XmlDocument doc;
        int rc = parseExact(doc, s);
        if (rc != kXmlOk) {
            EXPECT_TRUE(doc.topElement().isNull());
            continue;
        }
        ++accepted;
        // What was accepted writes out and reads back to the same text.
        const std::string out = doc.serialize();
        XmlDocument again;
        ASSERT_EQ(parseExact(again, out), kXmlOk) << out;
        EXPECT_EQ(again.serialize(), out);
    }
    EXPECT_GT(accepted, 100);   // the mutations leave many documents valid
}
