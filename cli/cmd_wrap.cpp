// `vorn wrap`: writes one P2 clip (video MXF, audio MXF per channel, clip XML,
// LASTCLIP.TXT) into the card tree under a folder, from raw DIF frames or an
// AVC-Intra byte stream and raw PCM channel files.
#include "Command.h"
#include "OptionsSetup.h"

#include "avci/Nal.h"
#include "dv/DvSystemData.h"
#include "foundation/Notifier.h"
#include "mxf/ExportMxf.h"
#include "mxf/MxfEssenceWriter.h"
#include "mxf/Timecode.h"
#include "mxf/Umid.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Opts {
    int format = 0;
    std::string rate;
    std::string timecode;
    std::vector<std::string> audio;
    bool narrow = false;
    std::string pulldown;
    std::string name;
    std::string dest;
    std::string frames;
};

struct Rate {
    uint32_t num = 0, den = 1;
};

Rate parseRate(const std::string& text)
{
    Rate r;
    unsigned long n = 0, d = 1;
    char slash = 0, extra = 0;
    int got = std::sscanf(text.c_str(), "%lu%c%lu%c", &n, &slash, &d, &extra);
    if (!((got == 1) || (got == 3 && slash == '/')) || n == 0 || d == 0 || n > 1000000 || d > 1000000)
        throw vorn::cli::UsageError("--rate must be N/D, e.g. 30000/1001 or 25/1: " + text);
    r.num = uint32_t(n);
    r.den = uint32_t(d);
    return r;
}

int runWrap(const Opts& o, const vorn::cli::Common& common)
{
    using namespace vorn::cli;
    using namespace vorn::mxf;
    const COptions options = loadOptions(common);
    const vorn::VideoFormatInfo* fmt = vorn::videoFormatInfo(o.format);
    if (!fmt) throw UsageError("--format must be a video format code 1-10 or 32-43");
    const Rate rate = parseRate(o.rate);
    if (o.audio.size() > 8) throw UsageError("at most 8 --audio channels");

    // Start timecode in the counting base of the rate.
    int tcBase = int(rate.num > 1000 ? rate.num / 1000 : rate.num);
    if (rate.den != 1 && rate.num <= 1000) tcBase = int(double(rate.num) / rate.den + 0.5);
    if (tcBase == 60) tcBase = 30;
    if (tcBase == 50) tcBase = 25;
    int hh = 0, mm = 0, ss = 0, ff = 0;
    bool drop = false;
    if (!o.timecode.empty()) {
        char dchar = 0, extra = 0;
        int got = std::sscanf(o.timecode.c_str(), "%d:%d:%d:%d%c%c", &hh, &mm, &ss, &ff, &dchar, &extra);
        if (got < 4 || got > 5 || (got == 5 && dchar != 'd') || hh < 0 || hh > 23 || mm < 0 || mm > 59 || ss < 0 ||
            ss > 59 || ff < 0 || ff >= tcBase)
            throw UsageError("--timecode must be HH:MM:SS:FF with an optional d for drop frame: " + o.timecode);
        drop = got == 5;
        if (drop && tcBase != 30) throw UsageError("drop-frame timecode needs a 30 or 60 frame rate");
        if (drop && !DropFrameLabelExists(mm, ss, ff))
            throw UsageError("--timecode " + o.timecode +
                             " does not exist in drop-frame counting: frames 00 and 01 are skipped at the start of "
                             "every minute not divisible by 10");
    }
    const int64_t start = TimecodeLabelToFrames(hh, mm, ss, ff, tcBase, drop);

    // The video frames.
    std::ifstream in(o.frames, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "Cannot open %s\n", o.frames.c_str());
        return kExitFailed;
    }
    const bool avc = isAvcIntraCode(o.format);
    std::vector<uint8_t> stream;
    std::vector<size_t> units;   // AVC-Intra: access unit offsets (plus the end)
    uint64_t frameCount = 0;
    uint32_t frameSize = 0, laterSize = 0;
    const uint64_t fileBytes = fs::file_size(o.frames);
    if (avc) {
        stream.resize(size_t(fileBytes));
        in.read(reinterpret_cast<char*>(stream.data()), std::streamsize(stream.size()));
        for (const auto& [offset, size] : vorn::avci::splitAccessUnits(stream.data(), stream.size())) {
            (void)size;
            units.push_back(offset);
        }
        if (units.empty()) {
            std::fprintf(stderr, "%s: no access units found\n", o.frames.c_str());
            return kExitFailed;
        }
        units.front() = 0;   // whatever precedes the first unit belongs to it
        units.push_back(stream.size());
        frameCount = units.size() - 1;
        frameSize = uint32_t(units[1] - units[0]);
        for (size_t i = 1; i + 1 < units.size(); ++i) laterSize = std::max(laterSize, uint32_t(units[i + 1] - units[i]));
        if (frameCount == 1) laterSize = frameSize;
    } else {
        frameSize = fmt->dvFrameBytes;
        if (fileBytes == 0 || fileBytes % frameSize != 0) {
            std::fprintf(stderr, "%s: %llu bytes is not a whole number of %u-byte frames\n", o.frames.c_str(),
                         (unsigned long long)fileBytes, frameSize);
            return kExitFailed;
        }
        frameCount = fileBytes / frameSize;
    }

    const std::string name = o.name.empty() ? fs::path(o.frames).stem().string() : o.name;
    const bool wide = !o.narrow;
    const int channels = int(o.audio.size());
    CExportMxf exporter(o.frames, o.dest);
    exporter.SetCardSize(options.getCardSize());
    exporter.SetClipName(name);
    exporter.SetBaseUmid(makeBaseUmid());
    exporter.SetFormatCode(o.format);
    exporter.SetFrameCount(int64_t(frameCount));
    exporter.SetRateNumerator(rate.num);
    exporter.SetRateDenominator(rate.den);
    exporter.SetFrameSize(frameSize);
    exporter.SetLaterFrameSize(laterSize);
    exporter.SetPictureLines(fmt->lines);
    exporter.SetPulldown(o.pulldown);
    exporter.SetTimecode(hh, mm, ss, ff, start, tcBase, drop ? 1 : 0);

    // The exporter's notices are shown as message boxes, as they come; a
    // failed write shows at Close.
    auto told = [&exporter](vorn::Status status) {
        for (const std::string& text : exporter.TakeNotices()) vorn::notify("Quintell", text);
        return status;
    };
    if (const vorn::Status opened = told(exporter.Open(channels, wide)); !opened.ok()) {
        const bool space = exporter.errorKind() == CExportBase::kErrorDiskTooSmall ||
                           exporter.errorKind() == CExportBase::kErrorCardTooSmall;
        if (space) std::fprintf(stderr, "%s\n", opened.message().c_str());
        std::fprintf(stderr, "Clip not written\n");
        return kExitFailed;
    }
    if (!exporter.renameNotice().empty()) std::printf("%s\n", exporter.renameNotice().c_str());
    told(exporter.BeginClip(int64_t(frameCount), rate.den, rate.num, wide, channels)).ignore();

    if (avc) {
        std::vector<uint8_t> frame;
        for (size_t i = 0; i < frameCount; ++i) {
            size_t size = units[i + 1] - units[i];
            frame.assign(stream.begin() + std::ptrdiff_t(units[i]), stream.begin() + std::ptrdiff_t(units[i + 1]));
            // Every frame after the first has one size in this layout; a shorter
            // access unit gets trailing zero bytes, which the byte stream allows.
            if (i > 0 && size < laterSize) frame.resize(laterSize, 0);
            told(exporter.WriteVideo(frame.data(), frame.size())).ignore();
        }
    } else {
        std::vector<uint8_t> frame(frameSize);
        in.seekg(0);
        for (uint64_t i = 0; i < frameCount; ++i) {
            in.read(reinterpret_cast<char*>(frame.data()), std::streamsize(frameSize));
            told(exporter.WriteVideo(frame.data(), frameSize)).ignore();
        }
    }

    const uint64_t plannedAudio = 2 * MxfEssenceWriter::audioSamplesFor(frameCount, rate.num, rate.den);
    for (int c = 0; c < channels; ++c) {
        std::ifstream a(o.audio[c], std::ios::binary);
        if (!a) {
            std::fprintf(stderr, "Cannot open %s; channel %d is silent\n", o.audio[c].c_str(), c + 1);
            continue;
        }
        std::vector<uint8_t> buf(96000);
        uint64_t total = 0;
        while (a) {
            a.read(reinterpret_cast<char*>(buf.data()), std::streamsize(buf.size()));
            size_t got = size_t(a.gcount());
            if (!got) break;
            told(exporter.WriteAudio(buf.data(), got, c)).ignore();
            total += got;
        }
        if (total < plannedAudio)
            std::printf("audio channel %d: %llu bytes short, padded with silence\n", c + 1,
                        (unsigned long long)(plannedAudio - total));
        else if (total > plannedAudio)
            std::printf("audio channel %d: %llu bytes beyond the clip's length dropped\n", c + 1,
                        (unsigned long long)(total - plannedAudio));
    }

    const bool closed = told(exporter.Close()).ok();
    std::printf("card     %s\n", exporter.cardPath().string().c_str());
    std::printf("video    %s (%llu frames, %s, %u/%u)\n", exporter.videoPath().string().c_str(),
                (unsigned long long)frameCount, fmt->codecName, rate.num, rate.den);
    for (int c = 0; c < channels; ++c)
        std::printf("audio    %s\n", exporter.audioPath(c).string().c_str());
    std::printf("clip     %s\n", exporter.clipXmlPath().string().c_str());
    std::printf("umid     %s\n", umidToHex(exporter.baseUmid()).c_str());
    std::printf("timecode %s\n", exporter.timecodeText().c_str());
    std::fflush(stdout);
    if (!closed) {
        std::fprintf(stderr, "The clip was not finished correctly\n");
        return kExitFailed;
    }
    return kExitOk;
}

vorn::cli::Registration reg{60, [](CLI::App& root, const vorn::cli::Common& common) {
    CLI::App* app = root.add_subcommand("wrap", "Write one P2 clip from DIF frames or an AVC-Intra stream");
    auto opts = std::make_shared<Opts>();
    app->add_option("--format", opts->format, "Output video format code (1-10 DV family, 32-43 AVC-Intra)")->required();
    app->add_option("--rate", opts->rate, "Frame rate N/D, e.g. 30000/1001")->required();
    app->add_option("--timecode", opts->timecode, "Start timecode HH:MM:SS:FF, with a trailing d for drop frame");
    app->add_option("--audio", opts->audio, "Raw 48 kHz 16-bit little-endian mono PCM, one file per channel");
    app->add_flag("--4x3", opts->narrow, "4:3 picture (default 16:9)");
    app->add_option("--pulldown", opts->pulldown, "Pulldown text for the clip XML");
    app->add_option("--name", opts->name, "Clip name (default: the frames file's name)");
    app->add_option("--dest", opts->dest, "Output folder (the card folders are made in it)")->required();
    app->add_option("FRAMES", opts->frames, "Concatenated DIF frames, or an H.264 byte stream for AVC-Intra codes")
        ->required();
    return vorn::cli::Subcommand{app, [opts, &common]() { return runWrap(*opts, common); }};
}};

} // namespace
