// The coefficient-domain rotation: the first byte picks the format code (0 to
// 11; only 2 and 4 rotate), the second whether the frame is padded with zeros
// (or cut) to the code's frame size or given as it is; the rest is the frame.
// A rotation keeps every block but the video DIF blocks (and their block
// numbers), never changes a frame it refuses, and leaves a frame that still
// decodes.
#include "FuzzTargets.h"

#include "dv/CodecTables.h"
#include "dv/DifRotation.h"
#include "dv/DvDecoder.h"
#include "foundation/WorkerPool.h"

#include <algorithm>

namespace vorn::fuzz {

using namespace vorn::dv;

void runDvRotate(const uint8_t* data, size_t size)
{
    ControlBytes control(data, size);
    const VideoFormat code = control.next() % 12;
    const uint8_t how = control.next();
    const DvFormatInfo* info = dvFormatInfo(code);
    defaultWorkerPool().setWorkers(1 + (how >> 7));
    Bytes frame(data, data + size);
    if (info && !(how & 1))
        frame.resize(size_t(info->bytesPerFrame), 0);
    const Bytes before = frame;
    const bool rotates = (code == 2 || code == 4) && info && frame.size() >= size_t(info->bytesPerFrame);
    DifRotator rotator;
    const bool ok = rotator.rotate(frame, code).ok();
    FUZZ_CHECK(ok == rotates);
    FUZZ_CHECK(frame.size() == before.size());
    if (!ok) {
        FUZZ_CHECK(frame == before);
        return;
    }
    // Only the contents of video DIF blocks change.
    const size_t bytes = size_t(info->bytesPerFrame);
    std::vector<bool> video(kDifBlocksPerSequence, false);
    for (int k = 0; k < kVideoBlocksPerSequence; ++k)
        video[size_t(videoDifBlockIndex(k))] = true;
    for (size_t at = 0; at < frame.size(); at += kDifBlockBytes) {
        const size_t n = std::min<size_t>(kDifBlockBytes, frame.size() - at);
        if (at < bytes && video[at / kDifBlockBytes % kDifBlocksPerSequence]) {
            // A video block keeps its block number (the other ID bytes are
            // written anew, the same for the five blocks of a segment).
            FUZZ_CHECK(frame[at + 2] == before[at + 2]);
            continue;
        }
        FUZZ_CHECK(std::equal(frame.begin() + std::ptrdiff_t(at), frame.begin() + std::ptrdiff_t(at + n),
                              before.begin() + std::ptrdiff_t(at)));
    }
    PictureBuffer picture;
    FUZZ_CHECK(decodeDifFrame(frame, code, picture));
}

std::vector<Bytes> dvRotateSeeds()
{
    std::vector<Bytes> seeds;
    for (int code : {2, 4}) {
        Bytes seed{uint8_t(code), uint8_t(code == 4 ? 0x80 : 0)};
        const Bytes frame = dvTestFrame(code);
        seed.insert(seed.end(), frame.begin(), frame.end());
        seeds.push_back(std::move(seed));
    }
    return seeds;
}

} // namespace vorn::fuzz
