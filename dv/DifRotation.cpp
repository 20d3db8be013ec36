#include "dv/DifRotation.h"

#include "dv/CodecTables.h"
#include "foundation/WorkerPool.h"
#include "dv/DvDecoderCore.h"
#include "dv/DvEncoderCore.h"
#include "dv/EncoderTables.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorn::dv {

namespace {

// The 720-line raster: 960 x 720 in 16 x 16 macroblocks of 8 blocks (Y0 Y1 /
// Y2 Y3, Cr upper and lower, Cb upper and lower).
constexpr int kMbColumns = 60;
constexpr int kMbRows = 45;
constexpr int kMacroblocks = kMbColumns * kMbRows;
constexpr int kVideoSequences = 10;
constexpr int kSegmentsPerChannel = kVideoSequences * kVideoSegmentsPerSequence;
// AC bits of a segment: six 10-byte and two 8-byte block areas less their 12-bit headers.
constexpr int kSegmentCapacity = 5 * (6 * 68 + 2 * 52);

// Turned by 180 degrees, the block at the top left of a macroblock lands at the
// bottom right of the mirrored macroblock, the upper chroma block at the lower.
constexpr int kMirrorBlock[8] = {3, 2, 1, 0, 5, 4, 7, 6};

// Mirroring both ways multiplies the basis function of frequency (u, v) by
// (-1)^(u + v): per scan position, -1 where the sign changes, else 0.
struct SignFlips {
    alignas(16) int16_t mask[64];
    SignFlips()
    {
        for (int pos = 0; pos < 64; ++pos) {
            const int index = kZigzag88[pos];
            mask[pos] = static_cast<int16_t>((((index >> 3) + (index & 7)) & 1) ? -1 : 0);
        }
    }
};
const SignFlips kSignFlips;

// One block of the coefficient store: levels in zigzag scan order (level[0]
// is the DC field value) and its QNO (bits 2-5) and class (bits 0-1).
struct StoredBlock {
    alignas(16) int16_t level[64];
    uint8_t qnoClass;
};
struct StoredMacroblock {
    StoredBlock block[8];
};

inline int roundDiv(int value, int divisor)
{
    return value >= 0 ? (value + divisor / 2) / divisor : -((-value + divisor / 2) / divisor);
}

// A macroblock in field arrangement (upper blocks hold the even lines, lower
// blocks the odd lines) into frame arrangement: each block is dequantised
// ((level x W x S + 16) / 32, DC x 4) and inverse transformed, the lines of the
// block pairs (0, 2), (1, 3), (4, 5) and (6, 7) are interleaved back into picture
// order, and the blocks are transformed and quantised again with the same step
// (a coarser class where an amplitude would pass 255).
void fieldToFrame(detail::SegmentLevels::Block (&blocks)[8], int qno)
{
    alignas(16) uint8_t field[8][64];
    for (int b = 0; b < 8; ++b) {
        const uint16_t* W = enc::hdWeights(b >= 4, false);
        const int step = hdQuantStep(qno, blocks[b].cls);
        alignas(16) float coef[64] = {};
        coef[0] = 4.0f * static_cast<float>(blocks[b].level[0]);
        for (int i = 1; i < 64; ++i) {
            const int v = blocks[b].level[i];
            if (v == 0)
                continue;
            const int mag = ((v < 0 ? -v : v) * W[i] * step + 16) >> 5;
            coef[i] = static_cast<float>(v < 0 ? -mag : mag);
        }
        detail::idct88(coef, 0xffu, field[b]);
    }
    static constexpr int kPairs[4][2] = {{0, 2}, {1, 3}, {4, 5}, {6, 7}};
    alignas(16) uint8_t frame[8][64];
    for (const auto& pair : kPairs) {
        const uint8_t* even = field[pair[0]];
        const uint8_t* odd = field[pair[1]];
        for (int r = 0; r < 4; ++r) {
            std::memcpy(frame[pair[0]] + 16 * r, even + 8 * r, 8);
            std::memcpy(frame[pair[0]] + 16 * r + 8, odd + 8 * r, 8);
            std::memcpy(frame[pair[1]] + 16 * r, even + 8 * (r + 4), 8);
            std::memcpy(frame[pair[1]] + 16 * r + 8, odd + 8 * (r + 4), 8);
        }
    }
    for (int b = 0; b < 8; ++b) {
        alignas(16) int16_t samples[64];
        alignas(16) int16_t coef[64];
        for (int i = 0; i < 64; ++i)
            samples[i] = static_cast<int16_t>(frame[b][i] - 128);
        enc::forwardDct(samples, coef);
        const uint16_t* W = enc::hdWeights(b >= 4, false);
        int cls = blocks[b].cls;
        for (;;) {
            const int step = hdQuantStep(qno, cls);
            int largest = 0;
            for (int i = 1; i < 64; ++i) {
                const int c = coef[i];
                const int d = W[i] * step;
                const int mag = (32 * (c < 0 ? -c : c) + d / 2) / d;
                blocks[b].level[i] = static_cast<int16_t>(c < 0 ? -mag : mag);
                largest = std::max(largest, mag);
            }
            if (largest <= 255 || cls >= 3 || enc::hdStep(qno, cls + 1) == 0)
                break;
            ++cls;
        }
        blocks[b].cls = static_cast<uint8_t>(cls);
        blocks[b].level[0] = static_cast<int16_t>(std::clamp(roundDiv(coef[0], 4), -255, 255));
        blocks[b].mode = 0;
    }
}

// Code bits of a block (levels in scan order, 16-byte aligned): its
// run/amplitude codes and the end of block, as the encoder will write them.
int blockBits(const int16_t* level)
{
#if defined(__SSE2__)
    uint64_t zero = 0;
    for (int i = 0; i < 64; i += 16) {
        const __m128i z0 = _mm_cmpeq_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(level + i)), _mm_setzero_si128());
        const __m128i z1 =
            _mm_cmpeq_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(level + i + 8)), _mm_setzero_si128());
        zero |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(z0, z1)))) << i;
    }
    uint64_t nonZero = ~zero & ~uint64_t(1);
#else
    uint64_t nonZero = 0;
    for (int pos = 1; pos < 64; ++pos)
        nonZero |= static_cast<uint64_t>(level[pos] != 0) << pos;
#endif
    const uint8_t* length = enc::pairLengths();
    int bits = enc::kEobLength;
    int prev = 0;
    for (; nonZero; nonZero &= nonZero - 1) {
        const int pos = __builtin_ctzll(nonZero);
        const int v = level[pos];
        bits += length[(pos - prev - 1) * 256 + std::min(v < 0 ? -v : v, 255)];
        prev = pos;
    }
    return bits;
}

// The class at `qno` whose step is the smallest at least `step`, or the coarsest
// class there is (class 0 when the QNO has no valid step).
int classFor(int qno, int step)
{
    for (int c = 0; c < 4; ++c) {
        const int s = enc::hdStep(qno, c);
        if (s != 0 && s >= step)
            return c;
    }
    return enc::hdTopClass(qno);
}

// Levels of a block requantised from step s0 to step s: c' = (c s0 + s / 2) / s
// on the magnitudes (DC is not quantised by the step and stays).
void requantise(const int16_t* from, int s0, int s, int16_t* to)
{
    to[0] = from[0];
    for (int i = 1; i < 64; ++i) {
        const int c = from[i];
        const int mag = ((c < 0 ? -c : c) * s0 + s / 2) / s;
        to[i] = static_cast<int16_t>(c < 0 ? -mag : mag);
    }
}

// A destination macroblock while its segment is assembled: the turned levels
// as stored, and the quantiser they are written with.
struct TurnedMacroblock {
    alignas(16) int16_t original[8][64]; // scan order
    int originalStep[8];
    int step[8];
    int bits[8];
    int total = 0;
};

// Requantises block b of `t` to `qno` with the class whose step is the
// smallest at least `minStep` (classFor), and updates its bits.
void setQuantiser(TurnedMacroblock& t, enc::HdSegmentLevels::Block& out, int b, int qno, int minStep)
{
    const int cls = classFor(qno, minStep);
    const int step = hdQuantStep(qno, cls);
    requantise(t.original[b], t.originalStep[b], step, out.level);
    out.cls = cls;
    t.step[b] = step;
    t.total -= t.bits[b];
    t.bits[b] = blockBits(out.level);
    t.total += t.bits[b];
}

// One step coarser for a macroblock: the next QNO, or at QNO 15 the next class
// of each block that has one. False when it is as coarse as it gets.
bool coarsen(TurnedMacroblock& t, enc::HdSegmentLevels::Block (&out)[8], int& qno)
{
    if (qno < 15) {
        ++qno;
        for (int b = 0; b < 8; ++b)
            setQuantiser(t, out[b], b, qno, t.step[b]);
        return true;
    }
    bool changed = false;
    for (int b = 0; b < 8; ++b)
        if (out[b].cls < 3 && enc::hdStep(qno, out[b].cls + 1) != 0) {
            setQuantiser(t, out[b], b, qno, t.step[b] + 1);
            changed = true;
        }
    return changed;
}

struct PassState {
    VideoFormat code = 0;
    int shuffleChannel = 0;
    const DvFormatInfo* info = nullptr;
    const uint8_t* source = nullptr;
    uint8_t* destination = nullptr;
    StoredMacroblock* store = nullptr;
    std::atomic<bool> contextFailed{false};
};

inline int frameChannelOf(int shuffleChannel) { return shuffleChannel & 1; }

void decodeSegments(PassState& st, int first, int end)
{
    const ptrdiff_t channelBase = static_cast<ptrdiff_t>(frameChannelOf(st.shuffleChannel)) * st.info->channelBytes();
    detail::SegmentLevels levels;
    for (int unit = first; unit < end; ++unit) {
        const int sequence = unit / kVideoSegmentsPerSequence;
        const int segment = unit % kVideoSegmentsPerSequence;
        const uint8_t* blocks[5];
        const MacroblockPlace* places[5];
        for (int m = 0; m < 5; ++m) {
            places[m] = &macroblockPlace(st.code, st.shuffleChannel, sequence, segment, m);
            blocks[m] = st.source + channelBase + places[m]->difOffset;
        }
        const bool decoded = detail::decodeSegmentLevels(blocks, true, levels);
        if (!decoded)
            st.contextFailed = true;
        for (int m = 0; m < 5; ++m) {
            const int mb = (places[m]->y / 16) * kMbColumns + places[m]->x / 16;
            if (mb < 0 || mb >= kMacroblocks)
                continue;
            StoredMacroblock& out = st.store[mb];
            if (!decoded) {
                // An undecoded segment leaves flat grey blocks, not the previous frame's.
                std::memset(&out, 0, sizeof out);
                continue;
            }
            // The DCT mode bit of the first block marks the field arrangement.
            if (levels.block[m][0].mode)
                fieldToFrame(levels.block[m], levels.qno[m]);
            for (int b = 0; b < 8; ++b) {
                for (int pos = 0; pos < 64; ++pos)
                    out.block[b].level[pos] = levels.block[m][b].level[kZigzag88[pos]];
                out.block[b].qnoClass = static_cast<uint8_t>(((levels.qno[m] & 15) << 2) | (levels.block[m][b].cls & 3));
            }
        }
    }
}

bool encodeSegments(PassState& st, std::unique_ptr<enc::SegmentCoder>& coder, int first, int end)
{
    if (!coder) {
        try {
            coder = std::make_unique<enc::SegmentCoder>();
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    const ptrdiff_t channelBase = static_cast<ptrdiff_t>(frameChannelOf(st.shuffleChannel)) * st.info->channelBytes();
    enc::HdSegmentLevels out;
    TurnedMacroblock turned[5];
    for (int unit = first; unit < end; ++unit) {
        const int sequence = unit / kVideoSegmentsPerSequence;
        const int segment = unit % kVideoSegmentsPerSequence;
        enc::SegmentTarget target;
        target.code = st.code;
        int total = 0;
        for (int m = 0; m < 5; ++m) {
            const MacroblockPlace& place = macroblockPlace(st.code, st.shuffleChannel, sequence, segment, m);
            uint8_t* dif = st.destination + channelBase + place.difOffset;
            target.mb[m] = {&place, dif, dif[2]};
            if (m == 0)
                target.idByte1 = dif[1];
            // The macroblock that lands here.
            const int column = kMbColumns - 1 - place.x / 16, row = kMbRows - 1 - place.y / 16;
            const StoredMacroblock& src = st.store[std::clamp(row * kMbColumns + column, 0, kMacroblocks - 1)];
            TurnedMacroblock& t = turned[m];
            int qno = 0;
            for (int b = 0; b < 8; ++b)
                qno = std::max(qno, src.block[b].qnoClass >> 2);
            out.qno[m] = qno;
            t.total = 0;
            for (int b = 0; b < 8; ++b) {
                const StoredBlock& sb = src.block[kMirrorBlock[b]];
                for (int pos = 0; pos < 64; ++pos) {
                    const int16_t flip = kSignFlips.mask[pos];
                    t.original[b][pos] = static_cast<int16_t>((sb.level[pos] ^ flip) - flip);
                }
                const int blockQno = sb.qnoClass >> 2, cls = sb.qnoClass & 3;
                t.originalStep[b] = t.step[b] = hdQuantStep(blockQno, cls);
                enc::HdSegmentLevels::Block& ob = out.block[m][b];
                if (blockQno == qno) {
                    std::memcpy(ob.level, t.original[b], sizeof ob.level);
                    ob.cls = cls;
                    t.bits[b] = blockBits(ob.level);
                    t.total += t.bits[b];
                } else {
                    // One QNO per macroblock: the block takes the largest.
                    t.bits[b] = 0;
                    setQuantiser(t, ob, b, qno, t.step[b]);
                }
            }
            total += t.total;
        }
        // Codes beyond the segment's space: coarser quantisers, one macroblock
        // at a time in turn, until they fit or none can be made coarser.
        bool exhausted[5] = {};
        int left = 5;
        for (int m = 0; total > kSegmentCapacity && left > 0; m = (m + 1) % 5) {
            if (exhausted[m])
                continue;
            total -= turned[m].total;
            if (!coarsen(turned[m], out.block[m], out.qno[m])) {
                exhausted[m] = true;
                --left;
            }
            total += turned[m].total;
        }
        coder->writeHdLevels(out, target);
    }
    return true;
}

} // namespace

// Work areas kept from frame to frame.
struct DifRotator::Buffers {
    std::unique_ptr<StoredMacroblock[]> store; // kMacroblocks, in raster order
    std::unique_ptr<uint8_t[]> frame;          // the rewritten frame before it replaces the source
    size_t frameBytes = 0;
    // A segment coder per worker slot, made when the slot first writes.
    std::array<std::unique_ptr<enc::SegmentCoder>, kMaxPoolWorkers> coders;

    bool allocate(size_t bytes)
    {
        if (!store)
            store.reset(new (std::nothrow) StoredMacroblock[kMacroblocks]);
        if (frameBytes < bytes) {
            frame.reset(new (std::nothrow) uint8_t[bytes]);
            frameBytes = frame ? bytes : 0;
        }
        return store && frame;
    }
};

DifRotator::DifRotator() : m_buffers(std::make_unique<Buffers>()) {}

DifRotator::~DifRotator() = default;

Status DifRotator::rotate(std::span<uint8_t> frame, VideoFormat code, bool rotate)
{
    m_undecodable = false;
    if (!rotate)
        return okStatus();
    const DvFormatInfo* info = dvFormatInfo(code);
    if (!info || (code != 2 && code != 4))
        return Status::failure("format " + std::to_string(code) + " is not rotated in the compressed domain");
    if (frame.size() < static_cast<size_t>(info->bytesPerFrame))
        return Status::failure("the frame is shorter than a frame of its format");
    detail::initDecoderTables();
    InitSdEncoderTables();
    const size_t frameBytes = static_cast<size_t>(info->bytesPerFrame);
    Buffers& buf = *m_buffers;
    if (!buf.allocate(frameBytes))
        return Status::failure(kRotationBufferMessage, ENOMEM);

    PassState st;
    st.code = code;
    st.info = info;
    st.source = frame.data();
    st.store = buf.store.get();
    st.destination = buf.frame.get();
    std::memcpy(st.destination, frame.data(), frameBytes);

    const int pair = hdChannelPair(frame);
    const int workers = defaultWorkerPool().workers();
    // Runs segments(worker, first, end) over both channels of the pair, split
    // over the workers; worker w is one thread at a time, so its coder is its own.
    auto overChannels = [&](const auto& segments, const char* failureText) {
        for (int c = pair; c < pair + 2; ++c) {
            st.shuffleChannel = c;
            const bool ok = forkJoin(
                workers,
                [&](int worker) {
                    const WorkRange r = workRange(worker, workers, kSegmentsPerChannel);
                    if (r.first < r.end)
                        segments(worker, r.first, r.end);
                },
                failureText);
            if (!ok)
                return false;
        }
        return true;
    };
    if (!overChannels([&](int, int first, int end) { decodeSegments(st, first, end); },
                      kRotationDecodeThreadMessage))
        return Status::failure(kRotationDecodeThreadMessage); // the worker pool has shown the message box
    m_undecodable = st.contextFailed;

    std::atomic<bool> coderFailed{false};
    if (!overChannels(
            [&](int worker, int first, int end) {
                if (!encodeSegments(st, buf.coders[static_cast<size_t>(worker)], first, end))
                    coderFailed = true;
            },
            kRotationEncodeThreadMessage))
        return Status::failure(kRotationEncodeThreadMessage); // the worker pool has shown the message box
    if (coderFailed)
        return Status::failure(kRotationSegmentBufferMessage, ENOMEM);
    std::memcpy(frame.data(), st.destination, frameBytes);
    return okStatus();
}

} // namespace vorn::dv
