// SSE2 variants of the DV encoder's kernels.
#include "dv/DvEncoderKernelsX86.h"
#include "dv/CodecTables.h"
#include "dv/EncoderTables.h"

namespace vorn::dv::enc {
namespace {

// (c[u][2k], c[u][2k + 1]) of kDctPairs in every lane.
inline __m128i pair128(int k, int u) { return _mm_load_si128(reinterpret_cast<const __m128i*>(kDctPairs.p[u][k])); }

inline void transpose8(__m128i r[8])
{
    __m128i a0 = _mm_unpacklo_epi16(r[0], r[1]), a1 = _mm_unpackhi_epi16(r[0], r[1]);
    __m128i a2 = _mm_unpacklo_epi16(r[2], r[3]), a3 = _mm_unpackhi_epi16(r[2], r[3]);
    __m128i a4 = _mm_unpacklo_epi16(r[4], r[5]), a5 = _mm_unpackhi_epi16(r[4], r[5]);
    __m128i a6 = _mm_unpacklo_epi16(r[6], r[7]), a7 = _mm_unpackhi_epi16(r[6], r[7]);
    __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
    __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
    __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
    __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
    r[0] = _mm_unpacklo_epi64(b0, b4);
    r[1] = _mm_unpackhi_epi64(b0, b4);
    r[2] = _mm_unpacklo_epi64(b1, b5);
    r[3] = _mm_unpackhi_epi64(b1, b5);
    r[4] = _mm_unpacklo_epi64(b2, b6);
    r[5] = _mm_unpackhi_epi64(b2, b6);
    r[6] = _mm_unpacklo_epi64(b3, b7);
    r[7] = _mm_unpackhi_epi64(b3, b7);
}

// One pass down the columns: out[u] = sum_y c[u][y] * in[y], rounded by `Shift`.
template <int Shift>
inline void dctColumns(const __m128i in[8], __m128i out[8])
{
    __m128i lo[2][2], hi[2][2]; // [even sums / odd differences][k]
    for (int k = 0; k < 2; ++k) {
        const __m128i s0 = _mm_add_epi16(in[2 * k], in[7 - 2 * k]);
        const __m128i s1 = _mm_add_epi16(in[2 * k + 1], in[6 - 2 * k]);
        const __m128i d0 = _mm_sub_epi16(in[2 * k], in[7 - 2 * k]);
        const __m128i d1 = _mm_sub_epi16(in[2 * k + 1], in[6 - 2 * k]);
        lo[0][k] = _mm_unpacklo_epi16(s0, s1);
        hi[0][k] = _mm_unpackhi_epi16(s0, s1);
        lo[1][k] = _mm_unpacklo_epi16(d0, d1);
        hi[1][k] = _mm_unpackhi_epi16(d0, d1);
    }
    const __m128i round = _mm_set1_epi32(1 << (Shift - 1));
    for (int u = 0; u < 8; ++u) {
        const int odd = u & 1;
        const __m128i p0 = pair128(0, u), p1 = pair128(1, u);
        __m128i sl = _mm_add_epi32(_mm_madd_epi16(lo[odd][0], p0), _mm_madd_epi16(lo[odd][1], p1));
        __m128i sh = _mm_add_epi32(_mm_madd_epi16(hi[odd][0], p0), _mm_madd_epi16(hi[odd][1], p1));
        sl = _mm_srai_epi32(_mm_add_epi32(sl, round), Shift);
        sh = _mm_srai_epi32(_mm_add_epi32(sh, round), Shift);
        out[u] = _mm_packs_epi32(sl, sh);
    }
}

void forwardDctSse2(const int16_t in[64], int16_t out[64])
{
    __m128i r[8], t[8];
    for (int y = 0; y < 8; ++y)
        r[y] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 8 * y));
    dctColumns<kPass1Shift>(r, t);
    transpose8(t);
    dctColumns<kPass2Shift>(t, r);
    transpose8(r);
    for (int v = 0; v < 8; ++v)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * v), r[v]);
}

void forwardDctPairSse2(const int16_t in0[64], const int16_t in1[64], int16_t out0[64], int16_t out1[64])
{
    forwardDctSse2(in0, out0);
    forwardDctSse2(in1, out1);
}

// |coef| <= 2048 and r <= 4096 keep |w| within 4096.
void weighHdSse2(const int16_t coef[64], const uint16_t r[64], int16_t w[64])
{
    for (int i = 0; i < 64; i += 8) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + i));
        const __m128i k = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r + i));
        const __m128i lo = _mm_mullo_epi16(c, k), hi = _mm_mulhi_epi16(c, k);
        const __m128i p0 = _mm_srai_epi32(_mm_unpacklo_epi16(lo, hi), 11);
        const __m128i p1 = _mm_srai_epi32(_mm_unpackhi_epi16(lo, hi), 11);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(w + i), _mm_packs_epi32(p0, p1));
    }
}

// Reads only the 16 (luma) or 32 (chroma) bytes of each row that hold the samples.
void samplesSse2(const uint8_t* first, ptrdiff_t stride, int component, int16_t out[64])
{
    const __m128i bias = _mm_set1_epi16(128), low = _mm_set1_epi16(0xFF);
    for (int j = 0; j < 8; ++j) {
        const uint8_t* p = first + j * stride;
        __m128i v;
        if (component == 0) {
            v = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), low);
        } else {
            // Byte 1 (Cb) or 3 (Cr) of each 32-bit word.
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
            if (component == 1)
                v = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(a, 8), _mm_set1_epi32(0xFF)),
                                    _mm_and_si128(_mm_srli_epi32(b, 8), _mm_set1_epi32(0xFF)));
            else
                v = _mm_packs_epi32(_mm_srli_epi32(a, 24), _mm_srli_epi32(b, 24));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * j), _mm_sub_epi16(v, bias));
    }
}

// The scan order by a copy through the zigzag table.
int scanMagnitudesSse2(const int16_t v[64], uint16_t mag[64], uint64_t* negative)
{
    alignas(16) int16_t scan[64];
    for (int pos = 0; pos < 64; ++pos)
        scan[pos] = v[kZigzag88[pos]];
    __m128i r[8];
    for (int i = 0; i < 8; ++i)
        r[i] = _mm_load_si128(reinterpret_cast<const __m128i*>(scan + 8 * i));
    return scanOrderMagnitudes(r, mag, negative);
}

uint64_t quantiseSdSse2(const uint16_t mag[64], const uint16_t r[64], uint8_t out[64])
{
    // lo + rounding carries into hi exactly when lo > 65535 - rounding.
    const __m128i flip = _mm_set1_epi16(static_cast<short>(0x8000));
    const __m128i limit = _mm_set1_epi16(static_cast<short>((65535u - kSdRounding) ^ 0x8000u));
    const __m128i zero = _mm_setzero_si128();
    uint64_t zeros = 0;
    for (int i = 0; i < 64; i += 16) {
        __m128i q[2];
        for (int h = 0; h < 2; ++h) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mag + i + 8 * h));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r + i + 8 * h));
            const __m128i hi = _mm_mulhi_epu16(a, b);
            const __m128i lo = _mm_mullo_epi16(a, b);
            const __m128i carry = _mm_cmpgt_epi16(_mm_xor_si128(lo, flip), limit);
            q[h] = _mm_sub_epi16(hi, carry);
        }
        // Amplitudes up to 4096: the signed pack limits them to 255.
        const __m128i bytes = _mm_packus_epi16(q[0], q[1]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), bytes);
        zeros |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, zero)))) << i;
    }
    return ~zeros & ~uint64_t(1);
}

// Magnitudes are first limited to the smallest one whose amplitude reaches
// 255 (so the amplitude is limited to 255 as well): then mag * k + rounding
// stays below 32768 and the arithmetic fits 16-bit lanes.
uint64_t quantiseHdSse2(const uint16_t mag[64], int k, uint8_t out[64])
{
    const int cap = (255 * 128 - static_cast<int>(kHdRounding) + k - 1) / k;
    const __m128i kk = _mm_set1_epi16(static_cast<short>(k));
    const __m128i capv = _mm_set1_epi16(static_cast<short>(cap));
    const __m128i round = _mm_set1_epi16(static_cast<short>(kHdRounding));
    const __m128i zero = _mm_setzero_si128();
    uint64_t zeros = 0;
    for (int i = 0; i < 64; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mag + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mag + i + 8));
        a = _mm_sub_epi16(a, _mm_subs_epu16(a, capv)); // min(a, cap), unsigned
        b = _mm_sub_epi16(b, _mm_subs_epu16(b, capv));
        a = _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(a, kk), round), 7);
        b = _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(b, kk), round), 7);
        const __m128i q = _mm_packus_epi16(a, b);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), q);
        zeros |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(q, zero)))) << i;
    }
    return ~zeros & ~uint64_t(1);
}

} // namespace

constinit const SimdRung<EncoderKernels> kEncoderKernelsSse2 = {SimdLevel::Sse2, VORN_COMPILED_CPU_FEATURES,
                                                                {.forwardDct = forwardDctSse2,
                                                                 .forwardDctPair = forwardDctPairSse2,
                                                                 .samples = samplesSse2,
                                                                 .weighHd = weighHdSse2,
                                                                 .scanMagnitudes = scanMagnitudesSse2,
                                                                 .quantiseSd = quantiseSdSse2,
                                                                 .quantiseHd = quantiseHdSse2}};

} // namespace vorn::dv::enc
