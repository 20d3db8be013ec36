// vorn codec icon: the 80 x 60 clip icon bitmap of one compressed frame (a
// DIF frame, or the first access unit of an AVC-Intra byte stream).
#include "Command.h"
#include "RawStreams.h"

#include "dv/CodecTables.h"
#include "dv/DvFormat.h"
#include "avci/AvcDecoder.h"
#include "mxf/ClipIcon.h"

#include <cstdio>
#include <memory>
#include <vector>

namespace {

struct Opts {
    int format = 0;
    bool rotate = false;
    std::string input;
    std::string output;
};

// An AVC-Intra frame is at most a few megabytes; more than this is not one frame.
constexpr size_t kMaxAvcBytes = size_t(64) << 20;

int run(const Opts& o)
{
    const bool avc = o.format >= 32 && o.format <= 43;
    if (!avc && !vorn::dv::isDvFormat(o.format))
        throw vorn::cli::UsageError("--format must be a DV format code 1..10 or an AVC-Intra code 32..43");
    if (o.output == "-")
        throw vorn::cli::UsageError("the icon is written to a file");
    vorn::cli::RawStreams io;
    if (!io.openInput(o.input))
        return vorn::cli::kExitFailed;
    const size_t limit = avc ? kMaxAvcBytes : static_cast<size_t>(vorn::dv::dvFormatInfo(o.format)->bytesPerFrame);
    std::vector<uint8_t> data(limit);
    io.in().read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(limit));
    data.resize(static_cast<size_t>(io.in().gcount()));
    if (data.empty()) {
        std::fprintf(stderr, "vorn: no frame in %s\n", o.input.c_str());
        return vorn::cli::kExitFailed;
    }
    const uint8_t* frame = data.data();
    size_t size = data.size();
    if (avc) {
        const auto units = vorn::avci::splitAccessUnits(data.data(), data.size());
        if (units.empty()) {
            std::fprintf(stderr, "vorn: no access unit in %s\n", o.input.c_str());
            return vorn::cli::kExitFailed;
        }
        frame += units[0].first;
        size = units[0].second;
    } else {
        vorn::dv::InitCodecTables();
    }
    const int result = vorn::mxf::writeIconBitmap(o.output, frame, size, o.format, o.rotate);
    if (result == -2) {
        std::fprintf(stderr, "vorn: the frame could not be decoded\n");
        return vorn::cli::kExitFailed;
    }
    if (result < 0) {
        std::fprintf(stderr, "vorn: cannot create %s (an existing file is not replaced)\n", o.output.c_str());
        return vorn::cli::kExitFailed;
    }
    return vorn::cli::kExitOk;
}

vorn::cli::Registration reg{44, [](CLI::App& root, const vorn::cli::Common&) {
    CLI::App* app = vorn::cli::codecGroup(root).add_subcommand(
        "icon", "Write the 80 x 60 clip icon bitmap of one compressed frame");
    auto opts = std::make_shared<Opts>();
    app->add_option("--format", opts->format, "Video format code (1-10 DV family, 32-43 AVC-Intra)")->required();
    app->add_flag("--rotate", opts->rotate, "Rotate the picture by 180 degrees");
    app->add_option("FRAME", opts->input, "File holding the frame (the first frame is used), - for standard input")
        ->required();
    app->add_option("OUT", opts->output, "New bitmap file")->required();
    return vorn::cli::Subcommand{app, [opts]() -> int { return run(*opts); }};
}};

} // namespace
