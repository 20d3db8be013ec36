// vorn codec dv-encode: encodes planar 8-bit 4:2:2 pictures (Y, Cb, Cr planes,
// rows from the top) at a format's coded raster into DIF frames, one per picture,
// with a running time code.
#include "Command.h"
#include "RawStreams.h"

#include "dv/CodecTables.h"
#include "foundation/WorkerPool.h"
#include "dv/DvEncoder.h"
#include "dv/DvSystemData.h"
#include "dv/EncoderTables.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <regex>
#include <vector>

namespace {

struct Opts {
    int format = 0;
    int threads = 0;
    std::string timecode = "00:00:00:00";
    std::string input;
    std::string output;
};

int run(const Opts& o)
{
    using namespace vorn::dv;
    if (!isEncodableFormat(o.format))
        throw vorn::cli::UsageError("--format must be an encodable DV format code (1-5, 7-10)");
    if (o.threads < 0 || o.threads > vorn::kMaxPoolWorkers)
        throw vorn::cli::UsageError("--threads must be 1.." + std::to_string(vorn::kMaxPoolWorkers));
    std::smatch tc;
    static const std::regex kTimecode(R"(^(\d{1,2}):(\d{1,2}):(\d{1,2})([:;.])(\d{1,2})$)");
    if (!std::regex_match(o.timecode, tc, kTimecode))
        throw vorn::cli::UsageError("--timecode must be HH:MM:SS:FF (HH:MM:SS;FF for drop-frame)");
    const int hh = std::stoi(tc[1]), mm = std::stoi(tc[2]), ss = std::stoi(tc[3]), ff = std::stoi(tc[5]);
    if (hh > 23 || mm > 59 || ss > 59 || ff > 29)
        throw vorn::cli::UsageError("--timecode is out of range");
    if (o.output.empty())
        throw vorn::cli::UsageError("an output file (or - for standard output) is required");

    InitCodecTables();
    InitSdEncoderTables();
    if (o.threads > 0)
        vorn::defaultWorkerPool().setWorkers(o.threads);
    // The raw stream's running time code, one advance per frame written.
    TimecodeCounter timecode = MakeTimecode(hh, mm, ss, ff, tc[4] != ":");

    vorn::cli::RawStreams io;
    if (!io.openInput(o.input) || !io.openOutput(o.output))
        return vorn::cli::kExitFailed;
    std::ostream* out = io.out();

    const DvFormatInfo& f = *dvFormatInfo(o.format);
    PictureBuffer picture(f.codedWidth, f.height), scratch;
    std::vector<uint8_t> planar(picture.size());
    DifFrame frame(static_cast<size_t>(f.bytesPerFrame));
    DvEncoder encoder;
    long frames = 0;
    for (;;) {
        if (!io.readWhole(planar.data(), planar.size(), "picture"))
            break;
        vorn::cli::planarToPacked(planar.data(), picture, true);
        if (!encoder.encode(frame, scratch, picture, {f.codedWidth, f.height}, o.format, timecode).ok()) {
            std::fprintf(stderr, "vorn: picture %ld could not be encoded\n", frames);
            return vorn::cli::kExitFailed;
        }
        out->write(reinterpret_cast<const char*>(frame.data()), static_cast<std::streamsize>(frame.size()));
        if (!*out) {
            std::fprintf(stderr, "vorn: cannot write %s\n", o.output.c_str());
            return vorn::cli::kExitFailed;
        }
        AdvanceTimecode(timecode, o.format, 24);
        ++frames;
    }
    return io.finish(frames, "complete picture", o.input);
}

vorn::cli::Registration reg{41, [](CLI::App& root, const vorn::cli::Common&) {
    CLI::App* app = vorn::cli::codecGroup(root).add_subcommand(
        "dv-encode", "Encode planar 8-bit 4:2:2 pictures (Y, Cb, Cr planes, rows from the top) to DIF frames");
    auto opts = std::make_shared<Opts>();
    app->add_option("--format", opts->format, "Video format code (1-4 DVCPRO HD, 5 DV25, 7-10 DVCPRO25/50)")
        ->required();
    app->add_option("--threads", opts->threads, "Worker count (default: the processor count)");
    app->add_option("--timecode", opts->timecode, "Start of the running time code, HH:MM:SS:FF (;FF drop-frame)");
    app->add_option("IN", opts->input, "Input file of planar pictures at the coded raster, - for standard input")
        ->required();
    app->add_option("OUT", opts->output, "Output file of DIF frames, - for standard output")->required();
    return vorn::cli::Subcommand{app, [opts]() -> int { return run(*opts); }};
}};

} // namespace
