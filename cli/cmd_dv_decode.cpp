// vorn codec dv-decode: decodes concatenated DIF frames to planar 8-bit 4:2:2.
#include "Command.h"
#include "RawStreams.h"

#include "dv/CodecTables.h"
#include "dv/DvDecoder.h"
#include "foundation/Cpu.h"
#include "foundation/Notifier.h"
#include "foundation/WorkerPool.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <vector>

namespace {

struct Opts {
    int format = 0;
    int threads = 0;
    bool fullRaster = false;
    bool rotate = false;
    bool null = false;
    std::string input;
    std::string output;
};

int run(const Opts& o)
{
    using namespace vorn::dv;
    const DvFormatInfo* info = dvFormatInfo(o.format);
    if (!info)
        throw vorn::cli::UsageError("--format must be a DV format code 1..10");
    if (o.threads < 0 || o.threads > vorn::kMaxPoolWorkers)
        throw vorn::cli::UsageError("--threads must be 1.." + std::to_string(vorn::kMaxPoolWorkers));
    if (!o.null && o.output.empty())
        throw vorn::cli::UsageError("an output file (or - for standard output, or --null) is required");
    InitCodecTables();
    vorn::cli::RawStreams io;
    if (!io.openInput(o.input) || !io.openOutput(o.output, o.null))
        return vorn::cli::kExitFailed;
    std::ostream* out = io.out();
    DecodeOptions options;
    options.fullRaster = o.fullRaster;
    options.rotate = o.rotate;
    options.topDown = true;
    // With several workers, whole frames are decoded side by side, each
    // converted to planar on its own worker; pictures are written in input order.
    DvDecoder decoder(DvDecoderSettings{o.threads > 0 ? o.threads : vorn::affinityProcessorCount()});
    std::vector<std::vector<uint8_t>> planar(static_cast<size_t>(decoder.workers()));
    FrameRunIo runIo;
    runIo.read = [&](std::span<uint8_t> frame) { return io.readWhole(frame.data(), frame.size(), "frame"); };
    if (out) {
        runIo.prepare = [&](int worker, const PictureBuffer& picture) {
            std::vector<uint8_t>& p = planar[static_cast<size_t>(worker)];
            p.resize(picture.size());
            vorn::cli::packedToPlanar(picture, false, p.data(), vorn::defaultWorkerPool(), 1);
        };
        runIo.write = [&](int worker, const PictureBuffer&) {
            const std::vector<uint8_t>& p = planar[static_cast<size_t>(worker)];
            out->write(reinterpret_cast<const char*>(p.data()), static_cast<std::streamsize>(p.size()));
        };
    }
    const vorn::Result<FrameRunResult> run = decoder.decodeRun(o.format, options, runIo);
    if (!run.ok()) {
        vorn::notify("Quintell", run.status().message());
        return vorn::cli::kExitFailed;
    }
    if (run.value().failedFrame >= 0) {
        std::fprintf(stderr, "vorn: frame %ld could not be decoded\n", run.value().failedFrame);
        return vorn::cli::kExitFailed;
    }
    return io.finish(run.value().frames, "complete frame", o.input);
}

vorn::cli::Registration reg{40, [](CLI::App& root, const vorn::cli::Common&) {
    CLI::App* app = vorn::cli::codecGroup(root).add_subcommand(
        "dv-decode", "Decode concatenated DIF frames to planar 8-bit 4:2:2 (Y, Cb, Cr planes, rows from the top)");
    auto opts = std::make_shared<Opts>();
    app->add_option("--format", opts->format, "Video format code (1-4 DVCPRO HD, 5-10 DV25/DVCPRO25/DVCPRO50)")
        ->required();
    app->add_option("--threads", opts->threads, "Worker count (default: the processor count)");
    app->add_flag("--full-raster", opts->fullRaster, "DVCPRO HD: stretch to 1920 / 1280 wide");
    app->add_flag("--rotate", opts->rotate, "Rotate by 180 degrees");
    app->add_flag("--null", opts->null, "Decode without writing pictures");
    app->add_option("IN", opts->input, "Input file of DIF frames")->required();
    app->add_option("OUT", opts->output, "Output file, - for standard output");
    return vorn::cli::Subcommand{app, [opts]() -> int { return run(*opts); }};
}};

} // namespace
