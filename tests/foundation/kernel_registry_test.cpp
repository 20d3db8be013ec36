// The registry of every SIMD kernel family (foundation/Simd.h). For each
// family:
//  - the ladder never takes a variant whose features the given set lacks,
//    for every rung's features and the processor's with any one feature taken
//    away (as an older processor or VORN_SIMD gives), both in the family's
//    init function and in the per-level tables;
//  - every rung's file is compiled for exactly its rung's features;
//  - every kernel has cases, and every variant this processor runs gives the
//    reference's bytes on random input of several sizes and offsets, with
//    guard bytes before and after every buffer it writes.
#include "avci/Transform.h"
#include "dv/CodecTables.h"
#include "dv/ColourConversion.h"
#include "dv/DvDecoderCore.h"
#include "dv/DvEncoderCore.h"
#include "dv/PictureKernels.h"
#include "foundation/Simd.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace vorn {
namespace {

// ---- outputs with guard bytes -----------------------------------------------

constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xa5;

// Everything one kernel run produces: every buffer it writes, each with
// kGuard guard bytes before and after its payload (32-byte aligned plus a
// chosen shift), and its return values.
class Outputs {
public:
    // A buffer of `count` elements, its payload copied from `init` or else
    // filled with 0x5a bytes.
    template <class T>
    T* add(size_t count, const T* init = nullptr, size_t shift = 0)
    {
        Buffer b;
        b.payload = count * sizeof(T);
        b.bytes.assign(b.payload + 2 * kGuard + 32 + shift, kGuardByte);
        const auto base = reinterpret_cast<uintptr_t>(b.bytes.data()) + kGuard;
        b.start = (32 - base % 32) % 32 + shift; // payload at bytes[kGuard + start]
        uint8_t* p = b.bytes.data() + kGuard + b.start;
        if (init)
            std::memcpy(p, init, b.payload);
        else
            std::memset(p, 0x5a, b.payload);
        buffers_.push_back(std::move(b));
        return reinterpret_cast<T*>(p);
    }
    void result(int64_t v) { results_.push_back(v); }

    // Index of the first buffer whose guard bytes changed, or -1.
    int brokenGuard() const
    {
        for (size_t i = 0; i < buffers_.size(); ++i) {
            const Buffer& b = buffers_[i];
            const uint8_t* p = b.bytes.data() + b.start;
            for (size_t k = 0; k < kGuard; ++k)
                if (p[k] != kGuardByte || p[kGuard + b.payload + k] != kGuardByte)
                    return static_cast<int>(i);
        }
        return -1;
    }
    // Each buffer with its guards.
    std::vector<std::vector<uint8_t>> windows() const
    {
        std::vector<std::vector<uint8_t>> w;
        for (const Buffer& b : buffers_) {
            const uint8_t* p = b.bytes.data() + b.start;
            w.emplace_back(p, p + b.payload + 2 * kGuard);
        }
        return w;
    }
    const std::vector<int64_t>& results() const { return results_; }

private:
    struct Buffer {
        std::vector<uint8_t> bytes;
        size_t start = 0;
        size_t payload = 0;
    };
    std::vector<Buffer> buffers_;
    std::vector<int64_t> results_;
};

bool sameOutputs(const Outputs& ref, const Outputs& got, const std::string& what)
{
    if (ref.brokenGuard() >= 0) {
        ADD_FAILURE() << what << ": the reference wrote past buffer " << ref.brokenGuard();
        return false;
    }
    if (got.brokenGuard() >= 0) {
        ADD_FAILURE() << what << ": the variant wrote past buffer " << got.brokenGuard();
        return false;
    }
    const auto a = ref.windows(), b = got.windows();
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) {
            const auto at = std::mismatch(a[i].begin(), a[i].end(), b[i].begin()).first - a[i].begin();
            ADD_FAILURE() << what << ": buffer " << i << " differs at payload byte "
                          << static_cast<long>(at) - static_cast<long>(kGuard) << " (reference "
                          << int(a[i][size_t(at)]) << ", variant " << int(b[i][size_t(at)]) << ")";
            return false;
        }
    if (ref.results() != got.results()) {
        ADD_FAILURE() << what << ": the returned values differ";
        return false;
    }
    return true;
}

// ---- cases ------------------------------------------------------------------

// One kind of kernel run: which kernel it exercises, how many seeds, and the
// run itself (the same seed makes the same inputs for every table).
template <class Table>
struct Case {
    std::string name;
    bool (*covers)(const Table& a, const Table& b); // a and b differ in the kernel the case runs
    uint32_t seeds;
    std::function<Outputs(const Table&, uint32_t seed)> run;
};

// Whether two tables differ in kernel `Member`.
template <auto Member>
constexpr auto kernel = [](const auto& a, const auto& b) { return a.*Member != b.*Member; };

using test::randomBytes;

// ---- picture kernels ----------------------------------------------------------

using dv::PictureKernels;

std::vector<Case<PictureKernels>> pictureCases()
{
    std::vector<Case<PictureKernels>> cases;
    for (int pairs : {1, 3, 4, 5, 7, 8, 9, 17, 360, 480, 960}) {
        cases.push_back({"mirror " + std::to_string(pairs), kernel<&PictureKernels::mirror>, 24,
                         [pairs](const PictureKernels& k, uint32_t seed) {
                             std::mt19937 rng(seed);
                             const auto src = randomBytes(rng, 4 * size_t(pairs), seed % 3);
                             Outputs o;
                             k.mirror(o.add<uint8_t>(4 * size_t(pairs), nullptr, seed % 5), src.data(), pairs);
                             return o;
                         }});
    }
    for (int groups : {1, 2, 3, 4, 5, 7, 8, 9, 160, 240, 320}) {
        cases.push_back({"stretch2to3 " + std::to_string(groups), kernel<&PictureKernels::stretch2to3>, 24,
                         [groups](const PictureKernels& k, uint32_t seed) {
                             std::mt19937 rng(seed);
                             const auto src = randomBytes(rng, 8 * size_t(groups), seed % 3);
                             Outputs o;
                             k.stretch2to3(o.add<uint8_t>(12 * size_t(groups), nullptr, seed % 5), src.data(), groups);
                             return o;
                         }});
        cases.push_back({"stretch3to4 " + std::to_string(groups), kernel<&PictureKernels::stretch3to4>, 24,
                         [groups](const PictureKernels& k, uint32_t seed) {
                             std::mt19937 rng(seed);
                             const auto src = randomBytes(rng, 12 * size_t(groups), seed % 3);
                             Outputs o;
                             k.stretch3to4(o.add<uint8_t>(16 * size_t(groups), nullptr, seed % 5), src.data(), groups);
                             return o;
                         }});
    }
    for (int width : {2, 14, 16, 18, 30, 32, 34, 66, 960, 1920}) {
        cases.push_back({"packPlanarRow " + std::to_string(width), kernel<&PictureKernels::packPlanarRow>, 24,
                         [width](const PictureKernels& k, uint32_t seed) {
                             std::mt19937 rng(seed);
                             // Mostly the 10-bit range; every third seed the whole 16-bit range.
                             const uint32_t range = seed % 3 == 2 ? 65536 : 1024;
                             std::vector<uint16_t> y(static_cast<size_t>(width)), cb(static_cast<size_t>(width / 2)),
                                 cr(static_cast<size_t>(width / 2));
                             for (auto* plane : {&y, &cb, &cr})
                                 for (auto& v : *plane)
                                     v = static_cast<uint16_t>(rng() % range);
                             if (seed % 3 == 2)
                                 y[0] = 65535;
                             Outputs o;
                             k.packPlanarRow(o.add<uint8_t>(2 * size_t(width), nullptr, seed % 5), y.data(), cb.data(),
                                             cr.data(), width);
                             return o;
                         }});
    }
    for (int bytes : {1, 15, 16, 17, 31, 32, 33, 100, 1440, 3840}) {
        cases.push_back({"lerpRows " + std::to_string(bytes), kernel<&PictureKernels::lerpRows>, 24,
                         [bytes](const PictureKernels& k, uint32_t seed) {
                             std::mt19937 rng(seed);
                             const auto a = randomBytes(rng, size_t(bytes), seed % 3);
                             const auto b = randomBytes(rng, size_t(bytes), (seed + 1) % 3);
                             const uint32_t fixed[] = {0, 1, 32767, 32768, 32769, 65535};
                             const uint32_t f = seed % 4 == 0 ? fixed[(seed / 4) % 6] : rng() & 0xffff;
                             Outputs o;
                             k.lerpRows(o.add<uint8_t>(size_t(bytes), nullptr, seed % 5), a.data(), b.data(), f, bytes);
                             return o;
                         }});
    }
    const std::pair<int, int> rescales[] = {{720, 1280}, {720, 1920}, {1920, 720}, {1440, 1280}, {960, 720},
                                            {1280, 1920}, {720, 960},  {16, 34},    {34, 16},    {4, 64}};
    for (auto [from, to] : rescales) {
        cases.push_back({"resampleLine " + std::to_string(from) + "->" + std::to_string(to),
                         kernel<&PictureKernels::resampleLine>, 24, [from, to](const PictureKernels& k, uint32_t seed) {
                             std::mt19937 rng(seed);
                             const auto src = randomBytes(rng, 2 * size_t(from), seed % 3);
                             // Sampling positions of the 16.16 step, as the format change makes them.
                             const uint32_t step = static_cast<uint32_t>((uint64_t(from) << 16) / uint64_t(to));
                             std::vector<int32_t> li(static_cast<size_t>(to)), lf(static_cast<size_t>(to)),
                                 ci(static_cast<size_t>(to / 2)), cf(static_cast<size_t>(to / 2));
                             dv::ResampleSteps s;
                             for (int n = 0; n < to; ++n) {
                                 const uint32_t p = uint32_t(n) * step;
                                 li[size_t(n)] = std::min(int(p >> 16), from - 1);
                                 lf[size_t(n)] = int32_t(p & 0xffff);
                                 if (li[size_t(n)] < from - 1)
                                     s.lumaSafe = n + 1;
                                 if (n < to / 2) {
                                     ci[size_t(n)] = std::min(int(p >> 16), from / 2 - 1);
                                     cf[size_t(n)] = lf[size_t(n)];
                                     if (ci[size_t(n)] < from / 2 - 1)
                                         s.chromaSafe = n + 1;
                                 }
                             }
                             s.lumaIndex = li.data();
                             s.lumaFrac = lf.data();
                             s.lumaCount = to;
                             s.chromaIndex = ci.data();
                             s.chromaFrac = cf.data();
                             s.chromaCount = to / 2;
                             s.sourceWidth = from;
                             Outputs o;
                             k.resampleLine(o.add<uint8_t>(2 * size_t(to), nullptr, seed % 5), src.data(), s);
                             return o;
                         }});
    }
    for (int width : {3, 9, 10, 11, 17, 18, 19, 33, 34, 720, 1920}) {
        cases.push_back({"noiseRow " + std::to_string(width), kernel<&PictureKernels::noiseRow>, 24,
                         [width](const PictureKernels& k, uint32_t seed) {
                             std::mt19937 rng(seed);
                             const int kind = int(seed % 3);
                             const int level = static_cast<int>(rng() % 256);
                             // History: the same kind of content, near the level or far from it.
                             const int histLevel = (seed & 4) ? level : static_cast<int>(rng() % 256);
                             std::vector<uint8_t> rows[6];
                             for (int r = 0; r < 6; ++r)
                                 rows[r] = randomBytes(rng, 2 * size_t(width), kind, r < 3 ? level : histLevel);
                             const uint8_t* cur[3] = {rows[0].data(), rows[1].data(), rows[2].data()};
                             const uint8_t* hist[3] = {rows[3].data(), rows[4].data(), rows[5].data()};
                             Outputs o;
                             k.noiseRow(o.add<uint8_t>(2 * size_t(width), rows[1].data(), seed % 5), cur, hist, width);
                             return o;
                         }});
    }
    return cases;
}

// ---- colour conversion --------------------------------------------------------

using dv::ColourKernels;

std::vector<Case<ColourKernels>> colourCases()
{
    std::vector<Case<ColourKernels>> cases;
    for (int width : {2, 4, 14, 16, 18, 30, 32, 34, 46, 62, 960, 1920}) {
        cases.push_back({"packedRow " + std::to_string(width), kernel<&ColourKernels::packedRow>, 12,
                         [width](const ColourKernels& k, uint32_t seed) {
                             std::mt19937 rng(seed);
                             const auto src = randomBytes(rng, 2 * size_t(width), seed % 3);
                             Outputs o;
                             k.packedRow(src.data(), width, o.add<uint8_t>(3 * size_t(width), nullptr, seed % 5));
                             return o;
                         }});
    }
    return cases;
}

// ---- DV decoder ---------------------------------------------------------------

using dv::detail::DecoderKernels;

// Random dequantised coefficients as the decoder produces them: a DC term and
// a few to all AC terms at random scan positions, small or large amplitudes,
// row and column masks of the rows and columns that hold a coefficient
// (sometimes supersets). The transforms take the block stored by column.
struct CoefBlock {
    float coef[64]; // column * 8 + row
    unsigned rowMask;
    unsigned colMask;
};
CoefBlock randomCoefficients(std::mt19937& rng, bool dct248)
{
    CoefBlock b{};
    const uint8_t* zz = dct248 ? dv::kZigzag248 : dv::kZigzag88;
    b.coef[0] = static_cast<float>(static_cast<int>(rng() % 1024) - 512) * 4.0f;
    b.rowMask = 1;
    b.colMask = 1;
    if (rng() % 8 == 0) {
        // No DC term: the masks may then name only odd rows, or none.
        b.coef[0] = 0.0f;
        b.rowMask = 0;
        b.colMask = 0;
    }
    // Kind 4 keeps to the first scan positions, as most blocks of real
    // pictures do, so that only the upper rows are used.
    const int kind = static_cast<int>(rng() % 5);
    const int count = kind == 0   ? 0
                      : kind == 1 ? 1 + static_cast<int>(rng() % 4)
                      : kind == 2 ? 20
                      : kind == 3 ? 63
                                  : 3 + static_cast<int>(rng() % 10);
    const int span = kind == 4 ? 6 + static_cast<int>(rng() % 20) : 63;
    const float scales[] = {0.25f, 1.0f, 1.37f, 3.9f, 16.0f};
    for (int i = 0; i < count; ++i) {
        const int pos = 1 + static_cast<int>(rng() % static_cast<unsigned>(span));
        const int amp = static_cast<int>(rng() % (kind == 3 ? 511 : 61)) - (kind == 3 ? 255 : 30);
        const int idx = zz[pos];
        b.coef[(idx & 7) * 8 + (idx >> 3)] = static_cast<float>(amp) * scales[rng() % 5];
        b.rowMask |= 1u << (idx >> 3);
        b.colMask |= 1u << (idx & 7);
    }
    if (rng() % 8 == 0)
        b.rowMask |= static_cast<unsigned>(rng()) & 0xff; // rows of zeros marked as used
    if (rng() % 8 == 0)
        b.colMask |= static_cast<unsigned>(rng()) & 0xff; // columns of zeros marked as used
    return b;
}

std::vector<Case<DecoderKernels>> decoderCases()
{
    std::vector<Case<DecoderKernels>> cases;
    for (bool dct248 : {false, true}) {
        // The transform writes the samples and clears the coefficients.
        auto run = [dct248](const DecoderKernels& k, uint32_t seed) {
            std::mt19937 rng(seed);
            const CoefBlock b = randomCoefficients(rng, dct248);
            Outputs o;
            float* coef = o.add<float>(64, b.coef);
            uint8_t* out = o.add<uint8_t>(64);
            (dct248 ? k.idct248 : k.idct88)(coef, b.rowMask, b.colMask, out);
            return o;
        };
        if (dct248)
            cases.push_back({"idct248", kernel<&DecoderKernels::idct248>, 3000, run});
        else
            cases.push_back({"idct88", kernel<&DecoderKernels::idct88>, 3000, run});
    }
    auto samples = [](std::mt19937& rng) {
        std::vector<uint8_t> v(6 * 8);
        for (auto& s : v)
            s = static_cast<uint8_t>(rng());
        return v;
    };
    cases.push_back({"row422", kernel<&DecoderKernels::row422>, 500, [samples](const DecoderKernels& k, uint32_t seed) {
                         std::mt19937 rng(seed);
                         const auto s = samples(rng);
                         Outputs o;
                         k.row422(o.add<uint8_t>(32, nullptr, seed % 5), &s[0], &s[8], &s[32], &s[40]);
                         return o;
                     }});
    cases.push_back({"row411", kernel<&DecoderKernels::row411>, 500, [samples](const DecoderKernels& k, uint32_t seed) {
                         std::mt19937 rng(seed);
                         const auto s = samples(rng);
                         Outputs o;
                         k.row411(o.add<uint8_t>(64, nullptr, seed % 5), &s[0], &s[8], &s[16], &s[24], &s[32], &s[40]);
                         return o;
                     }});
    // Macroblocks: every layout, rows top-down and bottom-up, into a picture
    // wider than the macroblock.
    for (int layout : {-1, dv::detail::kMb422Sd, dv::detail::kMb422HdFrame, dv::detail::kMb422HdField}) {
        auto run = [layout](const DecoderKernels& k, uint32_t seed) {
            std::mt19937 rng(seed);
            uint8_t px[8][64];
            for (auto& b : px)
                for (auto& v : b)
                    v = static_cast<uint8_t>(rng());
            constexpr int kPitch = 80;
            const int rows = layout == dv::detail::kMb422HdFrame || layout == dv::detail::kMb422HdField ? 16 : 8;
            const bool up = seed % 2 != 0;
            Outputs o;
            uint8_t* pic = o.add<uint8_t>(size_t(kPitch) * size_t(rows), nullptr, seed % 3);
            const ptrdiff_t step = up ? -kPitch : kPitch;
            uint8_t* first = pic + (up ? kPitch * (rows - 1) : 0);
            if (layout < 0)
                k.mb411(first, step, px);
            else
                k.mb422(first, step, px, layout);
            return o;
        };
        if (layout < 0)
            cases.push_back({"mb411", kernel<&DecoderKernels::mb411>, 200, run});
        else
            cases.push_back({"mb422 layout " + std::to_string(layout), kernel<&DecoderKernels::mb422>, 200, run});
    }
    return cases;
}

// ---- DV encoder ---------------------------------------------------------------

using dv::enc::EncoderKernels;

// Pixels of a block, level-shifted: noise, flat, hard edges, extremes.
std::vector<int16_t> randomPixels(std::mt19937& rng, uint32_t seed)
{
    std::vector<int16_t> px(64);
    const uint32_t kind = seed % 4;
    for (int i = 0; i < 64; ++i)
        px[size_t(i)] = static_cast<int16_t>(kind == 0   ? static_cast<int>(rng() % 256) - 128
                                             : kind == 1 ? int(seed % 255) - 128
                                             : kind == 2 ? ((i % 8) < 4 ? 127 : -128)
                                                         : ((i + int(seed)) % 2 ? 127 : -128));
    return px;
}

std::vector<Case<EncoderKernels>> encoderCases()
{
    std::vector<Case<EncoderKernels>> cases;
    cases.push_back({"forwardDct", kernel<&EncoderKernels::forwardDct>, 3000,
                     [](const EncoderKernels& k, uint32_t seed) {
                         std::mt19937 rng(seed);
                         const auto px = randomPixels(rng, seed);
                         Outputs o;
                         k.forwardDct(px.data(), o.add<int16_t>(64));
                         return o;
                     }});
    cases.push_back({"forwardDctPair", kernel<&EncoderKernels::forwardDctPair>, 3000,
                     [](const EncoderKernels& k, uint32_t seed) {
                         std::mt19937 rng(seed);
                         const auto a = randomPixels(rng, seed), b = randomPixels(rng, seed + 1);
                         Outputs o;
                         int16_t* out0 = o.add<int16_t>(64);
                         k.forwardDctPair(a.data(), b.data(), out0, o.add<int16_t>(64));
                         return o;
                     }});
    // From packed rows bottom-up, as pictures are stored: luma and both chroma components.
    for (int component = 0; component < 3; ++component)
        cases.push_back({"samples component " + std::to_string(component), kernel<&EncoderKernels::samples>, 1000,
                         [component](const EncoderKernels& k, uint32_t seed) {
                             std::mt19937 rng(seed);
                             const auto packed = randomBytes(rng, 8 * 40, seed % 3);
                             Outputs o;
                             k.samples(packed.data() + 7 * 40 + 8, -40, component, o.add<int16_t>(64));
                             return o;
                         }});
    cases.push_back({"weighHd", kernel<&EncoderKernels::weighHd>, 3000, [](const EncoderKernels& k, uint32_t seed) {
                         // |coef| <= 2048, weights <= 4096.
                         std::mt19937 rng(seed);
                         std::vector<int16_t> coef(64);
                         std::vector<uint16_t> r(64);
                         for (int i = 0; i < 64; ++i) {
                             coef[size_t(i)] = static_cast<int16_t>(static_cast<int>(rng() % 4097) - 2048);
                             r[size_t(i)] = static_cast<uint16_t>(rng() % 4097);
                         }
                         Outputs o;
                         k.weighHd(coef.data(), r.data(), o.add<int16_t>(64));
                         return o;
                     }});
    cases.push_back({"scanMagnitudes", kernel<&EncoderKernels::scanMagnitudes>, 3000,
                     [](const EncoderKernels& k, uint32_t seed) {
                         // |v| <= 4096; some blocks with only a DC term, whose magnitude must not count.
                         std::mt19937 rng(seed);
                         std::vector<int16_t> v(64);
                         for (int i = 0; i < 64; ++i)
                             v[size_t(i)] = static_cast<int16_t>(seed % 4 == 1 ? (i == 0 ? -4096 : 0)
                                                                               : static_cast<int>(rng() % 8193) - 4096);
                         Outputs o;
                         uint64_t* negative = o.add<uint64_t>(1);
                         o.result(k.scanMagnitudes(v.data(), o.add<uint16_t>(64), negative));
                         return o;
                     }});
    // Magnitudes <= 4096 with many small ones.
    auto magnitudes = [](std::mt19937& rng) {
        std::vector<uint16_t> mag(64);
        for (auto& m : mag)
            m = static_cast<uint16_t>(rng() % 3 == 0 ? rng() % 4097 : rng() % 8);
        return mag;
    };
    cases.push_back({"quantiseSd", kernel<&EncoderKernels::quantiseSd>, 3000,
                     [magnitudes](const EncoderKernels& k, uint32_t seed) {
                         std::mt19937 rng(seed);
                         const auto mag = magnitudes(rng);
                         std::vector<uint16_t> rec(64);
                         for (auto& r : rec)
                             r = static_cast<uint16_t>(rng());
                         Outputs o;
                         o.result(static_cast<int64_t>(k.quantiseSd(mag.data(), rec.data(), o.add<uint8_t>(64))));
                         return o;
                     }});
    cases.push_back({"quantiseHd", kernel<&EncoderKernels::quantiseHd>, 3000,
                     [magnitudes](const EncoderKernels& k, uint32_t seed) {
                         std::mt19937 rng(seed);
                         const auto mag = magnitudes(rng);
                         const int step = 1 + int(seed % 128);
                         Outputs o;
                         o.result(static_cast<int64_t>(k.quantiseHd(mag.data(), step, o.add<uint8_t>(64))));
                         return o;
                     }});
    cases.push_back({"run0CodeBits", kernel<&EncoderKernels::run0CodeBits>, 3000,
                     [](const EncoderKernels& k, uint32_t seed) {
                         // Amplitudes up to 255, mostly small; position 0 is 0.
                         std::mt19937 rng(seed);
                         std::vector<uint8_t> amps(64);
                         for (size_t i = 1; i < 64; ++i)
                             amps[i] = static_cast<uint8_t>(rng() % 4 ? rng() % 40 : rng() % 256);
                         Outputs o;
                         o.result(k.run0CodeBits(amps.data()));
                         return o;
                     }});
    return cases;
}

// ---- AVC-Intra inverse transforms ----------------------------------------------

using avci::TransformKernels;

// Coefficients as the parser leaves them: a few small levels, a dense block, or
// values at the clamp limit; only the DC for the DC kernels.
std::vector<int32_t> randomTransformCoefficients(std::mt19937& rng, int count, bool dcOnly, int shape)
{
    std::vector<int32_t> c(size_t(count), 0);
    auto value = [&](int32_t limit) { return int32_t(rng() % uint32_t(2 * limit + 1)) - limit; };
    const int32_t limit = shape == 0 ? 64 : (shape == 1 ? 4096 : avci::kCoefLimit);
    if (dcOnly) {
        c[0] = value(limit);
        return c;
    }
    for (auto& v : c)
        if (shape != 0 || rng() % 4 == 0)
            v = value(limit);
    return c;
}

std::vector<Case<TransformKernels>> transformCases()
{
    struct Block {
        const char* name;
        bool (*covers)(const TransformKernels&, const TransformKernels&);
        avci::BlockAddFn TransformKernels::*fn;
        int width, height; // of the area the kernel adds to
        int coefs;         // coefficients it reads and clears
        bool dcOnly;
    };
    const Block blocks[] = {
        {"idct4x4Add", kernel<&TransformKernels::idct4x4Add>, &TransformKernels::idct4x4Add, 4, 4, 16, false},
        {"idct8x8Add", kernel<&TransformKernels::idct8x8Add>, &TransformKernels::idct8x8Add, 8, 8, 64, false},
        {"dc4x4Add", kernel<&TransformKernels::dc4x4Add>, &TransformKernels::dc4x4Add, 4, 4, 16, true},
        {"dc8x8Add", kernel<&TransformKernels::dc8x8Add>, &TransformKernels::dc8x8Add, 8, 8, 64, true},
        {"idct4x4PairAdd", kernel<&TransformKernels::idct4x4PairAdd>, &TransformKernels::idct4x4PairAdd, 8, 4, 32,
         false},
    };
    std::vector<Case<TransformKernels>> cases;
    for (const Block& b : blocks) {
        cases.push_back({b.name, b.covers, 900, [b](const TransformKernels& k, uint32_t seed) {
                             std::mt19937 rng(seed);
                             const int maxValues[] = {255, 1023, 16383};
                             const int maxValue = maxValues[seed % 3];
                             // The block at an odd sample offset in rows of several lengths.
                             const ptrdiff_t strides[] = {16, 40, 77};
                             const ptrdiff_t stride = strides[(seed / 3) % 3];
                             const int offset = 1 + int(seed % 7);
                             std::vector<uint16_t> pic(size_t(stride) * size_t(b.height - 1) + size_t(offset + b.width));
                             for (auto& s : pic)
                                 s = uint16_t(rng() % uint32_t(maxValue + 1));
                             const auto coef = randomTransformCoefficients(rng, b.coefs, b.dcOnly, int(seed / 9) % 3);
                             Outputs o;
                             uint16_t* p = o.add<uint16_t>(pic.size(), pic.data());
                             (k.*b.fn)(p + offset, stride, o.add<int32_t>(coef.size(), coef.data()), maxValue);
                             return o;
                         }});
    }
    return cases;
}

// ---- the registry -------------------------------------------------------------

std::string featureList(CpuFeatures f)
{
    std::string s;
    for (CpuFeature x : kCpuFeatures)
        if (f.has(x))
            s += (s.empty() ? "" : " ") + std::string(cpuFeatureName(x));
    return s.empty() ? "none" : s;
}

// The feature sets the ladder is tried with: every rung's features and the
// processor's, each also with any one feature taken away.
std::vector<CpuFeatures> featureSets()
{
    std::vector<CpuFeatures> sets;
    auto add = [&](CpuFeatures f) {
        sets.push_back(f);
        for (CpuFeature x : kCpuFeatures)
            sets.push_back(f.without(x));
    };
    for (int i = 0; i < kSimdLevelCount; ++i)
        add(simdLevelFeatures(static_cast<SimdLevel>(i)));
    add(processorFeatures());
    return sets;
}

template <class Tuple, class F>
void forEachEntry(const Tuple& entries, F&& f)
{
    [&]<size_t... I>(std::index_sequence<I...>) {
        (f(I, std::get<I>(entries)), ...);
    }(std::make_index_sequence<std::tuple_size_v<Tuple>>{});
}

// The checks of one family.
template <class Table, class Entries>
class FamilyChecks {
public:
    FamilyChecks(std::string name, Table (*init)(CpuFeatures), std::span<const SimdRung<Table>* const> (*rungs)(),
                 const Entries& entries, std::vector<std::string> entryNames, std::vector<Case<Table>> (*cases)())
        : name_(std::move(name)), init_(init), rungs_(rungs()), entries_(entries), entryNames_(std::move(entryNames)),
          cases_(cases())
    {
    }

    // Every kernel of `table` is the reference or the variant of the highest
    // rung whose features are all in `features`, never a variant of a rung
    // needing more.
    void expectWithin(const Table& table, CpuFeatures features, const std::string& context) const
    {
        const Table plain = init_({});
        forEachEntry(entries_, [&](size_t i, auto member) {
            const std::string what = name_ + " " + entryNames_[i] + " (" + context + ", features " +
                                      featureList(features) + ")";
            auto expected = plain.*member;
            for (const SimdRung<Table>* rung : rungs_) {
                const CpuFeatures needs = simdLevelFeatures(rung->level);
                const auto variant = rung->variants.*member;
                if (!variant)
                    continue;
                if (features.hasAll(needs))
                    expected = variant;
                else if (table.*member == variant)
                    ADD_FAILURE() << what << " takes the " << simdLevelName(rung->level)
                                  << " variant, which needs " << featureList(needs);
            }
            EXPECT_TRUE(table.*member == expected) << what << " is not the variant of the highest rung allowed";
        });
    }

    void ladder() const
    {
        for (CpuFeatures f : featureSets()) {
            expectWithin(init_(f), f, "init");
            // As the processor's features: every level's table, and the run's.
            const SimdTables<Table> tables(init_, f, processorFeatures());
            for (int l = 0; l < kSimdLevelCount; ++l) {
                const auto level = static_cast<SimdLevel>(l);
                expectWithin(tables.level(level), simdLevelFeatures(level) & f,
                             std::string("level ") + simdLevelName(level) + " on a processor with " + featureList(f));
            }
            expectWithin(tables.run(), f & processorFeatures(), "this run on a processor with " + featureList(f));
            // As the run's features (VORN_SIMD) on this processor.
            expectWithin(SimdTables<Table>(init_, processorFeatures(), f).run(), f & processorFeatures(),
                         "this run lowered to " + featureList(f));
        }
    }

    void rungFiles() const
    {
        int previous = static_cast<int>(SimdLevel::Plain);
        for (const SimdRung<Table>* rung : rungs_) {
            const std::string what = name_ + " rung " + simdLevelName(rung->level);
            EXPECT_GT(static_cast<int>(rung->level), previous) << what << ": rungs go up the ladder";
            previous = static_cast<int>(rung->level);
            EXPECT_EQ(featureList(rung->compiledFor), featureList(simdLevelFeatures(rung->level)))
                << what << ": its file's compile flags";
            bool any = false;
            forEachEntry(entries_, [&](size_t, auto member) { any = any || rung->variants.*member != nullptr; });
            EXPECT_TRUE(any) << what << " has no variant";
        }
    }

    void coverage() const
    {
        const Table plain = init_({});
        forEachEntry(entries_, [&](size_t i, auto member) {
            Table other = plain;
            other.*member = nullptr;
            const bool covered = std::any_of(cases_.begin(), cases_.end(), [&](const Case<Table>& c) {
                return c.covers(plain, other);
            });
            EXPECT_TRUE(covered) << name_ << " " << entryNames_[i] << " has no case";
        });
    }

    void variants() const
    {
        const Table plain = init_({});
        int checked = 0;
        for (const SimdRung<Table>* rung : rungs_) {
            if (!processorFeatures().hasAll(simdLevelFeatures(rung->level))) {
                std::printf("%s: this processor cannot run the %s variants\n", name_.c_str(),
                            simdLevelName(rung->level));
                continue;
            }
            forEachEntry(entries_, [&](size_t i, auto member) {
                if (!(rung->variants.*member) || testing::Test::HasFailure())
                    return;
                // The reference with this one kernel replaced.
                Table variant = plain;
                variant.*member = rung->variants.*member;
                SCOPED_TRACE(name_ + " " + entryNames_[i] + " " + simdLevelName(rung->level));
                for (const Case<Table>& c : cases_) {
                    if (!c.covers(plain, variant))
                        continue;
                    ++checked;
                    for (uint32_t seed = 1; seed <= c.seeds; ++seed)
                        if (!sameOutputs(c.run(plain, seed), c.run(variant, seed), c.name + " seed " + std::to_string(seed)))
                            return;
                }
            });
        }
        if (checked == 0 && !rungs_.empty() && processorFeatures().hasAll(simdLevelFeatures(rungs_.front()->level)))
            ADD_FAILURE() << name_ << ": no variant was checked";
    }

private:
    std::string name_;
    Table (*init_)(CpuFeatures);
    std::span<const SimdRung<Table>* const> rungs_;
    Entries entries_;
    std::vector<std::string> entryNames_;
    std::vector<Case<Table>> cases_;
};

struct Family {
    std::string name;
    std::function<void()> ladder, rungFiles, coverage, variants;
};
void PrintTo(const Family& f, std::ostream* os) { *os << f.name; }

template <class Table, class Entries>
Family family(std::string name, Table (*init)(CpuFeatures), std::span<const SimdRung<Table>* const> (*rungs)(),
              const Entries& entries, std::vector<std::string> entryNames, std::vector<Case<Table>> (*cases)())
{
    // Built on first use, so that a test run filtered to another family does not make these cases.
    auto make = [=] { return std::make_shared<FamilyChecks<Table, Entries>>(name, init, rungs, entries, entryNames, cases); };
    return {name, [make] { make()->ladder(); }, [make] { make()->rungFiles(); }, [make] { make()->coverage(); },
            [make] { make()->variants(); }};
}

std::vector<Family> families()
{
    return {
        family("PictureKernels", dv::initPictureKernels, dv::pictureKernelRungs, dv::kPictureKernelEntries,
               {"mirror", "stretch2to3", "stretch3to4", "packPlanarRow", "lerpRows", "resampleLine", "noiseRow"},
               pictureCases),
        family("ColourKernels", dv::initColourKernels, dv::colourKernelRungs, dv::kColourKernelEntries, {"packedRow"},
               colourCases),
        family("DecoderKernels", dv::detail::initDecoderKernels, dv::detail::decoderKernelRungs,
               dv::detail::kDecoderKernelEntries, {"idct88", "idct248", "row422", "row411", "mb411", "mb422"},
               decoderCases),
        family("EncoderKernels", dv::enc::initEncoderKernels, dv::enc::encoderKernelRungs,
               dv::enc::kEncoderKernelEntries,
               {"forwardDct", "forwardDctPair", "samples", "weighHd", "scanMagnitudes", "quantiseSd", "quantiseHd",
                "run0CodeBits"},
               encoderCases),
        family("TransformKernels", avci::initTransformKernels, avci::transformKernelRungs,
               avci::kTransformKernelEntries, {"idct4x4Add", "idct8x8Add", "dc4x4Add", "dc8x8Add", "idct4x4PairAdd"},
               transformCases),
    };
}

class KernelRegistry : public testing::TestWithParam<Family> {
protected:
    static void SetUpTestSuite()
    {
        // The decoder's transforms read bases the decoder builds on first use.
        dv::InitCodecTables();
        dv::detail::initDecoderTables();
    }
};

TEST_P(KernelRegistry, LadderNeverTakesAVariantWhoseFeaturesAreMissing) { GetParam().ladder(); }

TEST_P(KernelRegistry, EveryRungIsCompiledForItsFeatures) { GetParam().rungFiles(); }

TEST_P(KernelRegistry, EveryKernelHasCases) { GetParam().coverage(); }

TEST_P(KernelRegistry, EveryVariantMatchesTheReferenceWithGuardBytes) { GetParam().variants(); }

INSTANTIATE_TEST_SUITE_P(Families, KernelRegistry, testing::ValuesIn(families()),
                         [](const testing::TestParamInfo<Family>& info) { return info.param.name; });

} // namespace
} // namespace vorn
