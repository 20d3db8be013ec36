#include "dv/DvEncoder.h"

#include "dv/CodecTables.h"
#include "foundation/WorkerPool.h"
#include "dv/DvEncoderCore.h"
#include "dv/DvEncoderSearch.h"
#include "dv/DvSystemData.h"
#include "dv/EncoderTables.h"
#include "dv/Stretch.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace vorn::dv {

namespace {

using namespace enc;

constexpr int kHdSegmentsPerChannel = 12 * kVideoSegmentsPerSequence;

struct Job {
    const DvFormatInfo* info = nullptr;
    PictureView picture;
    uint8_t* frame = nullptr;
    bool rateControl = true;
    // Units: (shuffle channel, DIF sequence, segment) triples in coding order.
    std::vector<uint32_t> units;
};

uint32_t packUnit(int channel, int sequence, int segment)
{
    return static_cast<uint32_t>((channel << 16) | (sequence << 8) | segment);
}

// Carried QNO state of the HD engine, one set of five per video segment of
// each shuffle channel (initialised to 1): the seed of each segment's search
// in the next frame. The search gives the same result from any seed, so the
// seed only shortens it. Keeping it per segment rather than per worker keeps
// the work independent of the worker count.
using HdQnoState = std::array<std::array<uint8_t, 5>, 4 * kHdSegmentsPerChannel>;

void runUnit(SegmentCoder& c, HdQnoState& hdQno, const Job& job, uint32_t unit)
{
    const int channel = static_cast<int>(unit >> 16);
    const int sequence = static_cast<int>((unit >> 8) & 0xFF);
    const int segment = static_cast<int>(unit & 0xFF);
    const DvFormatInfo& f = *job.info;
    const int area = f.hd && (f.code == 2 || f.code == 4) ? (channel & 1) : channel;
    uint8_t* channelArea = job.frame + static_cast<size_t>(area) * static_cast<size_t>(f.channelBytes());
    SegmentTarget target;
    target.code = f.code;
    target.idByte1 = DifIdByte1(f.code, channel, sequence);
    for (int m = 0; m < 5; ++m) {
        const MacroblockPlace& p = macroblockPlace(f.code, channel, sequence, segment, m);
        target.mb[m].place = &p;
        target.mb[m].dif = channelArea + p.difOffset;
        target.mb[m].blockNumber = static_cast<uint8_t>(segment * 5 + m);
    }
    if (f.hd) {
        auto& state = hdQno[static_cast<size_t>(channel * kHdSegmentsPerChannel + sequence * 27 + segment)];
        int qno[5];
        for (int m = 0; m < 5; ++m)
            qno[m] = state[static_cast<size_t>(m)];
        c.encodeHd(job.picture, target, f.height == 1080, job.rateControl, qno);
        for (int m = 0; m < 5; ++m)
            state[static_cast<size_t>(m)] = static_cast<uint8_t>(qno[m]);
    } else {
        c.encodeSd(job.picture, target);
    }
}

// Video DIF blocks of a DIF sequence that carries no picture (sequences 10
// and 11 of 720/50p): IDs, QNO 0 and eight blocks with DC 0 and an immediate
// end of block, the rest of each block filled with ends of block, so that the
// sequence reads as valid empty video whatever the buffer held before.
void writeEmptyVideo(uint8_t* sequence, uint8_t idByte1)
{
    static constexpr int kSlotOffset[8] = {4, 14, 24, 34, 44, 54, 64, 72};
    for (int k = 0; k < kVideoBlocksPerSequence; ++k) {
        uint8_t* d = sequence + static_cast<size_t>(videoDifBlockIndex(k)) * kDifBlockBytes;
        d[0] = 0x9F;
        d[1] = idByte1;
        d[2] = static_cast<uint8_t>(k);
        d[3] = 0x00;
        std::memset(d + 4, 0x66, 76);
        for (int off : kSlotOffset) {
            d[off] = 0x00;
            d[off + 1] = 0x06;
        }
    }
}

} // namespace

struct DvEncoder::State {
    DvEncoderSettings settings;
    HdQnoState hdQno;
    // 720-line channel pair: even = channels 0/1, odd = channels 2/3.
    unsigned hdToggle = 0;
    // One segment coder per worker slot, made when the slot first works.
    std::array<std::unique_ptr<SegmentCoder>, kMaxPoolWorkers> coders;

    SegmentCoder& coder(int slot)
    {
        auto& c = coders[static_cast<size_t>(slot)];
        if (!c)
            c = std::make_unique<SegmentCoder>();
        return *c;
    }

    // Codes every unit in one pass of the worker pool, units claimed by
    // whichever worker is free. A segment's result depends only on the
    // picture and its own carried quantisers, so the frame is the same for
    // any worker count.
    bool run(const Job& job)
    {
        const int units = static_cast<int>(job.units.size());
        auto work = [&](int slot, int u) { runUnit(coder(slot), hdQno, job, job.units[static_cast<size_t>(u)]); };
        const int workers = std::clamp(defaultWorkerPool().workers(), 1, kMaxPoolWorkers);
        return forEachUnit(workers, units, work, kEncodeWorkerFailure);
    }
};

DvEncoder::DvEncoder(const DvEncoderSettings& settings) : m_state(std::make_unique<State>())
{
    m_state->settings = settings;
    for (auto& s : m_state->hdQno)
        s.fill(1);
}

DvEncoder::~DvEncoder() = default;

int DvEncoder::nextChannelPair() const { return static_cast<int>(m_state->hdToggle & 1); }

void setEncodeWorkerStartFailureForTest(int worker) { setPoolStartFailureForTest(worker); }

bool isEncodableFormat(VideoFormat code) { return code >= 1 && code <= 10 && code != 6; }

Status DvEncoder::encode(DifFrame& dest, PictureBuffer& scratch, const PictureBuffer& src, const EncodeLayout& layout,
                         VideoFormat code, const TimecodeCounter& timecode)
{
    if (!isEncodableFormat(code))
        return Status::failure("format " + std::to_string(code) + " cannot be encoded");
    const int width = layout.width;
    const int height = layout.height;
    const bool flip = layout.flip;
    InitSdEncoderTables();
    const DvFormatInfo& f = *dvFormatInfo(code);
    const int rows = height < 0 ? -height : height;
    const bool fullRaster = f.hd && width == f.fullWidth;
    if (layout.bytesPerPixel != 2 || (width != f.codedWidth && !fullRaster) || rows != f.height ||
        src.width != width || src.height != rows || src.size() < static_cast<size_t>(2) * width * rows)
        return Status::failure("the picture does not match format " + std::to_string(code));
    if (dest.size() < static_cast<size_t>(f.bytesPerFrame))
        dest.bytes.resize(static_cast<size_t>(f.bytesPerFrame), 0);

    // DVCPRO HD handed the full raster, or flipped: the stretch pass (down
    // direction, lines mirrored when flipping) makes the coded raster first.
    const PictureBuffer* picture = &src;
    if (f.hd && (fullRaster || flip)) {
        scratch.resize(f.codedWidth, rows);
        StretchJob sj;
        sj.dest = scratch.data();
        sj.destPitch = 2 * f.codedWidth;
        sj.src = src.data();
        sj.srcPitch = 2 * width;
        sj.height = rows;
        sj.code = code;
        sj.up = false;
        sj.stretch = fullRaster;
        sj.rotate = flip;
        sj.srcPairs = width / 2;
        if (!StretchPicture(sj))
            return Status::failure("the picture could not be stretched"); // the message box has been shown
        picture = &scratch;
    }

    Job job;
    job.info = &f;
    job.frame = dest.data();
    job.rateControl = m_state->settings.rateControl || !f.hd;
    const bool bottomUp = (height > 0) != flip;
    const ptrdiff_t pitch = 2 * static_cast<ptrdiff_t>(f.codedWidth);
    job.picture.top = bottomUp ? picture->data() + (rows - 1) * pitch : picture->data();
    job.picture.stride = bottomUp ? -pitch : pitch;

    // Channels coded in this frame.
    std::vector<int> channels;
    if (!f.hd) {
        for (int c = 0; c < f.channels; ++c)
            channels.push_back(c);
    } else if (code == 1 || code == 3) {
        channels = {0, 1, 2, 3};
    } else {
        const int first = (m_state->hdToggle & 1) ? 2 : 0;
        channels = {first, first + 1};
    }
    for (int c : channels) {
        int sequences = f.videoSequencesPerChannel;
        if (code == 3 && c == 0)
            sequences = 12;
        for (int q = 0; q < sequences; ++q)
            for (int k = 0; k < kVideoSegmentsPerSequence; ++k)
                job.units.push_back(packUnit(c, q, k));
    }
    if (!m_state->run(job))
        return Status::failure(kEncodeWorkerFailure); // the worker pool has shown the message box

    // System data of every DIF sequence of the coded channels.
    for (int c : channels) {
        const int area = f.hd && (code == 2 || code == 4) ? (c & 1) : c;
        std::span<uint8_t> channelArea(dest.data() + static_cast<size_t>(area) * f.channelBytes(),
                                       static_cast<size_t>(f.channelBytes()));
        for (int q = 0; q < f.sequencesPerChannel; ++q) {
            WriteSystemData(channelArea, c, q, code, timecode);
            // Sequences without picture: 10 and 11 of 720/50p, 11 of channels 1-3 of 1080/50i.
            if (q >= f.videoSequencesPerChannel && !(code == 3 && c == 0))
                writeEmptyVideo(channelArea.data() + static_cast<size_t>(q) * kDifSequenceBytes,
                                DifIdByte1(code, c, q));
        }
    }
    if (f.hd && (code == 2 || code == 4))
        ++m_state->hdToggle;
    return okStatus();
}

Status DvEncoder::encode(DifFrame& dest, const PictureBuffer& src, VideoFormat code, const TimecodeCounter& timecode)
{
    PictureBuffer scratch;
    EncodeLayout layout;
    layout.width = src.width;
    layout.height = src.height;
    return encode(dest, scratch, src, layout, code, timecode);
}

} // namespace vorn::dv
