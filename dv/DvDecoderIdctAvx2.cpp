// AVX2 variants of the DV decoder's inverse DCTs (the row writers of the
// SSE2 rung serve this rung too).
#include "dv/DvDecoderIdct.h"

#include <cstdint>
#include <immintrin.h>

namespace vorn::dv::detail {
namespace {

// ---------------------------------------------------------------------------
// AVX2: a whole row of eight samples per vector. The row pass builds E and O
// with outputs 0..3 in the low half and the mirrored outputs 7..4 in the high
// half, so one add of O with its high half negated gives the row.

// Coefficient row v of a block stored by column to its eight outputs; the
// block's columns outside colMask are zero.
inline __m256 rowAvx2(const float* coefT, int v, unsigned colMask)
{
    const __m256 flipHigh = _mm256_castsi256_ps(_mm256_set_epi32(INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN, 0, 0, 0, 0));
    // Terms of zero coefficients add only zeros, so leaving them out gives
    // the same samples: a block of DC column only, or with columns 4-7 zero,
    // takes the shorter forms.
    const float* c = coefT + v; // column k at c[8 * k]
    if (colMask == 1)
        return _mm256_mul_ps(_mm256_set1_ps(c[0]), _mm256_load_ps(g_col8x[0]));
    __m256 e = _mm256_mul_ps(_mm256_set1_ps(c[0]), _mm256_load_ps(g_col8x[0]));
    __m256 o = _mm256_mul_ps(_mm256_set1_ps(c[8]), _mm256_load_ps(g_col8x[1]));
    e = _mm256_add_ps(e, _mm256_mul_ps(_mm256_set1_ps(c[16]), _mm256_load_ps(g_col8x[2])));
    o = _mm256_add_ps(o, _mm256_mul_ps(_mm256_set1_ps(c[24]), _mm256_load_ps(g_col8x[3])));
    if (colMask & 0xF0) {
        e = _mm256_add_ps(e, _mm256_mul_ps(_mm256_set1_ps(c[32]), _mm256_load_ps(g_col8x[4])));
        o = _mm256_add_ps(o, _mm256_mul_ps(_mm256_set1_ps(c[40]), _mm256_load_ps(g_col8x[5])));
        e = _mm256_add_ps(e, _mm256_mul_ps(_mm256_set1_ps(c[48]), _mm256_load_ps(g_col8x[6])));
        o = _mm256_add_ps(o, _mm256_mul_ps(_mm256_set1_ps(c[56]), _mm256_load_ps(g_col8x[7])));
    }
    return _mm256_add_ps(e, _mm256_xor_ps(o, flipHigh));
}

// Clears the coefficient columns in colMask (and maybe others) of a block
// stored by column.
inline void clearColumnsAvx2(float* coefT, unsigned colMask)
{
    const __m256 zero = _mm256_setzero_ps();
    _mm256_storeu_ps(coefT, zero);
    if (colMask > 1) {
        _mm256_storeu_ps(coefT + 8, zero);
        _mm256_storeu_ps(coefT + 16, zero);
        _mm256_storeu_ps(coefT + 24, zero);
        if (colMask & 0xF0) {
            _mm256_storeu_ps(coefT + 32, zero);
            _mm256_storeu_ps(coefT + 40, zero);
            _mm256_storeu_ps(coefT + 48, zero);
            _mm256_storeu_ps(coefT + 56, zero);
        }
    }
}

// The eight coefficient rows of a block (cleared afterwards) and, after the
// row pass, its eight rows of outputs, in named registers: as arrays indexed
// in loops the compiler copied the block through the stack in 16-byte pieces
// and read them back whole, which stalls every load.
struct Block8 {
    __m256 r0, r1, r2, r3, r4, r5, r6, r7;
};

inline void transpose8x8(Block8& b)
{
    const __m256 t0 = _mm256_unpacklo_ps(b.r0, b.r1), t1 = _mm256_unpackhi_ps(b.r0, b.r1);
    const __m256 t2 = _mm256_unpacklo_ps(b.r2, b.r3), t3 = _mm256_unpackhi_ps(b.r2, b.r3);
    const __m256 t4 = _mm256_unpacklo_ps(b.r4, b.r5), t5 = _mm256_unpackhi_ps(b.r4, b.r5);
    const __m256 t6 = _mm256_unpacklo_ps(b.r6, b.r7), t7 = _mm256_unpackhi_ps(b.r6, b.r7);
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
    const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
    const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    b.r0 = _mm256_permute2f128_ps(u0, u4, 0x20);
    b.r1 = _mm256_permute2f128_ps(u1, u5, 0x20);
    b.r2 = _mm256_permute2f128_ps(u2, u6, 0x20);
    b.r3 = _mm256_permute2f128_ps(u3, u7, 0x20);
    b.r4 = _mm256_permute2f128_ps(u0, u4, 0x31);
    b.r5 = _mm256_permute2f128_ps(u1, u5, 0x31);
    b.r6 = _mm256_permute2f128_ps(u2, u6, 0x31);
    b.r7 = _mm256_permute2f128_ps(u3, u7, 0x31);
}

// E + O and E - O of one output of an 8-point pass: sum of the first kTerms
// inputs times the broadcast factors k[0..kTerms-1], even and odd terms apart.
// Inputs past kTerms must be zero: their terms, left out, add only zeros, so
// the shorter sums give the same values (up to the sign of a zero).
template <int kTerms = 8>
inline void butterflyAvx2(const Block8& c, const float (*k)[8], __m256& plus, __m256& minus)
{
    __m256 e = _mm256_mul_ps(c.r0, _mm256_load_ps(k[0]));
    __m256 o = _mm256_mul_ps(c.r1, _mm256_load_ps(k[1]));
    e = _mm256_add_ps(e, _mm256_mul_ps(c.r2, _mm256_load_ps(k[2])));
    o = _mm256_add_ps(o, _mm256_mul_ps(c.r3, _mm256_load_ps(k[3])));
    if constexpr (kTerms > 4) {
        e = _mm256_add_ps(e, _mm256_mul_ps(c.r4, _mm256_load_ps(k[4])));
        o = _mm256_add_ps(o, _mm256_mul_ps(c.r5, _mm256_load_ps(k[5])));
    }
    if constexpr (kTerms > 6) {
        e = _mm256_add_ps(e, _mm256_mul_ps(c.r6, _mm256_load_ps(k[6])));
        o = _mm256_add_ps(o, _mm256_mul_ps(c.r7, _mm256_load_ps(k[7])));
    }
    plus = _mm256_add_ps(e, o);
    minus = _mm256_sub_ps(e, o);
}

// The row pass for blocks with many coefficient rows: the block is stored
// by column, so one vector holds a coefficient column (one lane per row);
// each output column of all eight rows is built at once with the same
// products and sums as rowAvx2, and the result is transposed to rows.
inline Block8 rowPassColumnsAvx2(float* coefT)
{
    Block8 c{_mm256_loadu_ps(coefT),      _mm256_loadu_ps(coefT + 8),  _mm256_loadu_ps(coefT + 16),
             _mm256_loadu_ps(coefT + 24), _mm256_loadu_ps(coefT + 32), _mm256_loadu_ps(coefT + 40),
             _mm256_loadu_ps(coefT + 48), _mm256_loadu_ps(coefT + 56)};
    // Straight stores: as a loop the compiler makes a string store of them,
    // slow to start for 256 bytes.
    const __m256 zero = _mm256_setzero_ps();
    _mm256_storeu_ps(coefT, zero);
    _mm256_storeu_ps(coefT + 8, zero);
    _mm256_storeu_ps(coefT + 16, zero);
    _mm256_storeu_ps(coefT + 24, zero);
    _mm256_storeu_ps(coefT + 32, zero);
    _mm256_storeu_ps(coefT + 40, zero);
    _mm256_storeu_ps(coefT + 48, zero);
    _mm256_storeu_ps(coefT + 56, zero);
    Block8 row;
    butterflyAvx2(c, g_rowSplat[0], row.r0, row.r7);
    butterflyAvx2(c, g_rowSplat[1], row.r1, row.r6);
    butterflyAvx2(c, g_rowSplat[2], row.r2, row.r5);
    butterflyAvx2(c, g_rowSplat[3], row.r3, row.r4);
    transpose8x8(row); // row.rv: outputs 0..7 of coefficient row v
    return row;
}

inline __m256 rowOrZeroAvx2(const float* coefT, unsigned rowMask, unsigned colMask, int v)
{
    return (rowMask & (1u << v)) ? rowAvx2(coefT, v, colMask) : _mm256_setzero_ps();
}

// Blocks with few coefficient rows go row by row (zero rows cost nothing),
// others by columns; both give the same values.
inline Block8 rowPassBestAvx2(float* coefT, unsigned rowMask, unsigned colMask)
{
    if (__builtin_popcount(rowMask) <= 2) {
        const Block8 r{rowOrZeroAvx2(coefT, rowMask, colMask, 0), rowOrZeroAvx2(coefT, rowMask, colMask, 1),
                       rowOrZeroAvx2(coefT, rowMask, colMask, 2), rowOrZeroAvx2(coefT, rowMask, colMask, 3),
                       rowOrZeroAvx2(coefT, rowMask, colMask, 4), rowOrZeroAvx2(coefT, rowMask, colMask, 5),
                       rowOrZeroAvx2(coefT, rowMask, colMask, 6), rowOrZeroAvx2(coefT, rowMask, colMask, 7)};
        clearColumnsAvx2(coefT, colMask);
        return r;
    }
    return rowPassColumnsAvx2(coefT);
}

inline __m256i toInt32Avx2(__m256 x) { return _mm256_cvttps_epi32(_mm256_add_ps(x, _mm256_set1_ps(128.5f))); }

// Eight rows of eight values, each plus 128 rounded half up and limited to
// 0..255, to 64 bytes. The truncating conversion and the saturating packs
// give the same bytes as a clamp first: every value the decoder builds is far
// inside the 32-bit range (at most 255 times the largest dequantisation
// factor, times 16).
inline void storeRowsAvx2(const Block8& v, uint8_t* out)
{
    // Lane-wise packs: [r0 0-3, r1 0-3, r2 0-3, r3 0-3 | r0 4-7, r1 4-7, ...].
    const __m256i lo = _mm256_packus_epi16(_mm256_packs_epi32(toInt32Avx2(v.r0), toInt32Avx2(v.r1)),
                                           _mm256_packs_epi32(toInt32Avx2(v.r2), toInt32Avx2(v.r3)));
    const __m256i hi = _mm256_packus_epi16(_mm256_packs_epi32(toInt32Avx2(v.r4), toInt32Avx2(v.r5)),
                                           _mm256_packs_epi32(toInt32Avx2(v.r6), toInt32Avx2(v.r7)));
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permutevar8x32_epi32(lo, order));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), _mm256_permutevar8x32_epi32(hi, order));
}

// Output lines y and 7 - y of a block whose only coefficient row v0 gave the
// row outputs row0; s0 flips the sign for an odd row.
inline void oneRowTermsAvx2(__m256 row0, int v0, __m256 s0, int y, __m256& top, __m256& bottom)
{
    const __m256 t0 = _mm256_mul_ps(row0, _mm256_set1_ps(g_a8[y][v0]));
    top = t0;
    bottom = _mm256_xor_ps(t0, s0);
}

// The same for two coefficient rows v0 < v1.
inline void twoRowTermsAvx2(__m256 row0, int v0, __m256 s0, __m256 row1, int v1, __m256 s1, int y,
                                      __m256& top, __m256& bottom)
{
    const __m256 t0 = _mm256_mul_ps(row0, _mm256_set1_ps(g_a8[y][v0]));
    const __m256 t1 = _mm256_mul_ps(row1, _mm256_set1_ps(g_a8[y][v1]));
    top = _mm256_add_ps(t0, t1);
    bottom = _mm256_add_ps(_mm256_xor_ps(t0, s0), _mm256_xor_ps(t1, s1));
}

// The column pass of an 8-8 block whose row outputs are zero from row kRows on.
template <int kRows>
inline void columnPassStoreAvx2(const Block8& row, uint8_t* out)
{
    Block8 res;
    butterflyAvx2<kRows>(row, g_colSplat[0], res.r0, res.r7);
    butterflyAvx2<kRows>(row, g_colSplat[1], res.r1, res.r6);
    butterflyAvx2<kRows>(row, g_colSplat[2], res.r2, res.r5);
    butterflyAvx2<kRows>(row, g_colSplat[3], res.r3, res.r4);
    storeRowsAvx2(res, out);
}

void idct88Avx2(float* coefT, unsigned rowMask, unsigned colMask, uint8_t* out)
{
    if (__builtin_popcount(rowMask) <= 2) {
        // With terms t of at most two rows, E + O is their sum and E - O the
        // sum with the odd rows' terms negated (negation and the order of two
        // terms do not change a float sum); zeros of the other rows only
        // change the sign of a zero, which the offset removes.
        if (rowMask == 0) {
            const __m256 z = _mm256_setzero_ps();
            storeRowsAvx2(Block8{z, z, z, z, z, z, z, z}, out);
            return;
        }
        const int v0 = __builtin_ctz(rowMask);
        const unsigned rest = rowMask & (rowMask - 1);
        // The sign bit for an odd row, by arithmetic: as a choice it was a
        // branch on the data.
        const __m256 s0 = _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(static_cast<unsigned>(v0 & 1) << 31)));
        const __m256 row0 = rowAvx2(coefT, v0, colMask);
        Block8 res;
        if (rest == 0) {
            oneRowTermsAvx2(row0, v0, s0, 0, res.r0, res.r7);
            oneRowTermsAvx2(row0, v0, s0, 1, res.r1, res.r6);
            oneRowTermsAvx2(row0, v0, s0, 2, res.r2, res.r5);
            oneRowTermsAvx2(row0, v0, s0, 3, res.r3, res.r4);
        } else {
            const int v1 = __builtin_ctz(rest);
            const __m256 s1 = _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(static_cast<unsigned>(v1 & 1) << 31)));
            const __m256 row1 = rowAvx2(coefT, v1, colMask);
            twoRowTermsAvx2(row0, v0, s0, row1, v1, s1, 0, res.r0, res.r7);
            twoRowTermsAvx2(row0, v0, s0, row1, v1, s1, 1, res.r1, res.r6);
            twoRowTermsAvx2(row0, v0, s0, row1, v1, s1, 2, res.r2, res.r5);
            twoRowTermsAvx2(row0, v0, s0, row1, v1, s1, 3, res.r3, res.r4);
        }
        clearColumnsAvx2(coefT, colMask);
        storeRowsAvx2(res, out);
        return;
    }
    // The terms of every row up to the last one used (a third of the blocks
    // of real pictures use only rows 0-3).
    const Block8 row = rowPassColumnsAvx2(coefT);
    if (rowMask < 0x10)
        columnPassStoreAvx2<4>(row, out);
    else if (rowMask < 0x40)
        columnPassStoreAvx2<6>(row, out);
    else
        columnPassStoreAvx2<8>(row, out);
}

// Field lines y and 3 - y of the sum (rows 0-3) and difference (rows 4-7)
// fields of a 2-4-8 block give output lines 2y, 2y + 1, 6 - 2y and 7 - 2y.
inline void fieldLinesAvx2(const Block8& r, int y, __m256& a, __m256& b, __m256& c, __m256& d)
{
    const __m256 k0 = _mm256_set1_ps(g_a4[y][0]), k1 = _mm256_set1_ps(g_a4[y][1]);
    const __m256 k2 = _mm256_set1_ps(g_a4[y][2]), k3 = _mm256_set1_ps(g_a4[y][3]);
    const __m256 se = _mm256_add_ps(_mm256_mul_ps(r.r0, k0), _mm256_mul_ps(r.r2, k2));
    const __m256 so = _mm256_add_ps(_mm256_mul_ps(r.r1, k1), _mm256_mul_ps(r.r3, k3));
    const __m256 de = _mm256_add_ps(_mm256_mul_ps(r.r4, k0), _mm256_mul_ps(r.r6, k2));
    const __m256 dd = _mm256_add_ps(_mm256_mul_ps(r.r5, k1), _mm256_mul_ps(r.r7, k3));
    const __m256 s0 = _mm256_add_ps(se, so), s1 = _mm256_sub_ps(se, so);
    const __m256 d0 = _mm256_add_ps(de, dd), d1 = _mm256_sub_ps(de, dd);
    a = _mm256_add_ps(s0, d0);
    b = _mm256_sub_ps(s0, d0);
    c = _mm256_add_ps(s1, d1);
    d = _mm256_sub_ps(s1, d1);
}

void idct248Avx2(float* coefT, unsigned rowMask, unsigned colMask, uint8_t* out)
{
    const Block8 r = rowPassBestAvx2(coefT, rowMask, colMask);
    Block8 res;
    fieldLinesAvx2(r, 0, res.r0, res.r1, res.r6, res.r7);
    fieldLinesAvx2(r, 1, res.r2, res.r3, res.r4, res.r5);
    storeRowsAvx2(res, out);
}

} // namespace

constinit const SimdRung<DecoderKernels> kDecoderKernelsAvx2 = {SimdLevel::Avx2, VORN_COMPILED_CPU_FEATURES,
                                                                {.idct88 = idct88Avx2, .idct248 = idct248Avx2}};

} // namespace vorn::dv::detail
