#include "engine/SampleCard.h"

#include "dv/CodecTables.h"
#include "dv/DvEncoder.h"
#include "dv/DvSystemData.h"
#include "dv/EncoderTables.h"
#include "engine/FrameProcesser.h"
#include "foundation/Notifier.h"
#include "foundation/Options.h"
#include "mxf/ExportMxf.h"
#include "mxf/MxfEssenceWriter.h"
#include "mxf/Umid.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace vorn {

namespace {

using C = SampleCadence;

const std::vector<SampleClipKind> kKinds = {
    {"0001QV", 1, 30000, 1001, 24, C::Pulldown32, true, true, 4, "2:3",
     "DVCPRO HD 1080i59.94, shot 24p with 3:2 pulldown"},
    {"0002QV", 2, 60000, 1001, 24, C::Repeat23, true, true, 4, "2:3",
     "DVCPRO HD 720p59.94, shot 24pN (pictures repeated 2,3)"},
    {"0003QV", 8, 30000, 1001, 24, C::Pulldown2332, false, true, 4, "2:3:3:2",
     "DVCPRO50 NTSC, shot 24p with 2:3:3:2 pulldown"},
    {"0004QV", 9, 25, 1, 25, C::Progressive, false, false, 2, "2:2", "DV25 PAL, shot 25p"},
    {"0005QV", 10, 30000, 1001, 30, C::Interlaced, false, false, 2, "", "DV25 NTSC, shot 30i"},
    {"0006QV", 3, 25, 1, 25, C::Interlaced, true, true, 4, "", "DVCPRO HD 1080i50, shot 25i"},
};

struct Ycc {
    uint8_t y, cb, cr;
};

// 75% colour bars: white, yellow, cyan, green, magenta, red, blue.
constexpr std::array<Ycc, 7> kBars709 = {{{180, 128, 128}, {168, 44, 136}, {145, 147, 44}, {133, 63, 52},
                                          {63, 193, 204}, {51, 109, 212}, {28, 212, 120}}};
constexpr std::array<Ycc, 7> kBars601 = {{{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                                          {84, 184, 198}, {65, 100, 212}, {35, 212, 114}}};

// Segments a..g of the digits 0-9 (bit 0 = a).
constexpr std::array<uint8_t, 10> kSegments = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};

// Picture drawn line by line, top-down, into a packed bottom-up buffer.
class Painter {
public:
    Painter(dv::PictureBuffer& p) : m_p(p) {}
    uint8_t* line(int y) { return m_p.memoryRow(m_p.height - 1 - y); }
    void put(int x, int y, Ycc c)
    {
        uint8_t* row = line(y);
        row[2 * x] = c.y;
        row[(x & ~1) * 2 + 1] = c.cb;
        row[(x & ~1) * 2 + 3] = c.cr;
    }
    void fillRect(int x0, int y0, int x1, int y1, Ycc c)
    {
        x0 = std::max(0, x0);
        y0 = std::max(0, y0);
        x1 = std::min(m_p.width, x1);
        y1 = std::min(m_p.height, y1);
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                put(x, y, c);
    }

private:
    dv::PictureBuffer& m_p;
};

int64_t framesPerSecond(const SampleClipKind& k) { return (int64_t(k.rateNum) + k.rateDen / 2) / k.rateDen; }

// Whole-frame timecode value at the clip's counting base (pairs of frames at 50/60 frames a second).
void timecodeOf(int64_t value, int base, int& h, int& m, int& s, int& f)
{
    f = int(value % base);
    s = int(value / base % 60);
    m = int(value / base / 60 % 60);
    h = int(value / base / 3600 % 24);
}

// Writes the binary group into every binary-group pack of a frame's subcode blocks.
void stampBinaryGroup(std::vector<uint8_t>& frame, uint32_t word)
{
    const uint8_t bytes[4] = {uint8_t(word >> 24), uint8_t(word >> 16), uint8_t(word >> 8), uint8_t(word)};
    for (size_t q = 0; q + size_t(dv::kDifSequenceBytes) <= frame.size(); q += size_t(dv::kDifSequenceBytes))
        for (int b = 0; b < 2; ++b)
            for (int k = 0; k < 6; ++k) {
                uint8_t* pack = frame.data() + q + 80 * (1 + b) + 6 + 8 * k;
                if (pack[0] == 0x14 || pack[0] == 0x64)
                    std::copy(bytes, bytes + 4, pack + 1);
            }
}

// A staging folder name inside dir that does not exist yet.
fs::path freshStagingFolder(const fs::path& dir)
{
    std::error_code ec;
    for (int n = 0; n < 1000; ++n) {
        fs::path p = dir / (".vorn-sample-" + std::to_string(::getpid()) + "-" + std::to_string(n));
        if (fs::create_directory(p, ec) && !ec)
            return p;
    }
    return {};
}

// Writes one clip below `output` (as Card1/CONTENTS/...). Empty on success, else why not.
std::string writeClip(const fs::path& output, const SampleClipKind& kind, int seconds, fs::path& videoFile)
{
    const int64_t frames = sampleFrameCount(kind, seconds);
    const int lines = formatLines(kind.format);
    const int width = codedWidth(kind.format);
    const double aspect = kind.wide ? 16.0 / 9.0 : 4.0 / 3.0;
    const int displayWidth = int(std::lround(lines * aspect));
    const bool hd = kind.format >= 1 && kind.format <= 4;
    const double fps = double(kind.rateNum) / kind.rateDen;
    const bool pairs = kind.format == 2 || kind.format == 4;   // 720p: the timecode counts frame pairs
    const int tcBase = int(pairs ? framesPerSecond(kind) / 2 : framesPerSecond(kind));
    // Each clip starts at a whole minute of its own: 01:0N:00:00.
    const int clipNumber = int(&kind - sampleClipKinds().data()) + 1;
    const int64_t tcStart = (3600 + 60 * int64_t(clipNumber)) * tcBase;

    mxf::CExportMxf exporter((output / "none" / (std::string(kind.name) + ".MXF")).string(), output.string());
    exporter.SetClipName(kind.name);
    exporter.SetBaseUmid(mxf::makeBaseUmid());
    exporter.SetFormatCode(kind.format);
    exporter.SetFrameCount(frames);
    exporter.SetRateNumerator(uint32_t(kind.rateNum));
    exporter.SetRateDenominator(uint32_t(kind.rateDen));
    exporter.SetFrameSize(uint32_t(dvFrameBytes(kind.format)));
    exporter.SetPictureLines(lines);
    exporter.SetPulldown(kind.pulldown);
    exporter.SetBinaryGroup(sampleBinaryGroup(kind, 0));
    int h, m, s, f;
    timecodeOf(tcStart, tcBase, h, m, s, f);
    exporter.SetTimecode(h, m, s, f, tcStart, tcBase, 0);

    // The exporter's notices are shown as message boxes, as they come.
    auto told = [&exporter](Status status) {
        for (const std::string& text : exporter.TakeNotices())
            notify("Quintell", text);
        return status;
    };
    if (const Status opened = told(exporter.Open(kind.audioChannels, kind.wide)); !opened.ok()) {
        const bool space = exporter.errorKind() == mxf::CExportBase::kErrorDiskTooSmall ||
                           exporter.errorKind() == mxf::CExportBase::kErrorCardTooSmall;
        return space ? opened.message() : "the clip's files could not be created";
    }
    // Headers, frames and audio that fail make Close fail.
    told(exporter.BeginClip(frames, uint32_t(kind.rateDen), uint32_t(kind.rateNum), kind.wide, kind.audioChannels))
        .ignore();

    dv::PictureBuffer first(width, lines), second(width, lines), woven(width, lines);
    dv::DifFrame frame(size_t(dvFrameBytes(kind.format)));
    dv::DvEncoder encoder;   // each sample clip is a stream of its own
    for (int64_t i = 0; i < frames; ++i) {
        const SampleFieldPictures fp = sampleFieldPictures(kind, i);
        const bool interlaced = kind.cadence == C::Interlaced;
        // Interlaced kinds number fields; the counter shows the frame.
        auto timeOf = [&](int64_t n) {
            if (interlaced)
                return double(n) / (2.0 * fps);
            return kind.cadence == C::Progressive ? double(n) / fps : double(n) * 1001.0 / 24000.0;
        };
        auto numberOf = [&](int64_t n) { return interlaced ? n / 2 : n; };
        drawSamplePicture(first, width, lines, displayWidth, hd, numberOf(fp.first), timeOf(fp.first));
        const dv::PictureBuffer* picture = &first;
        if (fp.second != fp.first) {
            drawSamplePicture(second, width, lines, displayWidth, hd, numberOf(fp.second), timeOf(fp.second));
            // Display line y is buffer row lines - 1 - y; the top field holds the even display lines.
            for (int y = 0; y < lines; ++y) {
                const bool topField = (y % 2) == 0;
                const bool firstField = topField == kind.topFieldFirst;
                const int row = lines - 1 - y;
                std::copy_n((firstField ? first : second).memoryRow(row), size_t(2 * width), woven.memoryRow(row));
            }
            picture = &woven;
        }
        if (!encoder.encode(frame, *picture, kind.format).ok())
            return "frame " + std::to_string(i) + " could not be encoded";
        stampBinaryGroup(frame.bytes, sampleBinaryGroup(kind, i));
        if (i == 0)
            told(exporter.WriteThumbnail(frame.data(), frame.size(), kind.format, false)).ignore();   // the clip's icon, from frame 0
        // The writer stamps the running time code (set above) and advances it.
        told(exporter.WriteVideo(frame.data(), frame.size())).ignore();
    }

    const uint64_t samples = mxf::MxfEssenceWriter::audioSamplesFor(uint64_t(frames), uint32_t(kind.rateNum),
                                                                    uint32_t(kind.rateDen));
    std::vector<uint8_t> chunk;
    for (int c = 0; c < kind.audioChannels; ++c) {
        for (uint64_t at = 0; at < samples; at += 48000) {
            const uint64_t n = std::min<uint64_t>(48000, samples - at);
            chunk.resize(size_t(2 * n));
            for (uint64_t j = 0; j < n; ++j) {
                const uint16_t v = uint16_t(sampleToneValue(c, int64_t(at + j)));
                chunk[size_t(2 * j)] = uint8_t(v);
                chunk[size_t(2 * j + 1)] = uint8_t(v >> 8);
            }
            told(exporter.WriteAudio(chunk.data(), chunk.size(), c)).ignore();
        }
    }
    if (!told(exporter.Close()).ok())
        return "the clip's files could not be finished";
    videoFile = exporter.videoPath();
    return {};
}

} // namespace

const std::vector<SampleClipKind>& sampleClipKinds() { return kKinds; }

int64_t sampleFrameCount(const SampleClipKind& kind, int seconds)
{
    int64_t n = framesPerSecond(kind) * std::max(1, seconds);
    if (kind.cadence == C::Pulldown32 || kind.cadence == C::Pulldown2332 || kind.cadence == C::Repeat23)
        n -= n % 5;
    return n;
}

uint32_t sampleBinaryGroup(const SampleClipKind& kind, int64_t index)
{
    switch (kind.cadence) {
    case C::Pulldown32:
    case C::Repeat23:
        return packedBinaryGroup(24, 1, 1, 0, index);
    case C::Pulldown2332:
        return packedBinaryGroup(24, 1, 1, 1, index);
    case C::Progressive:
        return packedBinaryGroup(kind.cameraRate, 1, 0, 0, index);
    case C::Interlaced:
        break;
    }
    return packedBinaryGroup(kind.cameraRate, 0, 0, 0, index);
}

SampleFieldPictures sampleFieldPictures(const SampleClipKind& kind, int64_t index)
{
    const int64_t group = index / 5, pos = index % 5;
    switch (kind.cadence) {
    case C::Interlaced:
        return {2 * index, 2 * index + 1};
    case C::Progressive:
        return {index, index};
    case C::Pulldown32: {
        // A A | B B | B C | C D | D D
        static constexpr int kFirst[5] = {0, 1, 1, 2, 3}, kSecond[5] = {0, 1, 2, 3, 3};
        return {4 * group + kFirst[pos], 4 * group + kSecond[pos]};
    }
    case C::Pulldown2332: {
        // A A | B B | B C | C C | D D
        static constexpr int kFirst[5] = {0, 1, 1, 2, 3}, kSecond[5] = {0, 1, 2, 2, 3};
        return {4 * group + kFirst[pos], 4 * group + kSecond[pos]};
    }
    case C::Repeat23: {
        const int64_t n = 2 * group + (pos < 2 ? 0 : 1);
        return {n, n};
    }
    }
    return {index, index};
}

SampleCounterLayout sampleCounterLayout()
{
    SampleCounterLayout l;
    l.left = 0.60;
    l.top = 0.81;
    l.pitch = 0.085;
    l.digitWidth = 0.06;
    l.digitHeight = 0.14;
    l.thickness = 0.025;
    l.digits = 4;
    return l;
}

void drawSamplePicture(dv::PictureBuffer& picture, int width, int height, int displayWidth, bool bt709,
                       int64_t number, double time)
{
    picture.resize(width, height);
    Painter paint(picture);
    const auto& bars = bt709 ? kBars709 : kBars601;
    const double xScale = double(width) / double(std::max(1, displayWidth));   // stored pixels per displayed pixel
    const int barsEnd = int(height * 0.45), sweepEnd = int(height * 0.58);

    // Colour bars.
    for (int y = 0; y < barsEnd; ++y)
        for (int x = 0; x < width; ++x)
            paint.put(x, y, bars[size_t(std::min(6, x * 7 / width))]);
    // Frequency sweep: luma from slow to fine across the width above, a fine
    // diagonal grating below.
    const int sweepMid = (barsEnd + sweepEnd) / 2;
    for (int y = barsEnd; y < sweepEnd; ++y) {
        for (int x = 0; x < width; ++x) {
            double v;
            if (y < sweepMid) {
                const double u = double(x) / width;
                v = std::sin(std::numbers::pi * u * u * width * 0.45);
            } else {
                v = ((x + y) / 2) % 2 ? 0.8 : -0.8;
            }
            paint.put(x, y, Ycc{uint8_t(126 + int(std::lround(90 * v))), 128, 128});
        }
    }
    // Dark grey floor with a grid.
    const int gridStep = std::max(8, width / 16);
    for (int y = sweepEnd; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const bool grid = x % gridStep < 2 || (y - sweepEnd) % (gridStep / 2) < 2;
            paint.put(x, y, grid ? Ycc{90, 128, 128} : Ycc{40, 128, 128});
        }

    // A ball rolling left to right over the floor, once every three seconds.
    const double radius = height * 0.08;
    const double span = displayWidth + 2 * radius;
    const double cx = -radius + span * (time / 3.0 - std::floor(time / 3.0));
    const double cy = height * 0.69;
    for (int y = int(cy - radius); y <= int(cy + radius) + 1; ++y) {
        if (y < 0 || y >= height)
            continue;
        for (int x = 0; x < width; ++x) {
            const double dx = x / xScale - cx, dy = y - cy;
            const double d2 = dx * dx + dy * dy;
            if (d2 > radius * radius)
                continue;
            // Shaded towards the edge, with a highlight.
            const double lit = 1.0 - std::sqrt(d2) / radius;
            paint.put(x, y, Ycc{uint8_t(110 + int(100 * lit)), 70, 190});
        }
    }
    // A chequered square crossing the bars right to left, once every four seconds.
    const double side = height * 0.16;
    const double sx = displayWidth - (displayWidth + side) * (time / 4.0 - std::floor(time / 4.0));
    const int sy = int(height * 0.12);
    const int cell = std::max(2, int(side / 8));
    for (int y = sy; y < sy + int(side) && y < height; ++y)
        for (int x = std::max(0, int(sx * xScale)); x < int((sx + side) * xScale) && x < width; ++x) {
            const int u = int(x / xScale - sx), v = y - sy;
            paint.put(x, y, ((u / cell + v / cell) % 2) ? Ycc{235, 128, 128} : Ycc{16, 128, 128});
        }

    // The frame counter, white on black.
    const SampleCounterLayout l = sampleCounterLayout();
    const int boxL = int((l.left - 0.015) * width), boxT = int((l.top - 0.02) * height);
    const int boxR = int((l.left + l.pitch * l.digits) * width), boxB = int((l.top + l.digitHeight + 0.02) * height);
    paint.fillRect(boxL, boxT, boxR, boxB, Ycc{16, 128, 128});
    const int t = std::max(2, int(l.thickness * height));
    const int tx = std::max(2, int(l.thickness * height * xScale));
    const int dh = int(l.digitHeight * height), dw = int(l.digitWidth * width);
    int64_t value = number < 0 ? 0 : number;
    for (int d = l.digits - 1; d >= 0; --d) {
        const int digit = int(value % 10);
        value /= 10;
        const int x0 = int((l.left + l.pitch * d) * width), y0 = int(l.top * height);
        const int ym = y0 + dh / 2;
        const Ycc on{235, 128, 128};
        const uint8_t segs = kSegments[size_t(digit)];
        if (segs & 0x01) paint.fillRect(x0, y0, x0 + dw, y0 + t, on);                     // a
        if (segs & 0x02) paint.fillRect(x0 + dw - tx, y0, x0 + dw, ym + t / 2, on);        // b
        if (segs & 0x04) paint.fillRect(x0 + dw - tx, ym - t / 2, x0 + dw, y0 + dh, on);   // c
        if (segs & 0x08) paint.fillRect(x0, y0 + dh - t, x0 + dw, y0 + dh, on);            // d
        if (segs & 0x10) paint.fillRect(x0, ym - t / 2, x0 + tx, y0 + dh, on);             // e
        if (segs & 0x20) paint.fillRect(x0, y0, x0 + tx, ym + t / 2, on);                  // f
        if (segs & 0x40) paint.fillRect(x0, ym - t / 2, x0 + dw, ym + t - t / 2, on);      // g
    }
}

int sampleToneFrequency(int channel) { return 250 * (channel + 2); }

int16_t sampleToneValue(int channel, int64_t index)
{
    const double phase = 2.0 * std::numbers::pi * sampleToneFrequency(channel) * double(index % 48000) / 48000.0;
    return int16_t(std::lround(6000.0 * std::sin(phase)));
}

SampleCardResult writeSampleCard(const fs::path& dir, const SampleCardOptions& options)
{
    SampleCardResult result;
    std::error_code ec;
    if (fs::exists(dir / "CONTENTS", ec)) {
        result.error = (dir / "CONTENTS").string() + " already exists";
        return result;
    }
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir, ec)) {
        result.error = "cannot create the folder " + dir.string();
        return result;
    }
    const fs::path staging = freshStagingFolder(dir);
    if (staging.empty()) {
        result.error = "cannot write into the folder " + dir.string();
        return result;
    }

    dv::InitCodecTables();
    dv::InitSdEncoderTables();
    const auto& kinds = sampleClipKinds();
    std::vector<fs::path> staged;
    for (size_t i = 0; i < kinds.size(); ++i) {
        if (options.onClip)
            options.onClip(int(i), int(kinds.size()), kinds[i]);
        fs::path video;
        const std::string error = writeClip(staging, kinds[i], options.seconds, video);
        if (!error.empty()) {
            result.error = std::string(kinds[i].name) + ": " + error;
            fs::remove_all(staging, ec);
            return result;
        }
        staged.push_back(video);
    }

    // Everything was written into one card folder of the staging folder.
    const fs::path card = staged.front().parent_path().parent_path().parent_path();
    fs::rename(card / "CONTENTS", dir / "CONTENTS", ec);
    if (ec) {
        result.error = "cannot move the card into " + dir.string() + ": " + ec.message();
        fs::remove_all(staging, ec);
        return result;
    }
    if (!fs::exists(dir / "LASTCLIP.TXT", ec))
        fs::rename(card / "LASTCLIP.TXT", dir / "LASTCLIP.TXT", ec);
    fs::remove_all(staging, ec);
    for (const auto& v : staged)
        result.videoFiles.push_back(dir / "CONTENTS" / "VIDEO" / v.filename());
    result.ok = true;
    return result;
}

} // namespace vorn
