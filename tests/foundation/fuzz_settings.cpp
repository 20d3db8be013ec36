// Random and mutated settings and version files: reading never crashes, never
// adds keys, and what is read survives a save and a second read.
#include "foundation/Log.h"
#include "foundation/Options.h"
#include "foundation/QelIniFile.h"
#include "support/TestSupport.h"

#include <random>
#include <string>

namespace {

using vorn::test::readText;
using vorn::test::scratchDir;
using vorn::test::writeText;

std::string randomText(std::mt19937& rng, size_t maxLength)
{
    static const char alphabet[] = "= =\n\r\t[]AddPulldownCardSize16GB.x\0\xff";
    std::uniform_int_distribution<size_t> length(0, maxLength);
    std::uniform_int_distribution<size_t> pick(0, sizeof alphabet - 1);
    std::string out(length(rng), ' ');
    for (char& c : out)
        c = alphabet[pick(rng)];
    return out;
}

TEST(FuzzSettings, OptionsFilesNeverAddKeysAndRoundTrip)
{
    // No log is installed: the unknown keys' entries go nowhere.
    auto dir = scratchDir("options");
    std::mt19937 rng(1234);
    const COptions defaults;
    std::string valid;
    {
        COptions o;
        o.save((dir / "valid.txt").c_str());
        valid = readText(dir / "valid.txt");
    }
    for (int round = 0; round < 400; ++round) {
        std::string text;
        if (round % 2 == 0) {
            text = randomText(rng, 600);
        } else {
            // Mutate a valid file: overwrite, insert and cut at random places.
            text = valid;
            std::uniform_int_distribution<int> edits(1, 8);
            for (int e = edits(rng); e > 0 && !text.empty(); --e) {
                size_t at = std::uniform_int_distribution<size_t>(0, text.size() - 1)(rng);
                text.insert(at, randomText(rng, 6));
                if (e % 3 == 0)
                    text.resize(at);
            }
        }
        writeText(dir / "in.txt", text);
        COptions options;
        ASSERT_TRUE(options.load((dir / "in.txt").string()));
        ASSERT_EQ(options.entries().count(), defaults.entries().count());
        for (int i = 0; i < defaults.entries().count(); ++i)
            ASSERT_EQ(options.entries().list().keyAt(i), defaults.entries().list().keyAt(i));

        ASSERT_TRUE(options.save((dir / "out.txt").c_str()));
        COptions reread;
        ASSERT_TRUE(reread.load((dir / "out.txt").string()));
        for (int i = 0; i < options.entries().count(); ++i) {
            const std::string& value = options.entries().list().valueAt(i).str();
            ASSERT_EQ(value.find('\n'), std::string::npos);
            if (!value.empty() && value.back() == '\r')
                continue; // a final carriage return is taken as part of the line end
            ASSERT_EQ(reread.entries().list().valueAt(i).str(), value) << "round " << round;
        }
    }
}

TEST(FuzzSettings, VersionFilesParseIntoCleanTokens)
{
    std::mt19937 rng(99);
    auto dir = scratchDir("ini");
    for (int round = 0; round < 2000; ++round) {
        std::string text = randomText(rng, 300);
        QelIniFile ini;
        if (round % 50 == 0) {
            writeText(dir / "v.txt", text);
            ASSERT_TRUE(ini.read((dir / "v.txt").string()));
        } else {
            ini.parse(text);
        }
        for (const auto& [name, section] : ini) {
            ASSERT_FALSE(name.isEmpty());
            ASSERT_EQ(name.str().find_first_of("[] =\n"), std::string::npos);
            for (const auto& [key, value] : section) {
                ASSERT_FALSE(key.isEmpty());
                ASSERT_FALSE(value.isEmpty());
                ASSERT_EQ(key.str().find_first_of("[] =\n"), std::string::npos);
                ASSERT_EQ(value.str().find_first_of("[] =\n"), std::string::npos);
            }
        }
    }
}

} // namespace
