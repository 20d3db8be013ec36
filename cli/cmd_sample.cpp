// `vorn sample [--seconds N] DIR`: writes a sample P2 card (DIR/CONTENTS/...)
// of short synthetic clips in the formats and shooting modes the converter
// handles, made by our own encoder and writer.
#include "Command.h"
#include "OptionsSetup.h"

#include "engine/SampleCard.h"
#include "engine/VideoFormat.h"

#include <cstdio>
#include <memory>
#include <string>

namespace {

struct Opts {
    std::string dir;
    int seconds = 2;
};

int runSample(const Opts& o, const vorn::cli::Common& common)
{
    using namespace vorn::cli;
    // The options are checked (a bad --set is a usage error); the sample is
    // one card whatever its card size.
    (void)loadOptions(common);
    vorn::SampleCardOptions options;
    options.seconds = o.seconds;
    options.onClip = [&](int, int, const vorn::SampleClipKind& kind) {
        std::printf("%s  %s  %lld frames  %s\n", kind.name, vorn::displayName(kind.format),
                    static_cast<long long>(vorn::sampleFrameCount(kind, o.seconds)), kind.description);
        std::fflush(stdout);
    };
    const vorn::SampleCardResult result = vorn::writeSampleCard(o.dir, options);
    if (!result.ok) {
        std::fprintf(stderr, "vorn: the sample card was not written: %s\n", result.error.c_str());
        return kExitFailed;
    }
    std::printf("Sample card written to %s\n", o.dir.c_str());
    return kExitOk;
}

vorn::cli::Registration reg{15, [](CLI::App& root, const vorn::cli::Common& common) {
    CLI::App* app = root.add_subcommand("sample", "Write a sample P2 card of short synthetic clips to try Vorn with");
    auto opts = std::make_shared<Opts>();
    app->add_option("--seconds", opts->seconds, "Length of each clip in seconds (1-60, default 2)")
        ->check(CLI::Range(1, 60));
    app->add_option("DIR", opts->dir, "Folder of the card (DIR/CONTENTS must not exist yet)")->required();
    return vorn::cli::Subcommand{app, [opts, &common]() { return runSample(*opts, common); }};
}};

} // namespace
