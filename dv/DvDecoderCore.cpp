// Video-segment decoding: the three-pass run/amplitude decoding of the five
// compressed macroblocks of a segment, dequantisation, inverse DCT and the
// placement of the samples in the packed 4:2:2 picture.
#include "dv/DvDecoderCore.h"
#include "foundation/ByteOrder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <new>

#include <mutex>

namespace vorn::dv::detail {

void initIdct();

namespace {

// ---------------------------------------------------------------------------
// VLC lookup: the first level is indexed by the top 12 bits of a 16-bit
// window and resolves every code of up to 12 bits (sign included); codes that
// are longer all start with five 1 bits and are resolved by the second level,
// indexed by the low 11 bits of the window (first-level entries of length 0).
//
// Every entry advances the scan position by `step` and then writes its amplitude times
// the factor at the position before the new one: a coefficient code steps
// over its run and itself; a run of zeros only steps over the run and writes
// a zero onto the last skipped coefficient, which is zero already. So every
// code takes the same path, with no test of its kind.
struct VlcEntry {
    int16_t amp = 0;  // signed amplitude; 0 for a run of zeros only (1 for the end of block)
    uint8_t step = 0; // run + 1 for a coefficient, run for a run of zeros; kEndRun for end of block
    uint8_t len = 0;  // bits consumed, sign included; 0 = second level
};
// End of block and undefined code words carry this step, which moves the
// coefficient position past the block and so ends it without a special case.
constexpr uint8_t kEndRun = 200;
// The long amplitude form with amplitude 0 neither writes nor moves; its step
// also passes the end so that it takes the rare path.
constexpr uint8_t kNoStep = 250;

std::array<VlcEntry, 4096> g_vlc1;
std::array<VlcEntry, 2048> g_vlc2;

// The codes of up to 10 bits (sign included) again, indexed by the top 10
// bits: over 96% of the codes of real pictures, in a table a quarter of the
// size, which stays in the first-level cache next to the coefficients and the
// dequantisation factors. Its other entries have length 0 and lead to g_vlc1.
std::array<VlcEntry, 1024> g_vlc0;

void putCode(uint32_t bits, int length, VlcEntry e)
{
    e.len = static_cast<uint8_t>(length);
    const uint32_t window = bits << (16 - length);
    if (length <= 12) {
        const uint32_t first = window >> 4;
        for (uint32_t i = 0; i < (1u << (12 - length)); ++i)
            g_vlc1[first + i] = e;
        return;
    }
    // Longer codes start with 11111; the first-level slots 11111xxxxxxx that
    // no short code claims keep length 0 and so lead to the second level.
    const uint32_t first = window & 0x7ffu;
    for (uint32_t i = 0; i < (1u << (16 - length)); ++i)
        g_vlc2[first + i] = e;
}

// Scan orders (8-8, 2-4-8) with each position's place in a block stored by
// column (column * 8 + row, as the transforms take it) in bits 0-7, its row's
// bit (1 << row) in bits 8-15 and its column's bit in bits 16-23.
uint32_t g_scan[2][64];

// A scan position's dequantisation factor and its g_scan entry side by side,
// so that one pointer per block reaches both.
struct CoefStep {
    float factor;
    uint32_t scan;
};

// In scan order: [dct mode][class][qno][scan position].
CoefStep g_sdSteps[2][4][16][64];
// DVCPRO HD: [1080 lines][chroma][class][qno][scan position].
CoefStep g_hdSteps[2][2][4][16][64];
// Factor 1, for the levels themselves: [dct mode][scan position].
CoefStep g_unitSteps[2][64];

void buildTables()
{
    initIdct();
    for (const VlcCode& c : vlcCodes()) {
        if (c.run == kVlcUnknownRun)
            continue;
        if (c.run == kVlcEobRun) {
            VlcEntry e;
            e.step = kEndRun;
            e.amp = 1;
            putCode(c.bits, c.length, e);
        } else if (c.amp == 0) {
            VlcEntry e;
            e.step = c.run;
            putCode(c.bits, c.length, e);
        } else {
            for (int s = 0; s < 2; ++s) {
                VlcEntry e;
                e.step = static_cast<uint8_t>(c.run + 1);
                e.amp = static_cast<int16_t>(s ? -c.amp : c.amp);
                putCode((static_cast<uint32_t>(c.bits) << 1) | static_cast<uint32_t>(s), c.length + 1, e);
            }
        }
    }
    // Long runs of zeros: 1111110 + 6-bit field f skips f + 1 coefficients.
    for (uint32_t run = 0; run < 64; ++run) {
        VlcEntry e;
        e.step = static_cast<uint8_t>(run + 1);
        putCode((0x7eu << 6) | run, 13, e);
    }
    // Large amplitudes: 1111111 + 8-bit amplitude + sign, run 0.
    for (uint32_t amp = 0; amp < 256; ++amp)
        for (uint32_t s = 0; s < 2; ++s) {
            VlcEntry e;
            e.step = amp == 0 ? kNoStep : 1;
            e.amp = static_cast<int16_t>(s ? -static_cast<int>(amp) : static_cast<int>(amp));
            putCode((((0x7fu << 8) | amp) << 1) | s, 16, e);
        }
    // Any window no code claims ends the block (the table leaves none).
    for (uint32_t i = 0; i < 0xf80u; ++i)
        if (g_vlc1[i].len == 0)
            g_vlc1[i] = VlcEntry{1, kEndRun, 16};
    for (VlcEntry& e : g_vlc2)
        if (e.len == 0)
            e = VlcEntry{1, kEndRun, 16};

    for (size_t i = 0; i < g_vlc0.size(); ++i) {
        // A code of up to 10 bits fills all four 12-bit slots of its 10-bit prefix.
        const VlcEntry& e = g_vlc1[i << 2];
        g_vlc0[i] = (e.len != 0 && e.len <= 10) ? e : VlcEntry{0, 0, 0};
    }
    for (int mode = 0; mode < 2; ++mode)
        for (int pos = 0; pos < 64; ++pos) {
            const uint32_t idx = (mode ? kZigzag248 : kZigzag88)[pos];
            const uint32_t row = idx >> 3, col = idx & 7;
            g_scan[mode][pos] = (col * 8 + row) | (0x100u << row) | (0x10000u << col);
            // Every level is a whole number of at most 255 in magnitude: exact as a float.
            g_unitSteps[mode][pos] = {1.0f, g_scan[mode][pos]};
        }
    for (int mode = 0; mode < 2; ++mode)
        for (int cls = 0; cls < 4; ++cls)
            for (int qno = 0; qno < 16; ++qno)
                for (int pos = 0; pos < 64; ++pos) {
                    const uint8_t* zz = mode ? kZigzag248 : kZigzag88;
                    g_sdSteps[mode][cls][qno][pos] = {
                        pos == 0 ? 0.0f
                                 : static_cast<float>(sdQuantStep(qno, cls, acArea(pos)) / sdWeight(mode != 0, zz[pos])),
                        g_scan[mode][pos]};
                }
    for (int l = 0; l < 2; ++l)
        for (int chroma = 0; chroma < 2; ++chroma)
            for (int cls = 0; cls < 4; ++cls)
                for (int qno = 0; qno < 16; ++qno)
                    for (int pos = 0; pos < 64; ++pos)
                        g_hdSteps[l][chroma][cls][qno][pos] = {
                            pos == 0 ? 0.0f
                                     : static_cast<float>(hdQuantStep(qno, cls) /
                                                          hdWeight(chroma != 0, l != 0, kZigzag88[pos])),
                            g_scan[0][pos]};
}

std::once_flag g_once;

// ---------------------------------------------------------------------------
// Bits.

// Reads bits [pos, end) of a buffer that has at least 16 readable bytes past end.
struct BitReader {
    const uint8_t* data = nullptr;
    int pos = 0;
    int end = 0;

    int left() const { return end - pos; }
    static uint32_t load32(const uint8_t* p) { return loadBigEndian32(p); }
    static uint64_t load64(const uint8_t* p) { return loadBigEndian64(p); }
    uint32_t peek16() const { return (load32(data + (pos >> 3)) << (pos & 7)) >> 16; }
    uint32_t bits(int at, int n) const // n <= 16
    {
        return ((load32(data + (at >> 3)) << (at & 7)) >> (32 - n)) & ((1u << n) - 1u);
    }
};

// Collects bit ranges one after another (spare bits of finished blocks). The
// bits of the byte being filled that lie past `bits` are always zero. A pool
// holds at most the 400 bytes of a segment; each append step writes 8 bytes
// from the byte being filled, and the code reader reads up to 16 bytes past
// the end, so the buffer has 16 bytes to spare.
struct BitPool {
    static constexpr int kBytes = 5 * 80 + 16;
    uint8_t data[kBytes] = {};
    int bits = 0;

    void clear()
    {
        bits = 0;
        data[0] = 0;
    }
    // Appends bits [from, to) of `src` (whose buffer has 8 readable bytes past
    // its end), up to 56 bits per step.
    void append(const BitReader& src, int from, int to)
    {
        while (from < to) {
            const int n = std::min(56, to - from);
            const uint64_t v = (BitReader::load64(src.data + (from >> 3)) << (from & 7)) & (~uint64_t{0} << (64 - n));
            const int byte = bits >> 3, shift = bits & 7;
            storeBigEndian64(data + byte, (static_cast<uint64_t>(data[byte]) << 56) | (v >> shift));
            bits += n;
            from += n;
        }
    }
    BitReader reader() const { return BitReader{data, 0, bits}; }
};

struct BlockState {
    float* coef = nullptr;
    const CoefStep* steps = nullptr; // factors and g_scan entries of the block's DCT mode
    unsigned mask = 0;              // OR of the g_scan entries of the written positions, and of the DC's
    int pos = 1;
    uint32_t partial = 0; // bits of an unfinished code word
    int partialBits = 0;
    bool done = false;

    unsigned rowMask() const { return (mask >> 8) & 0xffu; }
    unsigned colMask() const { return (mask >> 16) & 0xffu; }
};

// The entry of the code at the top 16 bits of a 64-bit cache.
inline VlcEntry lookupTop(uint64_t cache)
{
    VlcEntry e = g_vlc0[cache >> 54];
    if (e.len == 0) [[unlikely]] {
        e = g_vlc1[cache >> 52];
        if (e.len == 0)
            e = g_vlc2[(cache >> 48) & 0x7ffu];
    }
    return e;
}

// Applies entry `e` to a block at scan position `pos` (see VlcEntry). False
// when the block ends: its position then stays where it was. A run of zeros
// that passes the end does not end the block; the next coefficient code does.
inline bool applyCode(VlcEntry e, ptrdiff_t& pos, float* coef, const CoefStep* steps, unsigned& mask)
{
    const ptrdiff_t next = pos + e.step;
    if (next > 64) [[unlikely]] {
        if (e.step == kNoStep)
            return true;
        if (e.amp != 0)
            return false;
        pos = next;
        return true;
    }
    pos = next;
    const CoefStep& step = steps[next - 1];
    const uint32_t s = step.scan;
    // Converted rather than looked up: one table less in the first-level cache.
    coef[s & 0xff] = static_cast<float>(e.amp) * step.factor;
    mask |= s;
    return true;
}

// A block's code reader. The bits are read through a 64-bit cache whose top
// left + k bits are the next ones (k changes only when the cache is topped
// up, so a code's step updates one count), and whose next bit after those
// starts byte *p. It is topped up before every three codes without a test:
// the next eight bytes are merged in below the cached bits and p moves on by
// the whole bytes that fitted, which leaves 56 to 63 bits, enough for three
// codes of up to 16 bits. Bits merged again are the same bits, and the cache
// below its count holds only zeros or the stream's own next bits. Every code
// that lies wholly within the area is taken (the lookup of a prefix code does
// not depend on the bits after the code); the start of one that runs past the
// end is kept for the next area. A kept start is put in front of the first
// bits loaded, so its code is read like any other; `left` counts it until it
// is consumed (its code always takes all of it and more). The state is a
// local value so the compiler need not reload it after each coefficient
// store. The loads reach at most 16 bytes past the area's end.
struct Lane {
    uint64_t cache;
    const uint8_t* p;
    int k;
    int left; // bits not yet consumed
    ptrdiff_t pos;
    unsigned mask;
    float* coef;
    const CoefStep* steps;
};

// With kPartial false the block is known to have no kept start (the first pass).
template <bool kPartial>
[[gnu::always_inline]] inline Lane laneStart(BlockState& b, const BitReader& r)
{
    Lane l;
    const int pb = kPartial ? b.partialBits : 0;
    l.left = pb + (r.end - r.pos);
    l.p = r.data + (r.pos >> 3);
    const int skip = r.pos & 7;
    l.cache = BitReader::load64(l.p) << skip;
    // The bits of the first whole bytes loaded, after the kept start.
    int cached;
    if (kPartial && pb > 0) {
        l.cache = (static_cast<uint64_t>(b.partial) << (64 - pb)) | (l.cache >> pb);
        b.partialBits = 0;
        const int lead = pb - skip; // -7..15: where byte 0 of p starts in the cache
        const int bytes = (63 - lead) >> 3;
        cached = lead + 8 * bytes;
        l.p += bytes;
    } else {
        const int bytes = (63 + skip) >> 3;
        cached = 8 * bytes - skip;
        l.p += bytes;
    }
    l.k = cached - l.left;
    l.pos = b.pos;
    l.mask = b.mask;
    l.coef = b.coef;
    l.steps = b.steps;
    return l;
}

// One code of a lane: false when its block ends (done) or the next code runs
// past the area's end (its start kept in the block).
[[gnu::always_inline]] inline bool laneCode(Lane& l, BlockState& b, bool& done)
{
    VlcEntry e = g_vlc0[l.cache >> 54];
    // One test for both rare cases: a code longer than the short table's
    // (length 0, which wraps to the largest unsigned) and a code that runs
    // past the end.
    if (static_cast<unsigned>(e.len) - 1u >= static_cast<unsigned>(l.left)) [[unlikely]] {
        if (e.len == 0)
            e = lookupTop(l.cache);
        if (e.len > l.left) {
            // A prefix code: the bits after the end cannot make it shorter.
            if (l.left > 0) {
                b.partial = static_cast<uint32_t>(l.cache >> (64 - l.left));
                b.partialBits = l.left;
                l.left = 0;
            }
            return false;
        }
    }
    l.left -= e.len;
    l.cache <<= e.len;
    if (!applyCode(e, l.pos, l.coef, l.steps, l.mask)) {
        done = true; // end of block, or a damaged block
        return false;
    }
    return true;
}

[[gnu::always_inline]] inline void laneRefill(Lane& l)
{
    const int cached = l.left + l.k;
    l.cache |= BitReader::load64(l.p) >> cached;
    l.p += (63 - cached) >> 3;
    l.k = (cached | 56) - l.left;
}

[[gnu::always_inline]] inline void laneFinish(const Lane& l, BlockState& b, BitReader& r, bool done)
{
    r.pos = r.end - l.left;
    b.pos = static_cast<int>(l.pos);
    b.mask = l.mask;
    b.done = done;
}


// Decodes AC codes of block `b` from `r` until end of block or until the bits
// run out; the start of a code word that runs past the end of the bits is kept
// in the block (partial, partialBits) and read first by the next call.
template <bool kPartial>
[[gnu::always_inline]] inline void decodeCodes(BlockState& b, BitReader& r)
{
    if ((kPartial ? b.partialBits : 0) + (r.end - r.pos) <= 0)
        return;
    Lane l = laneStart<kPartial>(b, r);
    bool done = false;
    for (;;) {
#pragma GCC unroll 3
        for (int i = 0; i < 3; ++i)
            if (!laneCode(l, b, done)) {
                laneFinish(l, b, r, done);
                return;
            }
        laneRefill(l);
    }
}

// The first pass reads two blocks at once, each in its own area: the chain
// from one code's lookup to the next of a block is serial, and two of them
// side by side keep the processor busy while either waits for its table load.
// Blocks a and b take one code each in turn until either stops; the other
// then goes on alone from where the pair left it.
[[gnu::always_inline]] inline void decodeCodePair(BlockState& ba, BitReader& ra, BlockState& bb, BitReader& rb)
{
    Lane a = laneStart<false>(ba, ra), b = laneStart<false>(bb, rb);
    bool doneA = false, doneB = false;
    for (;;) {
#pragma GCC unroll 3
        for (int i = 0; i < 3; ++i) {
            if (!laneCode(a, ba, doneA))
                goto endA;
            if (!laneCode(b, bb, doneB))
                goto endB;
        }
        laneRefill(a);
        laneRefill(b);
    }
endA:
    laneFinish(a, ba, ra, doneA);
    laneFinish(b, bb, rb, false);
    decodeCodes<false>(bb, rb);
    return;
endB:
    laneFinish(b, bb, rb, doneB);
    laneFinish(a, ba, ra, false);
    decodeCodes<false>(ba, ra);
}

// The later passes: blocks that have not ended read on in the pooled bits.
void decodeAc(BlockState& b, BitReader& r)
{
    if (!b.done)
        decodeCodes<true>(b, r);
}

// Byte offsets and sizes of the DCT block areas inside a compressed macroblock.
constexpr int kSdSlotOffset[6] = {4, 18, 32, 46, 60, 70};
constexpr int kSdSlotSize[6] = {14, 14, 14, 14, 10, 10};
constexpr int kHdSlotOffset[8] = {4, 14, 24, 34, 44, 54, 64, 72};
constexpr int kHdSlotSize[8] = {10, 10, 10, 10, 10, 10, 8, 8};

struct alignas(16) SegmentContext {
    uint8_t segment[5 * 80 + 16] = {};
    float coef[5][8][64] = {}; // zero between segments: used rows are cleared after placement
    uint8_t mode[5][8];
    BlockState blocks[5][8];
    BitPool mbPool;
    BitPool vsPool;
    uint8_t pixels[64];
    alignas(16) uint8_t blockPixels[8][64];
};

// ---------------------------------------------------------------------------
// Placement.

inline void putLuma(const PackedTarget& t, int x0, int y0, const uint8_t* px)
{
    for (int r = 0; r < 8; ++r) {
        uint8_t* d = t.row(y0 + r) + 2 * x0;
        const uint8_t* s = px + r * 8;
        for (int c = 0; c < 8; ++c)
            d[2 * c] = s[c];
    }
}

// 4:2:2 chroma: chroma sample column cx0 + c sits in byte 4 * (cx0 + c) + offset.
inline void putChroma422(const PackedTarget& t, int cx0, int y0, int offset, const uint8_t* px, int lineStep = 1)
{
    for (int r = 0; r < 8; ++r) {
        uint8_t* d = t.row(y0 + r * lineStep) + 4 * cx0 + offset;
        const uint8_t* s = px + r * 8;
        for (int c = 0; c < 8; ++c)
            d[4 * c] = s[c];
    }
}

// 4:1:1 chroma: one sample serves four pixels (two pairs).
inline void putChroma411(const PackedTarget& t, int cx0, int y0, int offset, const uint8_t* px, int cols, int rowOff,
                         int colOff)
{
    for (int r = 0; r < 8; ++r) {
        uint8_t* d = t.row(y0 + r + rowOff) + 8 * cx0 + offset;
        const uint8_t* s = px + r * 8 + colOff;
        for (int c = 0; c < cols; ++c) {
            d[8 * c] = s[c];
            d[8 * c + 4] = s[c];
        }
    }
}

// 4:2:0 chroma: one sample serves a 2x2 square.
inline void putChroma420(const PackedTarget& t, int cx0, int cy0, int offset, const uint8_t* px)
{
    for (int r = 0; r < 8; ++r) {
        uint8_t* d0 = t.row(2 * (cy0 + r)) + 4 * cx0 + offset;
        uint8_t* d1 = t.row(2 * (cy0 + r) + 1) + 4 * cx0 + offset;
        const uint8_t* s = px + r * 8;
        for (int c = 0; c < 8; ++c) {
            d0[4 * c] = s[c];
            d1[4 * c] = s[c];
        }
    }
}

// The three decoding passes over the five DIF blocks of a segment: each
// block in its own area, then the spare bits of its macroblock, then those of
// the whole segment. setup(b, m, j, dc, mode, cls, qno) prepares block j of
// macroblock m (scan order, factors, DC) before its AC codes are read.
// The first pass reads neighbouring blocks in pairs, but block by block in
// the 50 Mb/s layout (spareSlots), whose slots 1 and 3 carry overflow bits
// only: their blocks end at once, which would leave the other of a pair alone.
template <class Setup>
void parsePasses(SegmentContext& ctx, const uint8_t* const blocks[5], bool hd, bool spareSlots, Setup&& setup)
{
    const int slots = hd ? 8 : 6;
    const int* slotOffset = hd ? kHdSlotOffset : kSdSlotOffset;
    const int* slotSize = hd ? kHdSlotSize : kSdSlotSize;

    for (int m = 0; m < 5; ++m)
        std::memcpy(ctx.segment + m * 80, blocks[m], 80);
    std::memset(ctx.segment + 400, 0, 16);

    BitReader seg{ctx.segment, 0, 400 * 8};
    ctx.vsPool.clear();

    // Pass 1 (each block in its own area) and pass 2 (within the macroblock).
    for (int m = 0; m < 5; ++m) {
        const int qno = ctx.segment[m * 80 + 3] & 0x0f;
        ctx.mbPool.clear();
        // Prepares block j for its first pass and gives the reader of its area.
        auto start = [&](int j) {
            const int begin = (m * 80 + slotOffset[j]) * 8;
            const uint32_t header = seg.bits(begin, 12);
            int dc = static_cast<int>(header >> 3);
            if (dc & 0x100)
                dc -= 0x200;
            const int mode = (header >> 2) & 1;
            const int cls = header & 3;
            BlockState& b = ctx.blocks[m][j];
            // Field by field: a whole-struct assignment went through a
            // temporary whose overlapping stores stall the reload.
            b.coef = ctx.coef[m][j];
            b.mask = 0x10100u; // the DC coefficient's row and column
            b.pos = 1;
            b.partial = 0;
            b.partialBits = 0;
            b.done = false;
            setup(b, m, j, dc, mode, cls, qno);
            return BitReader{ctx.segment, begin + 12, begin + slotSize[j] * 8};
        };
        if (spareSlots) {
            for (int j = 0; j < slots; ++j) {
                BitReader r = start(j);
                BlockState& b = ctx.blocks[m][j];
                decodeCodes<false>(b, r);
                if (b.done && r.pos < r.end)
                    ctx.mbPool.append(seg, r.pos, r.end);
            }
        } else {
            // Blocks two at a time (the slot counts are even).
            for (int j = 0; j < slots; j += 2) {
                BitReader r[2] = {start(j), start(j + 1)};
                decodeCodePair(ctx.blocks[m][j], r[0], ctx.blocks[m][j + 1], r[1]);
                for (int k = 0; k < 2; ++k)
                    if (ctx.blocks[m][j + k].done && r[k].pos < r[k].end)
                        ctx.mbPool.append(seg, r[k].pos, r[k].end);
            }
        }
        BitReader pool = ctx.mbPool.reader();
        for (int j = 0; j < slots && pool.left() > 0; ++j) {
            BlockState& b = ctx.blocks[m][j];
            if (!b.done)
                decodeAc(b, pool);
        }
        if (pool.left() > 0)
            ctx.vsPool.append(pool, pool.pos, pool.end);
    }
    // Pass 3: the remaining bits of the whole segment.
    {
        BitReader pool = ctx.vsPool.reader();
        for (int m = 0; m < 5 && pool.left() > 0; ++m)
            for (int j = 0; j < slots && pool.left() > 0; ++j) {
                BlockState& b = ctx.blocks[m][j];
                if (!b.done)
                    decodeAc(b, pool);
            }
    }
}

void decodeSegment(SegmentContext& ctx, const DvFormatInfo& info, const uint8_t* const blocks[5],
                   const MacroblockPlace* const places[5], const PackedTarget& target)
{
    const DecoderKernels& K = decoderKernels();
    const bool hd = info.hd;
    const int l1080 = info.height == 1080 ? 1 : 0;
    const bool spareSlots = info.chroma == ChromaLayout::k422Sd;
    parsePasses(ctx, blocks, hd, spareSlots, [&](BlockState& b, int m, int j, int dc, int mode, int cls, int qno) {
        ctx.mode[m][j] = static_cast<uint8_t>(mode);
        if (hd) {
            const int chroma = j >= 4 ? 1 : 0;
            b.steps = g_hdSteps[l1080][chroma][cls][qno];
        } else {
            b.steps = g_sdSteps[mode][cls][qno];
        }
        b.coef[0] = static_cast<float>(dc * 4);
    });

    // Inverse transforms and placement.
    const ptrdiff_t step = target.bottomUp ? -target.pitch() : target.pitch();
    for (int m = 0; m < 5; ++m) {
        const MacroblockPlace& p = *places[m];
        const int x0 = p.x, y0 = p.y;
        auto transform = [&](int j, bool use248) {
            BlockState& b = ctx.blocks[m][j];
            (use248 ? K.idct248 : K.idct88)(b.coef, b.rowMask(), b.colMask(), ctx.pixels);
            return ctx.pixels;
        };
        switch (p.shape) {
        case MacroblockShape::k411Wide: {
            uint8_t(*px)[64] = ctx.blockPixels;
            for (int j = 0; j < 6; ++j) {
                BlockState& b = ctx.blocks[m][j];
                (ctx.mode[m][j] ? K.idct248 : K.idct88)(b.coef, b.rowMask(), b.colMask(), px[j]);
            }
            K.mb411(target.row(y0) + 2 * x0, step, px);
            break;
        }
        case MacroblockShape::k411Square:
            putLuma(target, x0, y0, transform(0, ctx.mode[m][0]));
            putLuma(target, x0 + 8, y0, transform(1, ctx.mode[m][1]));
            putLuma(target, x0, y0 + 8, transform(2, ctx.mode[m][2]));
            putLuma(target, x0 + 8, y0 + 8, transform(3, ctx.mode[m][3]));
            for (int j = 4; j < 6; ++j) {
                const int offset = j == 4 ? 3 : 1;
                const uint8_t* px = transform(j, ctx.mode[m][j]);
                putChroma411(target, x0 / 4, y0, offset, px, 4, 0, 0);
                putChroma411(target, x0 / 4, y0, offset, px, 4, 8, 4);
            }
            break;
        case MacroblockShape::k420:
            putLuma(target, x0, y0, transform(0, ctx.mode[m][0]));
            putLuma(target, x0 + 8, y0, transform(1, ctx.mode[m][1]));
            putLuma(target, x0, y0 + 8, transform(2, ctx.mode[m][2]));
            putLuma(target, x0 + 8, y0 + 8, transform(3, ctx.mode[m][3]));
            putChroma420(target, x0 / 2, y0 / 2, 3, transform(4, ctx.mode[m][4]));
            putChroma420(target, x0 / 2, y0 / 2, 1, transform(5, ctx.mode[m][5]));
            break;
        case MacroblockShape::k422Sd: {
            uint8_t(*px)[64] = ctx.blockPixels;
            for (int j : {0, 2, 4, 5}) {
                BlockState& b = ctx.blocks[m][j];
                (ctx.mode[m][j] ? K.idct248 : K.idct88)(b.coef, b.rowMask(), b.colMask(), px[j]);
            }
            K.mb422(target.row(y0) + 2 * x0, step, px, kMb422Sd);
            break;
        }
        case MacroblockShape::k422Hd: {
            // The DCT mode bit of the first block selects the field arrangement:
            // the upper blocks hold the first field's lines, the lower the second's.
            uint8_t(*px)[64] = ctx.blockPixels;
            for (int j = 0; j < 8; ++j) {
                BlockState& b = ctx.blocks[m][j];
                K.idct88(b.coef, b.rowMask(), b.colMask(), px[j]);
            }
            K.mb422(target.row(y0) + 2 * x0, step, px, ctx.mode[m][0] ? kMb422HdField : kMb422HdFrame);
            break;
        }
        case MacroblockShape::k422HdBottom:
            for (int j = 0; j < 4; ++j)
                putLuma(target, x0 + 8 * j, y0, transform(j, false));
            putChroma422(target, x0 / 2, y0, 3, transform(4, false));
            putChroma422(target, x0 / 2 + 8, y0, 3, transform(5, false));
            putChroma422(target, x0 / 2, y0, 1, transform(6, false));
            putChroma422(target, x0 / 2 + 8, y0, 1, transform(7, false));
            break;
        }
        // The transforms leave their coefficients zero; clear the blocks that
        // were not transformed (the overflow-only slots of 50 Mb/s).
        if (p.shape == MacroblockShape::k422Sd)
            for (int j : {1, 3}) {
                const BlockState& b = ctx.blocks[m][j];
                for (unsigned mask = b.colMask(), c = 0; mask; mask >>= 1, ++c)
                    if (mask & 1u)
                        std::memset(b.coef + 8 * c, 0, 8 * sizeof(float));
            }
    }
}

} // namespace

bool decodeSegmentLevels(const uint8_t* const difBlocks[5], bool hd, SegmentLevels& out)
{
    // Transitional: a context per calling thread (the coefficient arrays are
    // left zero after each segment) until its caller holds one of its own.
    static thread_local std::unique_ptr<SegmentContext> ctxPtr;
    if (!ctxPtr) {
        ctxPtr.reset(new (std::nothrow) SegmentContext());
        if (!ctxPtr)
            return false;
    }
    SegmentContext& ctx = *ctxPtr;
    const int slots = hd ? 8 : 6;
    parsePasses(ctx, difBlocks, hd, false, [&](BlockState& b, int m, int j, int dc, int mode, int cls, int qno) {
        b.steps = g_unitSteps[!hd && mode ? 1 : 0];
        out.qno[m] = static_cast<uint8_t>(qno);
        out.block[m][j].dc = static_cast<int16_t>(dc);
        out.block[m][j].mode = static_cast<uint8_t>(mode);
        out.block[m][j].cls = static_cast<uint8_t>(cls);
    });
    for (int m = 0; m < 5; ++m)
        for (int j = 0; j < slots; ++j) {
            SegmentLevels::Block& o = out.block[m][j];
            float* c = ctx.coef[m][j];
            for (int i = 1; i < 64; ++i)
                o.level[i] = static_cast<int16_t>(c[(i & 7) * 8 + (i >> 3)]); // stored by column
            o.level[0] = o.dc;
            std::memset(c, 0, 64 * sizeof(float));
        }
    return true;
}

void initDecoderTables()
{
    InitCodecTables();
    std::call_once(g_once, buildTables);
}

// The decoding context of one participant: a named type around the file's own
// SegmentContext, so that its owner (the decoder object) can hold it.
struct SegmentWorkspace {
    SegmentContext ctx;
};

void SegmentWorkspaceDelete::operator()(SegmentWorkspace* workspace) const { delete workspace; }

SegmentWorkspacePtr newSegmentWorkspace() { return SegmentWorkspacePtr(new (std::nothrow) SegmentWorkspace()); }

void decodeSequence(SegmentWorkspace& workspace, const DvFormatInfo& info, const uint8_t* frame, int channel,
                    int sequence, const PackedTarget& target)
{
    SegmentContext& ctx = workspace.ctx;
    // The 720-line formats carry shuffle channels 0/1 or 2/3 in frame channels 0/1.
    const int frameChannel = info.channels == 2 && info.hd ? (channel & 1) : channel;
    const uint8_t* base = frame + static_cast<ptrdiff_t>(frameChannel) * info.channelBytes();
    for (int k = 0; k < kVideoSegmentsPerSequence; ++k) {
        const uint8_t* blocks[5];
        const MacroblockPlace* places[5];
        for (int m = 0; m < 5; ++m) {
            places[m] = &macroblockPlace(info.code, channel, sequence, k, m);
            blocks[m] = base + places[m]->difOffset;
        }
        decodeSegment(ctx, info, blocks, places, target);
    }
}

} // namespace vorn::dv::detail
