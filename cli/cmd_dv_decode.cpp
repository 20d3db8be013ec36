// vorn codec dv-decode: decodes concatenated DIF frames to planar 8-bit 4:2:2.
#include "Command.h"
#include "RawStreams.h"

#include "dv/CodecTables.h"
#include "dv/CodecWorkers.h"
#include "dv/DvDecoder.h"
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
    if (o.threads < 0 || o.threads > kMaxWorkers)
        throw vorn::cli::UsageError("--threads must be 1.." + std::to_string(kMaxWorkers));
    if (!o.null && o.output.empty())
        throw vorn::cli::UsageError("an output file (or - for standard output, or --null) is required");
    InitCodecTables();
    if (o.threads > 0) {
        setProcessorCount(o.threads);
        lockProcessorCount(true);
    }
    vorn::cli::RawStreams io;
    if (!io.openInput(o.input) || !io.openOutput(o.output, o.null))
        return vorn::cli::kExitFailed;
    std::ostream* out = io.out();
    DecodeOptions options;
    options.fullRaster = o.fullRaster;
    options.rotate = o.rotate;
    options.topDown = true;
    // With several workers, whole frames are decoded side by side, one per
    // worker, a batch at a time: a frame's own units then run on its worker
    // alone, so there is one fork-join per batch instead of one per frame and
    // no worker waits for the last unit of a frame. A batch of one frame (one
    // worker, or the last frame) still splits that frame's units over every
    // worker. Pictures are written in input order. One frame per worker: larger
    // batches were slower (2 workers: 4 frames each 3-10% more time than one,
    // 2 frames each up to 12% more for DVCPRO HD), as every frame of a batch
    // brings its own buffers into the caches.
    const int workers = processorCount();
    const size_t batch = workers > 1 ? static_cast<size_t>(workers) : 1;
    struct Slot {
        std::vector<uint8_t> frame;
        PictureBuffer picture;
        std::vector<uint8_t> planar;
        bool decoded = false;
    };
    std::vector<Slot> slots(batch);
    for (Slot& s : slots)
        s.frame.resize(static_cast<size_t>(info->bytesPerFrame));
    auto decodeSlot = [&](Slot& s) {
        s.decoded = decodeDifFrame(s.frame, o.format, s.picture, options);
        if (s.decoded && out) {
            s.planar.resize(s.picture.size());
            vorn::cli::packedToPlanar(s.picture, false, s.planar.data());
        }
    };
    long frames = 0;
    bool more = true;
    while (more) {
        size_t count = 0;
        while (count < batch && (more = io.readWhole(slots[count].frame.data(), slots[count].frame.size(), "frame")))
            ++count;
        if (count == 0)
            break;
        if (!vorn::forEachUnit(
                workers, static_cast<int>(count), [&](int, int unit) { decodeSlot(slots[static_cast<size_t>(unit)]); },
                kDecodeThreadMessage))
            return vorn::cli::kExitFailed;
        for (size_t i = 0; i < count; ++i) {
            if (!slots[i].decoded) {
                std::fprintf(stderr, "vorn: frame %ld could not be decoded\n", frames);
                return vorn::cli::kExitFailed;
            }
            if (out)
                out->write(reinterpret_cast<const char*>(slots[i].planar.data()),
                           static_cast<std::streamsize>(slots[i].planar.size()));
            ++frames;
        }
    }
    return io.finish(frames, "complete frame", o.input);
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
