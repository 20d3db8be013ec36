// The clip reader on a card tree made from the input: one control byte, then
// the video file and up to eight audio channel files joined by the part
// separator. The card is imported as the program does (which describes the
// clip) and read directly: frames by number, every audio channel to its end.
#include "FuzzTargets.h"

#include "engine/Vorn.h"
#include "mxf/MxfFile.h"
#include "support/P2Fixture.h"

#include <algorithm>
#include <cstdio>

namespace vorn::fuzz {

namespace {

class QuietCaller : public CCaller {
public:
    void ExportDone() override {}
    void Message(const char* text, int replace, int) override
    {
        if (replace)
            log.clear();
        log += text ? text : "";
    }
    std::string log;
};

constexpr const char* kClipName = "0001AB";

} // namespace

void runMxfCard(const uint8_t* data, size_t size)
{
    ControlBytes control(data, size);
    const uint8_t flags = control.next();
    const bool audioBesideVideo = flags & 1;
    const int audioSelect = (flags >> 1) & 3;          // 0, 1 or 2 (3 reads as 0)
    const bool viaImport = !(flags & 8);
    const int firstChannel = (flags >> 4) & 7;          // the channel number of the first audio file

    const auto parts = splitParts(data, size, 1 + kMxfMaxAudioChannels);
    ScratchFolder scratch;
    const std::filesystem::path contents = "CONTENTS";
    const std::filesystem::path video = scratch.write(contents / "VIDEO" / (std::string(kClipName) + ".MXF"), parts[0]);
    for (size_t i = 1; i < parts.size(); ++i) {
        char name[32];
        const int channel = static_cast<int>((size_t(firstChannel) + i - 1) % kMxfMaxAudioChannels);
        std::snprintf(name, sizeof name, "%s%02d.MXF", kClipName, channel);
        scratch.write(contents / (audioBesideVideo ? "VIDEO" : "AUDIO") / name, parts[i]);
    }

    const int openBefore = mxfio::openCount();
    if (viaImport) {
        QuietCaller caller;
        CVorn engine;
        engine.Import(&caller, scratch.path().c_str());
        // Audio files beside the video file are imported as clips too; a
        // clip whose edit rate its format does not allow is refused, with its
        // reason, and not listed.
        int refused = 0;
        for (size_t at = 0; (at = caller.log.find(": refused, ", at)) != std::string::npos; ++at)
            ++refused;
        FUZZ_CHECK(engine.FileCount() + refused == (audioBesideVideo ? int(parts.size()) : 1));
        // Every clip gets a description line that starts with its name.
        FUZZ_CHECK(caller.log.find(std::string("\r\n") + kClipName) != std::string::npos);
        FUZZ_CHECK(mxfio::openCount() == openBefore);
    }

    CMxfFile file(video.c_str());
    const int kind = file.ReadHeaders();
    FUZZ_CHECK(kind >= 0 && kind <= 2);
    // The video file stays open for a video clip only; an audio file (kind 2)
    // is held as its channel instead.
    FUZZ_CHECK(file.IsOpen() == (kind == 1));
    // Frames: the first few, the last, one past it and one far beyond; into a
    // buffer exactly as large as the reader says a frame is (capped), so that
    // a read past it is caught.
    const int64_t frames = file.FrameCount();
    FUZZ_CHECK(frames >= 0);
    const size_t frameBytes =
        static_cast<size_t>(std::clamp(std::max(file.FrameSize(), file.LaterFrameSize()), 1, 1 << 20));
    std::vector<uint8_t> buffer(frameBytes);
    for (int64_t n : {int64_t{0}, int64_t{1}, int64_t{2}, frames - 1, frames, int64_t{1} << 40}) {
        const int got = file.ReadFrame(buffer.data(), buffer.size(), n);
        FUZZ_CHECK(got >= 0 && static_cast<size_t>(got) <= buffer.size());
        if (n >= frames || n < 0)
            FUZZ_CHECK(got == 0);
    }
    // Audio: every channel the reader takes, to its end (bounded), in odd-sized pieces.
    file.m_audioSelect = audioSelect;
    const int channels = file.ReadAllAudioHeaders(nullptr, 0);
    FUZZ_CHECK(channels >= 0 && channels <= kMxfMaxAudioChannels);
    FUZZ_CHECK(file.AudioFileCount() == channels);
    uint8_t chunk[3001];
    for (int ch = 0; ch < channels; ++ch) {
        size_t total = 0;
        for (int got; total < (4u << 20) && (got = file.ReadAudio(chunk, sizeof chunk, ch)) > 0;) {
            FUZZ_CHECK(got <= static_cast<int>(sizeof chunk));
            total += static_cast<size_t>(got);
        }
        FUZZ_CHECK(total <= size);   // never more than the files hold
    }
    FUZZ_CHECK(file.ReadAudio(chunk, sizeof chunk, channels) == 0);   // a channel it does not have
    file.Close();
    FUZZ_CHECK(!file.IsOpen());
    FUZZ_CHECK(mxfio::openCount() == openBefore);
}

std::vector<Bytes> mxfCardSeeds()
{
    using namespace vorn::test;
    std::vector<Bytes> seeds;
    struct Seed {
        int32_t format;
        int channels;
        uint8_t flags;
    };
    // DV 50i, 720p DVCPRO HD, AVC-Intra 100 and 50, with audio files in both places and channel selections.
    for (const Seed& s : {Seed{9, 2, 0x00}, Seed{2, 4, 0x05}, Seed{38, 1, 0x02}, Seed{33, 2, 0x08}, Seed{6, 8, 0x04}}) {
        P2Clip clip = p2Clip(s.format, 3, kClipName);
        clip.frameSize = 1000;
        clip.audioChannels = s.channels;
        setBinaryGroup(clip, 24, 8);
        std::vector<Bytes> parts{p2VideoFile(clip)};
        for (int ch = 0; ch < s.channels; ++ch)
            parts.push_back(p2AudioFile(clip, ch));
        Bytes seed{s.flags};
        const Bytes joined = joinParts(parts);
        seed.insert(seed.end(), joined.begin(), joined.end());
        seeds.push_back(std::move(seed));
    }
    return seeds;
}

} // namespace vorn::fuzz
