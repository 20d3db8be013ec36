// The options file: the input is the file's text. Loading it keeps the
// registered keys (no key added, none lost, order kept), every getter and the
// export's option reading give usable values, and what was read survives a
// save and a second load. The same text is parsed as a version file too.
#include "FuzzTargets.h"

#include "engine/ExportPlan.h"
#include "foundation/Options.h"
#include "foundation/QelIniFile.h"

#include <cmath>
#include <cstdio>

namespace vorn::fuzz {

void runOptions(const uint8_t* data, size_t size)
{
    ScratchFolder scratch;
    const auto in = scratch.write("options.txt", std::span(data, size));
    const COptions defaults;
    COptions options;
    FUZZ_CHECK(options.load(QelString(in.string())));
    const int keys = defaults.entries().count();
    FUZZ_CHECK(options.entries().count() == keys);
    for (int i = 0; i < keys; ++i) {
        const QelString& key = defaults.entries().list().keyAt(i);
        FUZZ_CHECK(options.entries().list().keyAt(i) == key);
        const std::string& value = options.getString(key.str()).str();
        FUZZ_CHECK(value.find('\n') == std::string::npos);
        const float f = options.getFloat(key.str(), 1.5f);
        FUZZ_CHECK(std::isfinite(f));
        (void)options.getUInt64(key.str());
        (void)options.getBool(key.str());
    }
    FUZZ_CHECK(options.getCardSize() >= 0);

    const ExportOptions exportOptions = exportOptionsFrom(options);
    FUZZ_CHECK(std::isfinite(exportOptions.desiredRate) && exportOptions.desiredRate > 0 &&
               exportOptions.desiredRate < 1000);
    const int32_t choice = frameSizeChoiceOf(exportOptions.desiredFrameSize);
    FUZZ_CHECK(choice >= 0 && choice <= 6);

    const auto out = scratch.path() / "saved.txt";
    FUZZ_CHECK(options.save(out.c_str()));
    COptions reread;
    FUZZ_CHECK(reread.load(QelString(out.string())));
    FUZZ_CHECK(reread.entries().count() == keys);
    for (int i = 0; i < keys; ++i) {
        const std::string& value = options.entries().list().valueAt(i).str();
        if (!value.empty() && value.back() == '\r')
            continue;   // a final carriage return is taken as part of the line end
        FUZZ_CHECK(reread.entries().list().valueAt(i).str() == value);
    }

    QelIniFile ini;
    ini.parse(std::string_view(reinterpret_cast<const char*>(data), size));
    for (const auto& [name, section] : ini) {
        FUZZ_CHECK(!name.isEmpty());
        FUZZ_CHECK(name.str().find_first_of("[] =\n") == std::string::npos);
        for (const auto& [key, value] : section) {
            FUZZ_CHECK(!key.isEmpty() && !value.isEmpty());
            FUZZ_CHECK(key.str().find_first_of("[] =\n") == std::string::npos);
            FUZZ_CHECK(value.str().find_first_of("[] =\n") == std::string::npos);
        }
    }
}

std::vector<Bytes> optionsSeeds()
{
    std::vector<Bytes> seeds;
    {
        // The file the program writes with its defaults.
        ScratchFolder scratch;
        COptions defaults;
        const auto path = scratch.path() / "options.txt";
        FUZZ_CHECK(defaults.save(path.c_str()));
        FILE* f = std::fopen(path.c_str(), "rb");
        FUZZ_CHECK(f != nullptr);
        Bytes text;
        for (int c; (c = std::fgetc(f)) != EOF;)
            text.push_back(static_cast<uint8_t>(c));
        std::fclose(f);
        seeds.push_back(std::move(text));
    }
    const std::string texts[] = {
        "AddPulldown = 1\r\nRemovePulldown = 0\r\nDesiredFrameRate = 29.97\r\n"
        "DesiredFrameSize = Convert all to PAL DVCPRO25\r\nCardSize = 16 GB\r\nRotation=1\r\n"
        "DestinationFolder = /tmp/out dir\r\nUnknownKey = x\r\n",
        "DesiredFrameRate = 1e39\nCardSize = 99999999999999999999\nFrameScale = -3\n = \n==\nShowUpdates\n",
        "[Vorn]\nversion = 1.2.3\nurl = http://example.invalid/x\n[Other]\n a = b \n",
    };
    for (const auto& t : texts)
        seeds.emplace_back(t.begin(), t.end());
    return seeds;
}

} // namespace vorn::fuzz
