// vorn codec process: runs the picture processing of the conversion path
// (rotation, noise reduction, format change) on raw planar 8-bit 4:2:2
// pictures, so its results can be compared with FFmpeg's filters.
#include "Command.h"
#include "RawStreams.h"

#include "dv/CodecTables.h"
#include "dv/PictureProcessing.h"
#include "dv/Stretch.h"
#include "engine/PictureSteps.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace vorn::dv;

struct Opts {
    int format = 0;
    int target = 0;
    bool crop = false;
    bool noise = false;
    bool rotate = false;
    std::string input;
    std::string output;
};

int run(const Opts& o)
{
    const PictureRaster source = pictureRaster(o.format);
    if (source.width == 0)
        throw vorn::cli::UsageError("--format must be a video format code (1-10, 32-43)");
    const VideoFormat targetCode = o.target != 0 ? o.target : o.format;
    const PictureRaster target = pictureRaster(targetCode);
    if (target.width == 0)
        throw vorn::cli::UsageError("--target must be a video format code (1-10, 32-43)");
    InitCodecTables();
    vorn::cli::RawStreams io;
    if (!io.openInput(o.input) || !io.openOutput(o.output))
        return vorn::cli::kExitFailed;
    std::ostream& out = *io.out();

    std::vector<uint8_t> planarIn(source.bytes()), planarOut(target.bytes());
    PictureBuffer decoded(source.width, source.height);
    // Room for either raster: the format change works in place.
    PictureBuffer picture;
    picture.bytes.assign(kMaxPictureBytes, 0);
    picture.width = target.width;
    picture.height = target.height;
    NoiseFilter noise;
    FormatChanger changer;
    int64_t frames = 0;
    for (;; ++frames) {
        if (!io.readWhole(planarIn.data(), planarIn.size(), "picture"))
            break;
        // Rotation as the decoders do it: rows top-down, then every row mirrored.
        vorn::cli::planarToPacked(planarIn.data(), decoded, !o.rotate);
        if (o.rotate) {
            StretchJob job;
            job.dest = decoded.data();
            job.destPitch = 2 * source.width;
            job.src = decoded.data();
            job.srcPitch = job.destPitch;
            job.height = source.height;
            job.code = o.format;
            job.rotate = true;
            job.srcPairs = source.width / 2;
            if (!StretchPicture(job))
                return vorn::cli::kExitFailed;
        }
        if (const vorn::Status s = noise.apply(picture.data(), decoded.data(), o.format, frames, o.noise); !s.ok()) {
            vorn::pictureSteps::showFailure(s, kNoiseMessageTitle);
            return vorn::cli::kExitFailed;
        }
        if (targetCode != o.format &&
            !changer.change(picture.data(), targetCode, picture.data(), o.format, o.crop, LineSources{}).ok())
            return vorn::cli::kExitFailed;
        vorn::cli::packedToPlanar(picture, true, planarOut.data());
        out.write(reinterpret_cast<const char*>(planarOut.data()), static_cast<std::streamsize>(planarOut.size()));
    }
    return io.finish(frames, "complete picture", o.input);
}

vorn::cli::Registration reg{45, [](CLI::App& root, const vorn::cli::Common&) {
    CLI::App* app = vorn::cli::codecGroup(root).add_subcommand(
        "process", "Rotate, noise-reduce and change the format of planar 8-bit 4:2:2 pictures (Y, Cb, Cr planes, "
                   "rows from the top, the raster of the format code)");
    auto opts = std::make_shared<Opts>();
    app->add_option("--format", opts->format, "Video format code of the pictures (1-10, 32-43)")->required();
    app->add_option("--target", opts->target, "Video format code to rescale to");
    app->add_flag("--crop", opts->crop, "Use the 16:9 band of a 4:3 SD picture");
    app->add_flag("--noise", opts->noise, "Reduce noise (the first picture fills the history)");
    app->add_flag("--rotate", opts->rotate, "Rotate by 180 degrees");
    app->add_option("IN", opts->input, "Input file of pictures, - for standard input")->required();
    app->add_option("OUT", opts->output, "Output file, - for standard output")->required();
    return vorn::cli::Subcommand{app, [opts]() -> int { return run(*opts); }};
}};

} // namespace
