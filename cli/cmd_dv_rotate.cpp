// vorn codec rotate: turns every frame of a raw 720-line DVCPRO HD DIF stream
// by 180 degrees in the coefficient domain.
#include "Command.h"
#include "RawStreams.h"

#include "dv/CodecTables.h"
#include "foundation/WorkerPool.h"
#include "dv/DifRotation.h"
#include "engine/PictureSteps.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

namespace {

struct Opts {
    int format = 0;
    int threads = 0;
    std::string input;
    std::string output;
};

int run(const Opts& o)
{
    using namespace vorn::dv;
    if (o.format != 2 && o.format != 4)
        throw vorn::cli::UsageError("--format must be 2 or 4 (720-line DVCPRO HD)");
    if (o.threads < 0 || o.threads > vorn::kMaxPoolWorkers)
        throw vorn::cli::UsageError("--threads must be 1.." + std::to_string(vorn::kMaxPoolWorkers));
    std::error_code ec;
    if (o.input != "-" && o.output != "-" && std::filesystem::equivalent(o.input, o.output, ec))
        throw vorn::cli::UsageError("the output must not be the input file");
    InitCodecTables();
    if (o.threads > 0)
        vorn::defaultWorkerPool().setWorkers(o.threads);
    vorn::cli::RawStreams io;
    if (!io.openInput(o.input) || !io.openOutput(o.output))
        return vorn::cli::kExitFailed;
    std::ostream& out = *io.out();
    const DvFormatInfo& info = *dvFormatInfo(o.format);
    std::vector<uint8_t> frame(static_cast<size_t>(info.bytesPerFrame));
    DifRotator rotator;
    long frames = 0;
    for (;;) {
        if (!io.readWhole(frame.data(), frame.size(), "frame"))
            break;
        if (!vorn::pictureSteps::rotateDifFrame(rotator, frame.data(), frame.size(), o.format)) {
            std::fprintf(stderr, "vorn: frame %ld could not be rotated\n", frames);
            return vorn::cli::kExitFailed;
        }
        out.write(reinterpret_cast<const char*>(frame.data()), static_cast<std::streamsize>(frame.size()));
        ++frames;
    }
    return io.finish(frames, "complete frame", o.input);
}

vorn::cli::Registration reg{43, [](CLI::App& root, const vorn::cli::Common&) {
    CLI::App* app = vorn::cli::codecGroup(root).add_subcommand(
        "rotate", "Rotate every frame of a 720-line DVCPRO HD DIF stream by 180 degrees without decoding it");
    auto opts = std::make_shared<Opts>();
    app->add_option("--format", opts->format, "Video format code: 2 (720/59.94p) or 4 (720/50p)")->required();
    app->add_option("--threads", opts->threads, "Worker count (default: the processor count)");
    app->add_option("IN", opts->input, "Input file of DIF frames, - for standard input")->required();
    app->add_option("OUT", opts->output, "Output file, - for standard output")->required();
    return vorn::cli::Subcommand{app, [opts]() -> int { return run(*opts); }};
}};

} // namespace
