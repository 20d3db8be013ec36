// The AVC-Intra decoder: the first byte picks the format code (32 to 43), the
// second the destination (none, or an exactly sized buffer of one of a few
// capacities); the rest is one to three access units joined by the part
// separator, decoded in turn as the frames of one clip (later frames use the
// parameter sets of earlier ones) by a decoder made for the input. Each call
// must succeed, or fail with a message, without showing anything itself, and
// never write past the capacity it was given.
#include "FuzzTargets.h"

#include "avci/AvcDecoder.h"
#include "foundation/Notifier.h"
#include "helpers/FieldStreamWriter.h"
#include "support/TestSupport.h"

#include <random>

namespace vorn::fuzz {

void runAvcDecode(const uint8_t* data, size_t size)
{
    ControlBytes control(data, size);
    const int code = 32 + control.next() % 12;
    const uint8_t destination = control.next();
    static constexpr size_t kCapacities[] = {0, 4096, 96 * 64 * 2 * 2, 1920 * 1080 * 2 * 2};
    const size_t capacity = kCapacities[destination & 3];
    const auto units = splitParts(data, size, 3);

    avci::AvcDecoder decoder(avci::AvcDecoderSettings{1});
    int messages = 0;
    const NotifyHandler previous = setNotifyHandler([&](const std::string&, const std::string&) { ++messages; });
    std::vector<uint8_t> out(capacity);
    for (const auto& unit : units) {
        const Status status = decoder.decode(unit.data(), unit.size(), code, capacity ? out.data() : nullptr, capacity);
        FUZZ_CHECK(messages == 0);
        if (status.ok()) {
            const avci::AvcFrameInfo info = decoder.lastFrame();
            FUZZ_CHECK(info.width > 0 && info.height > 0);
            FUZZ_CHECK(info.chromaFormat >= 0 && info.chromaFormat <= 2);
            FUZZ_CHECK(info.bitDepth >= 8 && info.bitDepth <= 14);
            if (capacity)
                FUZZ_CHECK(info.bytes <= capacity);
        } else {
            FUZZ_CHECK(!status.message().empty());
        }
    }
    setNotifyHandler(previous);
}

std::vector<Bytes> avcDecodeSeeds()
{
    using namespace vorn::test;
    std::vector<Bytes> seeds;
    auto add = [&](int code, uint8_t destination, const std::vector<uint8_t>& stream) {
        std::vector<Bytes> parts;
        for (const auto& [offset, length] : avci::splitAccessUnits(stream.data(), stream.size()))
            parts.emplace_back(stream.begin() + std::ptrdiff_t(offset), stream.begin() + std::ptrdiff_t(offset + length));
        if (parts.size() > 3)
            parts.resize(3);
        Bytes seed{uint8_t(code - 32), destination};
        const Bytes joined = joinParts(parts);
        seed.insert(seed.end(), joined.begin(), joined.end());
        seeds.push_back(std::move(seed));
    };
    struct Stream {
        int code;
        int bitDepth, chroma;
        bool fields, deblocking;
        int rowsPerSlice;
        int units;
    };
    // 10-bit 4:2:2 field pairs, filtered; 8-bit 4:2:0 frames in slices; two
    // access units, the second without parameter sets.
    for (const Stream& s : {Stream{38, 10, 2, true, true, 0, 1}, Stream{33, 8, 1, false, false, 1, 1},
                            Stream{40, 10, 2, true, false, 2, 2}}) {
        FieldStreamOptions o;
        o.widthMbs = 3;
        o.heightMbs = 4;
        o.bitDepth = s.bitDepth;
        o.chromaFormat = s.chroma;
        o.fieldPairs = s.fields;
        o.deblocking = s.deblocking;
        o.mbRowsPerSlice = s.rowsPerSlice;
        FieldStreamWriter writer(o);
        PlanarFrame frame(48, 64, s.chroma);
        std::mt19937 rng{uint32_t(s.code)};
        for (int c = 0; c < 3; ++c)
            for (auto& v : frame.plane(c))
                v = uint16_t(rng() % (1u << s.bitDepth));
        for (int u = 0; u < s.units; ++u) {
            std::vector<MbPlan> plans(12);
            for (size_t i = 0; i < plans.size(); ++i)
                plans[i].coding = (i + size_t(u)) % 2 ? MbCoding::Pcm : MbCoding::Intra16x16Dc;
            writer.addAccessUnit(frame, plans);
        }
        add(s.code, 2, writer.stream());
    }
    // Streams of a real encoder (CABAC and CAVLC, 4:2:2 10-bit MBAFF and 4:2:0
    // 8-bit in slices), when the encoder is installed.
    if (haveTool("ffmpeg") && haveTool("x264")) {
        ScratchFolder scratch;
        const std::string src =
            "ffmpeg -loglevel error -y -f lavfi -i testsrc2=s=96x64:r=50 -vf noise=alls=8:allf=t -frames:v 2 ";
        const char* encodes[] = {
            "-pix_fmt yuv422p10le -strict -1 -f yuv4mpegpipe - | x264 --quiet --demuxer y4m --output-csp i422 "
            "--output-depth 10 --profile high422 --keyint 1 --tff --crf 16 -o s.264 - 2>/dev/null",
            "-pix_fmt yuv422p10le -strict -1 -f yuv4mpegpipe - | x264 --quiet --demuxer y4m --output-csp i422 "
            "--output-depth 10 --profile high422 --keyint 1 --tff --no-cabac --crf 16 -o s.264 - 2>/dev/null",
            "-pix_fmt yuv420p -f yuv4mpegpipe - | x264 --quiet --demuxer y4m --profile high --keyint 1 --crf 20 "
            "--slices 3 -o s.264 - 2>/dev/null",
        };
        const int codes[] = {38, 41, 33};
        for (int i = 0; i < 3; ++i) {
            const CommandResult r = runCommand("cd " + shellQuote(scratch.path().string()) + " && " + src + encodes[i]);
            if (r.exitCode == 0)
                add(codes[i], 2, readBytes(scratch.path() / "s.264"));
        }
    }
    return seeds;
}

} // namespace vorn::fuzz
