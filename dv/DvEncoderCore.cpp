#include "dv/DvEncoderCore.h"

#include "dv/DvEncoder.h"
#include "dv/DvEncoderSearch.h"
#include "dv/EncoderTables.h"
#include "foundation/ByteOrder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>


namespace vorn::dv::enc {

namespace {

// ---------------------------------------------------------------------------
// Sampling from the packed 4:2:2 picture (luma at even bytes, Cb at 1 mod 4,
// Cr at 3 mod 4), level-shifted by 128.

void lumaBlock(const EncoderKernels& k, const PictureView& pic, int x, int y, int16_t* out)
{
    k.samples(pic.row(y) + 2 * x, pic.stride, 0, out);
}

// 4:2:2 chroma: 8 samples from 16 pixels starting at pixel x; offset 1 = Cb, 3 = Cr.
void chroma422Block(const EncoderKernels& k, const PictureView& pic, int x, int y, int offset, int16_t* out)
{
    k.samples(pic.row(y) + 2 * x, pic.stride, offset == 1 ? 1 : 2, out);
}

// 4:1:1 chroma sample k of a line (covering pixels 4k..4k+3): Cb from the pair
// starting at pixel 4k + 2; Cr from the pair at 4k + 2 for even k and 4k for
// odd k.
inline int cb411(const uint8_t* line, int k) { return line[2 * (4 * k + 2) + 1]; }
inline int cr411(const uint8_t* line, int k) { return line[2 * ((k & 1) ? 4 * k : 4 * k + 2) + 3]; }

void chroma411Wide(const PictureView& pic, int x, int y, bool cr, int16_t* out)
{
    const int k0 = x / 4;
    for (int j = 0; j < 8; ++j) {
        const uint8_t* line = pic.row(y + j);
        for (int i = 0; i < 8; ++i)
            out[j * 8 + i] = static_cast<int16_t>((cr ? cr411(line, k0 + i) : cb411(line, k0 + i)) - 128);
    }
}

// Right-edge 4:1:1 macroblock (16x16): block columns 0-3 are chroma rows 0-7,
// columns 4-7 rows 8-15.
void chroma411Square(const PictureView& pic, int x, int y, bool cr, int16_t* out)
{
    const int k0 = x / 4;
    for (int j = 0; j < 8; ++j)
        for (int half = 0; half < 2; ++half) {
            const uint8_t* line = pic.row(y + j + 8 * half);
            for (int i = 0; i < 4; ++i)
                out[j * 8 + 4 * half + i] =
                    static_cast<int16_t>((cr ? cr411(line, k0 + i) : cb411(line, k0 + i)) - 128);
        }
}

// ---------------------------------------------------------------------------
// Bit strings and placement.

struct BitString {
    static constexpr int kWords = 48;
    uint64_t w[kWords];
    int n = 0;

    void clear() { n = 0; }
    void put(uint32_t v, int len)
    {
        const int idx = n >> 6, off = n & 63;
        if (off == 0)
            w[idx] = 0;
        const uint64_t v64 = v;
        if (off + len <= 64) {
            w[idx] |= v64 << (64 - off - len);
        } else {
            const int first = 64 - off;
            w[idx] |= v64 >> (len - first);
            w[idx + 1] = v64 << (64 - (len - first));
        }
        n += len;
    }
    // len 1..57, pos + len <= n
    uint64_t get64(int pos, int len) const
    {
        const int idx = pos >> 6, off = pos & 63;
        uint64_t v = w[idx] << off;
        if (off + len > 64)
            v |= w[idx + 1] >> (64 - off);
        return v >> (64 - len);
    }
    // len 1..32, pos + len <= n
    uint32_t get(int pos, int len) const
    {
        const int idx = pos >> 6, off = pos & 63;
        uint64_t v = w[idx] << off;
        if (off + len > 64)
            v |= w[idx + 1] >> (64 - off);
        return static_cast<uint32_t>(v >> (64 - len));
    }
};

// Appends codes to an empty BitString, whole 64-bit words at a time.
class BitWriter {
public:
    explicit BitWriter(BitString& s) : m_s(s) { m_s.n = 0; }
    // len 1..32, v < 2^len
    void put(uint64_t v, int len)
    {
        m_n += len;
        if (len < m_free) {
            m_free -= len;
            m_acc |= v << m_free;
        } else {
            const int rest = len - m_free;
            m_s.w[m_word++] = m_acc | (v >> rest);
            m_free = 64 - rest;
            m_acc = rest ? v << m_free : 0;
        }
    }
    int bits() const { return m_n; }
    void finish()
    {
        if (m_free < 64)
            m_s.w[m_word] = m_acc;
        m_s.n = m_n;
    }

private:
    BitString& m_s;
    uint64_t m_acc = 0;
    int m_free = 64; // bits not yet used in m_acc
    int m_n = 0;
    size_t m_word = 0;
};

// ORs `len` (1..57) bits of v, MSB first, at bit `pos` of an 80-byte DIF
// block (pos + len <= 640).
inline void orBits64(uint8_t* block, int pos, uint64_t v, int len)
{
    // The 8 bytes from the one holding `pos`, or the block's last 8 bytes
    // near its end (pos + len <= 640 keeps the bits inside either way).
    const int byte = std::min(pos >> 3, 72);
    const int shift = 64 - (pos - 8 * byte) - len;
    const uint64_t word = loadBigEndian64(block + byte) | (v & ((uint64_t(1) << len) - 1)) << shift;
    storeBigEndian64(block + byte, word);
}

void copyBits(const BitString& src, int from, uint8_t* dst, int to, int count)
{
    while (count > 0) {
        const int k = std::min(count, 57);
        orBits64(dst, to, src.get64(from, k), k);
        from += k;
        to += k;
        count -= k;
    }
}

// Fills [pos, pos + count) with repeated end-of-block codes "0110", so that a
// decoder reading into left-over space finds only ends of blocks.
void fillEob(uint8_t* dst, int pos, int count)
{
    int phase = 0;
    while (count > 0) {
        const int k = std::min(count, 56);
        const uint64_t v = (0x6666666666666666ull << phase) >> (64 - k);
        orBits64(dst, pos, v, k);
        phase = (phase + k) & 3;
        pos += k;
        count -= k;
    }
}

// Slot layouts: byte offset and size of each block slot in the DIF block.
constexpr int kSdSlotOffset[6] = {4, 18, 32, 46, 60, 70};
constexpr int kSdSlotBytes[6] = {14, 14, 14, 14, 10, 10};
constexpr int kHdSlotOffset[8] = {4, 14, 24, 34, 44, 54, 64, 72};
constexpr int kHdSlotBytes[8] = {10, 10, 10, 10, 10, 10, 8, 8};

} // namespace

void forwardDctReference(const int16_t in[64], double out[64])
{
    const double pi = std::acos(-1.0);
    for (int v = 0; v < 8; ++v)
        for (int u = 0; u < 8; ++u) {
            double s = 0;
            for (int y = 0; y < 8; ++y)
                for (int x = 0; x < 8; ++x)
                    s += in[y * 8 + x] * std::cos((2 * x + 1) * u * pi / 16) * std::cos((2 * y + 1) * v * pi / 16);
            const double ku = u == 0 ? std::sqrt(0.125) : 0.5, kv = v == 0 ? std::sqrt(0.125) : 0.5;
            out[v * 8 + u] = s * ku * kv;
        }
}

// ---------------------------------------------------------------------------

struct SegmentCoder::Impl {
    struct Block {
        alignas(16) int16_t pixels[64];
        alignas(16) int16_t coef[64];
        alignas(16) uint16_t mag[64]; // scan order; SD |coef|, HD |w|
        uint64_t neg = 0;             // sign per scan position
        int dc = 0;                   // DC field value
        int maxMag = 0;               // largest AC magnitude
        int cls = 0;                  // SD class
        int comp = 0;                 // 0 luma, 1 Cr, 2 Cb
        int16_t bitsAt[16];           // memo: bits at each QNO (-1 unknown)
    };
    struct Mb {
        Block blk[8];
        int blocks = 0;
    };
    Mb mb[5];
    int slots = 0;              // slots per DIF block
    int slotOfBlock[8] = {};    // coded block -> slot
    int qno[5] = {};
    const EncoderKernels& kernels = encoderKernels();

    // Per-slot output.
    BitString code[5][8];
    int blockClass[5][8] = {};
    bool dummy[5][8] = {};
    int slotUsed[5][8] = {};
    int slotPos[5][8] = {};

    // Codes of a block at its final quantiser, written into its slot's
    // BitString without the end of block: the number of codes, the bit
    // position after each, and the bits with the end of block.
    int pairCount[5][8] = {};
    uint16_t pairEnd[5][8][64];
    int pairBits[5][8] = {};

    void gather(const PictureView& pic, int m, const MacroblockPlace& p);
    void prepareSd(int m);
    void prepareHd(int m, bool lines1080);
    int bitsSd(Block& b, int q);
    int hdClass(const Block& b, int q) const;
    int bitsHd(Block& b, int q);
    void quantiseSd(int m, int b, int q);
    void quantiseHd(int m, int b, int q);
    // Codes (with sign bits) of the non-zero amplitudes amp(pos), limited to
    // 255, at the positions of `nonZero`, into block b's slot.
    template <class Amp>
    void emitCodes(int m, int b, uint64_t nonZero, Amp&& amp)
    {
        const uint64_t* words = pairWords();
        const uint64_t neg = mb[m].blk[b].neg;
        uint16_t* ends = pairEnd[m][b];
        BitWriter bw(code[m][slotOfBlock[b]]);
        int n = 0;
        size_t prev = 0;
        for (uint64_t nz = nonZero; nz; nz &= nz - 1) {
            const size_t pos = static_cast<size_t>(__builtin_ctzll(nz));
            const uint64_t word = words[((pos - prev - 1) << 8) + static_cast<size_t>(std::min(amp(pos), 255))];
            bw.put((word >> 6) | ((neg >> pos) & 1), static_cast<int>(word & 63));
            ends[n++] = static_cast<uint16_t>(bw.bits());
            prev = pos;
        }
        bw.finish();
        pairCount[m][b] = n;
        pairBits[m][b] = bw.bits() + kEobLength;
    }
    void write(const SegmentTarget& target, int capacity);
};

void SegmentCoder::Impl::gather(const PictureView& pic, int m, const MacroblockPlace& p)
{
    Mb& M = mb[m];
    const int x = p.x, y = p.y;
    switch (p.shape) {
    case MacroblockShape::k411Wide:
        M.blocks = 6;
        for (int i = 0; i < 4; ++i)
            lumaBlock(kernels, pic, x + 8 * i, y, M.blk[i].pixels);
        chroma411Wide(pic, x, y, true, M.blk[4].pixels);
        chroma411Wide(pic, x, y, false, M.blk[5].pixels);
        break;
    case MacroblockShape::k411Square:
        M.blocks = 6;
        lumaBlock(kernels, pic, x, y, M.blk[0].pixels);
        lumaBlock(kernels, pic, x + 8, y, M.blk[1].pixels);
        lumaBlock(kernels, pic, x, y + 8, M.blk[2].pixels);
        lumaBlock(kernels, pic, x + 8, y + 8, M.blk[3].pixels);
        chroma411Square(pic, x, y, true, M.blk[4].pixels);
        chroma411Square(pic, x, y, false, M.blk[5].pixels);
        break;
    case MacroblockShape::k422Sd:
        M.blocks = 4;
        lumaBlock(kernels, pic, x, y, M.blk[0].pixels);
        lumaBlock(kernels, pic, x + 8, y, M.blk[1].pixels);
        chroma422Block(kernels, pic, x, y, 3, M.blk[2].pixels);
        chroma422Block(kernels, pic, x, y, 1, M.blk[3].pixels);
        break;
    case MacroblockShape::k422Hd:
        M.blocks = 8;
        lumaBlock(kernels, pic, x, y, M.blk[0].pixels);
        lumaBlock(kernels, pic, x + 8, y, M.blk[1].pixels);
        lumaBlock(kernels, pic, x, y + 8, M.blk[2].pixels);
        lumaBlock(kernels, pic, x + 8, y + 8, M.blk[3].pixels);
        chroma422Block(kernels, pic, x, y, 3, M.blk[4].pixels);
        chroma422Block(kernels, pic, x, y + 8, 3, M.blk[5].pixels);
        chroma422Block(kernels, pic, x, y, 1, M.blk[6].pixels);
        chroma422Block(kernels, pic, x, y + 8, 1, M.blk[7].pixels);
        break;
    case MacroblockShape::k422HdBottom:
        M.blocks = 8;
        for (int i = 0; i < 4; ++i)
            lumaBlock(kernels, pic, x + 8 * i, y, M.blk[i].pixels);
        chroma422Block(kernels, pic, x, y, 3, M.blk[4].pixels);
        chroma422Block(kernels, pic, x + 16, y, 3, M.blk[5].pixels);
        chroma422Block(kernels, pic, x, y, 1, M.blk[6].pixels);
        chroma422Block(kernels, pic, x + 16, y, 1, M.blk[7].pixels);
        break;
    case MacroblockShape::k420:
        M.blocks = 0;
        break;
    }
    const int lumaBlocks = M.blocks == 4 ? 2 : 4;
    const int crBlocks = M.blocks == 8 ? 2 : 1;
    for (int b = 0; b < M.blocks; b += 2) // 4, 6 or 8 blocks
        kernels.forwardDctPair(M.blk[b].pixels, M.blk[b + 1].pixels, M.blk[b].coef, M.blk[b + 1].coef);
    for (int b = 0; b < M.blocks; ++b) {
        Block& B = M.blk[b];
        B.comp = b < lumaBlocks ? 0 : (b < lumaBlocks + crBlocks ? 1 : 2);
        // DC field: the DC coefficient / 4, toward zero, limited to 9 bits.
        B.dc = std::clamp(B.coef[0] / 4, -255, 255);
        std::fill(std::begin(B.bitsAt), std::end(B.bitsAt), int16_t(-1));
    }
}

void SegmentCoder::Impl::prepareSd(int m)
{
    const int16_t* class3 = sdClass3Thresholds();
    for (int b = 0; b < mb[m].blocks; ++b) {
        Block& B = mb[m].blk[b];
        B.maxMag = kernels.scanMagnitudes(B.coef, B.mag, &B.neg);
        // Class: one step size for every luma block and a coarser one for
        // chroma (equal steps within a component give the least error for
        // the bits); a luma block whose amplitudes would pass 255 at the
        // finest quantiser takes class 3. Blocks without AC coefficients
        // keep the classes of the standard's activity rule (0, 1, 2).
        if (B.maxMag == 0) {
            B.cls = B.comp;
        } else if (B.comp != 0) {
            B.cls = 3;
        } else {
            int over = 0;
            for (int i = 0; i < 64; ++i)
                over |= static_cast<int16_t>(B.mag[i]) >= class3[i];
            B.cls = over ? 3 : 2;
        }
    }
}

void SegmentCoder::Impl::prepareHd(int m, bool lines1080)
{
    for (int b = 0; b < mb[m].blocks; ++b) {
        Block& B = mb[m].blk[b];
        // w = floor(32 c R / 65536) = (c R) >> 11 in natural order, then its
        // magnitude in scan order. |c| <= 2048 and R <= 4096 keep |w| within
        // 4096. The DC position has R = 0.
        alignas(16) int16_t w[64];
        kernels.weighHd(B.coef, hdReciprocalsNatural(B.comp != 0, lines1080), w);
        B.maxMag = kernels.scanMagnitudes(w, B.mag, &B.neg);
        B.cls = 0;
    }
}

namespace {

// Bits of the run/amplitude codes of the non-zero amplitudes amp(pos) (at the
// positions of `nonZero`) plus end of block.
template <class Amp>
inline int countCodeBits(uint64_t nonZero, Amp&& amp)
{
    // 64-bit index arithmetic throughout (pos > prev).
    const uint8_t* len = pairLengths();
    int bits = kEobLength;
    size_t prev = 0;
    for (uint64_t m = nonZero; m; m &= m - 1) {
        const size_t pos = static_cast<size_t>(__builtin_ctzll(m));
        bits += len[((pos - prev - 1) << 8) + static_cast<size_t>(std::min(amp(pos), 255))];
        prev = pos;
    }
    return bits;
}

// The same for amplitudes in memory: the run-0 lengths of all of them by the
// kernel, then the difference for each one that follows zeros.
inline int codeBits(const EncoderKernels& kernels, const uint8_t* amps, uint64_t nonZero)
{
    const uint8_t* len = pairLengths();
    int bits = kEobLength + kernels.run0CodeBits(amps);
    const uint64_t anchors = nonZero | 1; // the DC position stands before a run of 0
    for (uint64_t g = nonZero & ~(anchors << 1); g; g &= g - 1) {
        const int pos = __builtin_ctzll(g);
        const int prev = 63 - __builtin_clzll(anchors & ((uint64_t(1) << pos) - 1));
        const int a = amps[pos];
        bits += len[(pos - prev - 1) * 256 + a] - len[a];
    }
    return bits;
}

} // namespace

int SegmentCoder::Impl::bitsSd(Block& B, int q)
{
    q = sdCanonicalQno(q, B.cls);
    if (B.bitsAt[q] >= 0)
        return B.bitsAt[q];
    alignas(16) uint8_t amps[64];
    const uint64_t nonZero = kernels.quantiseSd(B.mag, sdReciprocals(q, B.cls), amps);
    const int bits = codeBits(kernels, amps, nonZero);
    B.bitsAt[q] = static_cast<int16_t>(std::min(bits, 32767));
    return bits;
}

namespace {

// DVCPRO HD quantiser by QNO: the highest class with a step, the magnitude
// below which each class gives way to the next lower one (64 of its steps),
// and 128 / step of each class.
struct HdQnoInfo {
    int top = 0;
    int below[4] = {};
    uint32_t k[4] = {};
};
constexpr std::array<HdQnoInfo, 16> kHdQno = [] {
    std::array<HdQnoInfo, 16> t{};
    for (int q = 0; q < 16; ++q) {
        t[static_cast<size_t>(q)].top = hdTopClass(q);
        for (int c = 0; c < 4; ++c) {
            t[static_cast<size_t>(q)].below[c] = 64 * hdStep(q, c);
            t[static_cast<size_t>(q)].k[c] = hdStep(q, c) ? 128u / static_cast<uint32_t>(hdStep(q, c)) : 0u;
        }
    }
    return t;
}();

} // namespace

int SegmentCoder::Impl::hdClass(const Block& B, int q) const
{
    const HdQnoInfo& Q = kHdQno[static_cast<size_t>(q)];
    int cls = Q.top;
    while (cls > 0 && B.maxMag < Q.below[cls])
        --cls;
    return cls;
}

int SegmentCoder::Impl::bitsHd(Block& B, int q)
{
    if (B.bitsAt[q] >= 0)
        return B.bitsAt[q];
    const int cls = hdClass(B, q);
    const uint32_t k = kHdQno[static_cast<size_t>(q)].k[cls];
    alignas(32) uint8_t amps[64];
    const uint64_t nonZero = kernels.quantiseHd(B.mag, static_cast<int>(k), amps);
    const int bits = countCodeBits(nonZero, [&](int pos) { return int(amps[pos]); });
    B.bitsAt[q] = static_cast<int16_t>(std::min(bits, 32767));
    return bits;
}

void SegmentCoder::Impl::quantiseSd(int m, int b, int q)
{
    Block& B = mb[m].blk[b];
    alignas(16) uint8_t amps[64];
    const uint64_t nonZero = kernels.quantiseSd(B.mag, sdReciprocals(q, B.cls), amps);
    emitCodes(m, b, nonZero, [&](int pos) { return int(amps[pos]); });
    blockClass[m][b] = B.cls;
}

void SegmentCoder::Impl::quantiseHd(int m, int b, int q)
{
    Block& B = mb[m].blk[b];
    const int cls = hdClass(B, q);
    const uint32_t k = kHdQno[static_cast<size_t>(q)].k[cls];
    alignas(32) uint8_t amps[64];
    const uint64_t nonZero = kernels.quantiseHd(B.mag, static_cast<int>(k), amps);
    emitCodes(m, b, nonZero, [&](int pos) { return int(amps[pos]); });
    blockClass[m][b] = cls;
}

void SegmentCoder::Impl::write(const SegmentTarget& target, int capacity)
{
    const bool hd = slots == 8;
    // Codes beyond the segment's space (only when the quantiser search ran
    // out of steps): drop the last coefficients of the largest blocks.
    int total = 0;
    int blockBits[5][8] = {};
    for (int m = 0; m < 5; ++m)
        for (int b = 0; b < mb[m].blocks; ++b) {
            blockBits[m][b] = pairBits[m][b];
            total += blockBits[m][b];
        }
    while (total > capacity) {
        int bm = 0, bb = 0;
        for (int m = 0; m < 5; ++m)
            for (int b = 0; b < mb[m].blocks; ++b)
                if (blockBits[m][b] > blockBits[bm][bb])
                    bm = m, bb = b;
        const int n = --pairCount[bm][bb];
        if (n < 0) {
            pairCount[bm][bb] = 0;
            break;
        }
        total -= blockBits[bm][bb];
        blockBits[bm][bb] = (n ? pairEnd[bm][bb][n - 1] : 0) + kEobLength;
        total += blockBits[bm][bb];
        // Cut the codes after the last one kept (the bits past it cleared).
        BitString& c = code[bm][slotOfBlock[bb]];
        c.n = blockBits[bm][bb] - kEobLength;
        if (c.n & 63)
            c.w[c.n >> 6] &= ~uint64_t(0) << (64 - (c.n & 63));
    }

    const int* slotOffset = hd ? kHdSlotOffset : kSdSlotOffset;
    const int* slotBytes = hd ? kHdSlotBytes : kSdSlotBytes;
    SlotArea area[5][8];

    for (int m = 0; m < 5; ++m) {
        uint8_t* d = target.mb[m].dif;
        d[0] = 0x9F;
        d[1] = target.idByte1;
        d[2] = target.mb[m].blockNumber;
        d[3] = static_cast<uint8_t>(std::clamp(qno[m], 0, 15));
        std::memset(d + 4, 0, 76);
        for (int s = 0; s < slots; ++s)
            dummy[m][s] = true;
        for (int b = 0; b < mb[m].blocks; ++b) {
            const int s = slotOfBlock[b];
            dummy[m][s] = false;
            const Block& B = mb[m].blk[b];
            code[m][s].put(kEobBits, kEobLength);
            // Block header: 9-bit DC, mode 0 (8-8 DCT), 2-bit class.
            const int off = slotOffset[s];
            const uint32_t dc9 = static_cast<uint32_t>(B.dc) & 0x1FF;
            d[off] = static_cast<uint8_t>(dc9 >> 1);
            d[off + 1] = static_cast<uint8_t>(((dc9 & 1) << 7) | (blockClass[m][b] << 4));
        }
        for (int s = 0; s < slots; ++s) {
            if (dummy[m][s]) {
                // Unused slot of a 50 Mb/s macroblock: DC -256, class 0 and an
                // immediate end of block; the rest is free space.
                const int off = slotOffset[s];
                d[off] = 0x80;
                d[off + 1] = 0x00;
                BitWriter bw(code[m][s]);
                bw.put(kEobBits, kEobLength);
                bw.finish();
            }
            area[m][s] = {d, slotOffset[s] * 8 + 12, slotBytes[s] * 8 - 12};
        }
    }

    // Pass 1: each block's codes in its own area.
    for (int m = 0; m < 5; ++m)
        for (int s = 0; s < slots; ++s) {
            const int n = std::min(code[m][s].n, area[m][s].bits);
            copyBits(code[m][s], 0, area[m][s].dif, area[m][s].firstBit, n);
            slotUsed[m][s] = n;
            slotPos[m][s] = n;
        }
    // Moves the unplaced bits of slot (m, s) into free space starting at the
    // cursor (cm, cs) and ending before macroblock endM.
    auto spill = [&](int m, int s, int& cm, int& cs, int endM) {
        while (slotPos[m][s] < code[m][s].n && cm < endM) {
            const int freeBits = area[cm][cs].bits - slotUsed[cm][cs];
            if (freeBits <= 0) {
                if (++cs == slots) {
                    cs = 0;
                    ++cm;
                }
                continue;
            }
            const int k = std::min(freeBits, code[m][s].n - slotPos[m][s]);
            copyBits(code[m][s], slotPos[m][s], area[cm][cs].dif, area[cm][cs].firstBit + slotUsed[cm][cs], k);
            slotPos[m][s] += k;
            slotUsed[cm][cs] += k;
        }
    };
    // Pass 2: free space of the same macroblock.
    for (int m = 0; m < 5; ++m) {
        int cm = m, cs = 0;
        for (int s = 0; s < slots; ++s)
            spill(m, s, cm, cs, m + 1);
    }
    // Pass 3: free space of the whole segment.
    {
        int cm = 0, cs = 0;
        for (int m = 0; m < 5; ++m)
            for (int s = 0; s < slots; ++s)
                spill(m, s, cm, cs, 5);
    }
    // Left-over bits.
    for (int m = 0; m < 5; ++m)
        for (int s = 0; s < slots; ++s)
            if (slotUsed[m][s] < area[m][s].bits)
                fillEob(area[m][s].dif, area[m][s].firstBit + slotUsed[m][s], area[m][s].bits - slotUsed[m][s]);
}

SegmentCoder::SegmentCoder() : m_impl(new Impl) {}
SegmentCoder::~SegmentCoder() { delete m_impl; }

void SegmentCoder::encodeSd(const PictureView& picture, const SegmentTarget& target)
{
    Impl& I = *m_impl;
    const bool dv50 = target.mb[0].place->shape == MacroblockShape::k422Sd;
    I.slots = 6;
    static constexpr int kDv25Slots[8] = {0, 1, 2, 3, 4, 5, 0, 0};
    static constexpr int kDv50Slots[8] = {0, 2, 4, 5, 0, 0, 0, 0};
    std::copy(dv50 ? kDv50Slots : kDv25Slots, (dv50 ? kDv50Slots : kDv25Slots) + 8, I.slotOfBlock);
    for (int m = 0; m < 5; ++m) {
        I.gather(picture, m, *target.mb[m].place);
        I.prepareSd(m);
    }
    auto bits = [&](int m, int q) {
        int sum = 0;
        for (int b = 0; b < I.mb[m].blocks; ++b)
            sum += I.bitsSd(I.mb[m].blk[b], q);
        return sum;
    };
    m_lastTotal = searchSdQnos(bits, kSdSegmentBudget, I.qno);
    for (int m = 0; m < 5; ++m)
        for (int b = 0; b < I.mb[m].blocks; ++b)
            I.quantiseSd(m, b, I.qno[m]);
    // Space for codes: every slot's AC area, less the end-of-block codes of
    // unused 50 Mb/s slots.
    const int capacity = dv50 ? 5 * (4 * 100 + 2 * 68 - 2 * kEobLength) : 5 * (4 * 100 + 2 * 68);
    I.write(target, capacity);
}

void SegmentCoder::encodeHd(const PictureView& picture, const SegmentTarget& target, bool lines1080,
                            bool rateControl, int qno[5])
{
    Impl& I = *m_impl;
    I.slots = 8;
    for (int b = 0; b < 8; ++b)
        I.slotOfBlock[b] = b;
    for (int m = 0; m < 5; ++m) {
        I.gather(picture, m, *target.mb[m].place);
        I.prepareHd(m, lines1080);
    }
    auto bits = [&](int m, int q) {
        int sum = 0;
        for (int b = 0; b < 8; ++b)
            sum += I.bitsHd(I.mb[m].blk[b], q);
        return sum;
    };
    if (rateControl) {
        m_lastTotal = searchHdQnos(bits, kHdSegmentBudget, qno);
    } else {
        m_lastTotal = 0;
        for (int m = 0; m < 5; ++m) {
            qno[m] = 9;
            m_lastTotal += bits(m, 9);
        }
    }
    for (int m = 0; m < 5; ++m) {
        I.qno[m] = std::clamp(qno[m], 1, 15);
        for (int b = 0; b < 8; ++b)
            I.quantiseHd(m, b, I.qno[m]);
    }
    I.write(target, 5 * (6 * 68 + 2 * 52));
}

void SegmentCoder::writeHdLevels(const HdSegmentLevels& levels, const SegmentTarget& target)
{
    Impl& I = *m_impl;
    I.slots = 8;
    for (int b = 0; b < 8; ++b)
        I.slotOfBlock[b] = b;
    for (int m = 0; m < 5; ++m) {
        I.mb[m].blocks = 8;
        I.qno[m] = levels.qno[m];
        for (int b = 0; b < 8; ++b) {
            const HdSegmentLevels::Block& L = levels.block[m][b];
            Impl::Block& B = I.mb[m].blk[b];
            B.dc = std::clamp<int>(L.level[0], -255, 255);
            uint64_t neg = 0;
            uint64_t nonZero = 0;
            for (int pos = 1; pos < 64; ++pos) {
                nonZero |= static_cast<uint64_t>(L.level[pos] != 0) << pos;
                neg |= static_cast<uint64_t>(L.level[pos] < 0) << pos;
            }
            B.neg = neg;
            I.emitCodes(m, b, nonZero, [&](int pos) { return std::abs(static_cast<int>(L.level[pos])); });
            I.blockClass[m][b] = L.cls & 3;
        }
    }
    m_lastTotal = 0;
    I.write(target, 5 * (6 * 68 + 2 * 52));
}

} // namespace vorn::dv::enc
