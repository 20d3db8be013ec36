// vorn codec dv-decode: decodes concatenated DIF frames to planar 8-bit 4:2:2.
#include "Command.h"
#include "RawStreams.h"

#include "dv/CodecTables.h"
#include "dv/CodecWorkers.h"
#include "dv/DvDecoder.h"
#include "foundation/WorkerPool.h"

#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
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
    // With several workers, whole frames are decoded side by side: each
    // worker takes the next frame of the input, decodes it alone (its units do
    // not split further) and writes it when every earlier frame is written.
    // There is one fork-join for the whole input, reading overlaps decoding and
    // no worker waits for a slower frame of a batch. One worker decodes each
    // frame on the calling thread, its units split over the pool as usual
    // (which then has one participant). Pictures are written in input order.
    const int workers = processorCount();
    struct Slot {
        std::vector<uint8_t> frame;
        PictureBuffer picture;
        std::vector<uint8_t> planar;
    };
    std::vector<Slot> slots(static_cast<size_t>(workers));
    for (Slot& s : slots)
        s.frame.resize(static_cast<size_t>(info->bytesPerFrame));

    std::mutex readLock;
    long nextRead = 0;
    bool inputEnded = false;
    std::mutex writeLock;
    std::condition_variable writeTurn;
    long written = 0;
    long failedFrame = -1; // the first frame that could not be decoded
    auto work = [&](int worker) {
        Slot& s = slots[static_cast<size_t>(worker)];
        for (;;) {
            long index;
            {
                std::lock_guard<std::mutex> lock(readLock);
                if (inputEnded)
                    return;
                if (!io.readWhole(s.frame.data(), s.frame.size(), "frame")) {
                    inputEnded = true;
                    return;
                }
                index = nextRead++;
            }
            const bool decoded = decodeDifFrame(s.frame, o.format, s.picture, options);
            if (decoded && out) {
                s.planar.resize(s.picture.size());
                vorn::cli::packedToPlanar(s.picture, false, s.planar.data());
            }
            std::unique_lock<std::mutex> lock(writeLock);
            writeTurn.wait(lock, [&] { return written == index || failedFrame >= 0; });
            if (failedFrame >= 0)
                break;
            if (!decoded) {
                failedFrame = index;
                writeTurn.notify_all();
                break;
            }
            if (out)
                out->write(reinterpret_cast<const char*>(s.planar.data()),
                           static_cast<std::streamsize>(s.planar.size()));
            ++written;
            writeTurn.notify_all();
        }
        // A frame failed: the other workers stop after the frame in hand.
        std::lock_guard<std::mutex> lock(readLock);
        inputEnded = true;
    };
    if (!vorn::forkJoin(workers, work, kDecodeThreadMessage))
        return vorn::cli::kExitFailed;
    if (failedFrame >= 0) {
        std::fprintf(stderr, "vorn: frame %ld could not be decoded\n", failedFrame);
        return vorn::cli::kExitFailed;
    }
    const long frames = written;
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
