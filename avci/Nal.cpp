#include "avci/Nal.h"

#include "avci/Bitstream.h"
#include "avci/ParameterSets.h"
#include "avci/Slice.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace vorn::avci {

std::vector<NalSpan> findNalUnits(const uint8_t* data, size_t size)
{
    std::vector<NalSpan> out;
    // Positions just after each 00 00 01.
    size_t i = 0;
    size_t prevStart = 0;
    size_t prevPayload = SIZE_MAX;
    while (i + 3 <= size) {
        const void* hit = std::memchr(data + i + 2, 1, size - i - 2);
        if (!hit) break;
        const size_t one = size_t(static_cast<const uint8_t*>(hit) - data);
        if (data[one - 1] == 0 && data[one - 2] == 0) {
            size_t sc = one - 2;
            if (sc > 0 && data[sc - 1] == 0) --sc;
            if (prevPayload != SIZE_MAX) {
                size_t end = sc;
                while (end > prevPayload && data[end - 1] == 0) --end;
                out.push_back({prevStart, prevPayload, end - prevPayload});
            }
            prevStart = sc;
            prevPayload = one + 1;
            i = one + 1;
        } else {
            i = one - 1;
        }
    }
    if (prevPayload != SIZE_MAX && prevPayload <= size) {
        size_t end = size;
        while (end > prevPayload && data[end - 1] == 0) --end;
        out.push_back({prevStart, prevPayload, end - prevPayload});
    }
    return out;
}

size_t unescapeNal(const uint8_t* nal, size_t size, std::vector<uint8_t>& out)
{
    if (out.size() < size + kBitReaderPadding) out.resize(size + kBitReaderPadding);
    uint8_t* dst = out.data();
    // An emulation prevention byte is a 3 right after two zero bytes of the payload (a 3 that
    // was removed is not zero, so the two zeros are always payload). Threes are rare in
    // coded data: find each with memchr and copy the runs between the removed ones.
    size_t n = 0;
    size_t copied = 0; // input bytes before this are written
    size_t i = 2;
    while (i < size) {
        const void* hit = std::memchr(nal + i, 3, size - i);
        if (hit == nullptr) break;
        i = size_t(static_cast<const uint8_t*>(hit) - nal);
        if (nal[i - 1] == 0 && nal[i - 2] == 0) {
            std::memcpy(dst + n, nal + copied, i - copied);
            n += i - copied;
            copied = i + 1;
            i += 3; // the next one needs two zeros after this one
        } else {
            ++i;
        }
    }
    if (size > copied) {
        std::memcpy(dst + n, nal + copied, size - copied);
        n += size - copied;
    }
    std::memset(dst + n, 0, kBitReaderPadding);
    return n;
}

// Parameter sets and the last slice header, as of the start of the unit being collected.
struct AccessUnitSplitter::State {
    std::array<Sps, 32> sps{};
    std::array<Pps, 256> pps{};
    bool havePrev = false;
    SliceHeader prev;
    bool prevWasFirstField = false;
};

AccessUnitSplitter::AccessUnitSplitter() : state_(new State) {}
AccessUnitSplitter::~AccessUnitSplitter() { delete state_; }

std::vector<std::pair<size_t, size_t>> AccessUnitSplitter::split(const uint8_t* data, size_t size, bool final)
{
    std::vector<std::pair<size_t, size_t>> out;
    const std::vector<NalSpan> nals = findNalUnits(data, size);
    State& st = *state_;
    std::vector<uint8_t> buf;
    size_t auStart = SIZE_MAX;
    bool haveVcl = false;
    // Slice state at the start of the current unit: restored for the unit not yet complete.
    bool savedHavePrev = st.havePrev;
    SliceHeader savedPrev = st.prev;
    bool savedFirstField = st.prevWasFirstField;
    auto startAu = [&](size_t at) {
        if (auStart != SIZE_MAX && at > auStart) out.emplace_back(auStart, at - auStart);
        auStart = at;
        haveVcl = false;
        savedHavePrev = st.havePrev;
        savedPrev = st.prev;
        savedFirstField = st.prevWasFirstField;
    };
    for (const NalSpan& nal : nals) {
        if (nal.size == 0) continue;
        const int type = data[nal.offset] & 31;
        const int refIdc = (data[nal.offset] >> 5) & 3;
        if (auStart == SIZE_MAX) auStart = nal.start;
        if (type == 9) {
            startAu(nal.start);
            continue;
        }
        try {
            if (type == 7 || type == 8 || type == 6 || (type >= 14 && type <= 18)) {
                if (haveVcl) startAu(nal.start);
                if (type == 7 || type == 8) {
                    const size_t n = unescapeNal(data + nal.offset + 1, nal.size - 1, buf);
                    BitReader br(buf.data(), n);
                    if (type == 7) {
                        Sps sps;
                        parseSps(br, sps);
                        st.sps[size_t(sps.spsId)] = sps;
                    } else {
                        Pps pps;
                        parsePps(br, pps, st.sps);
                        st.pps[size_t(pps.ppsId)] = pps;
                    }
                }
            } else if (type == 1 || type == 5) {
                const size_t n = unescapeNal(data + nal.offset + 1, std::min<size_t>(nal.size - 1, 64), buf);
                BitReader br(buf.data(), n);
                SliceHeader sh;
                parseSliceHeader(br, type, refIdc, st.sps, st.pps, sh);
                if (st.havePrev && (!samePicture(st.prev, sh) || sh.firstMb == 0)) {
                    const bool secondField = st.prevWasFirstField && sh.fieldPic && st.prev.fieldPic &&
                                             sh.bottomField != st.prev.bottomField &&
                                             sh.frameNum == st.prev.frameNum;
                    if (haveVcl && !secondField) startAu(nal.start);
                    st.prevWasFirstField = sh.fieldPic && !secondField;
                } else if (!st.havePrev) {
                    st.prevWasFirstField = sh.fieldPic;
                }
                st.prev = sh;
                st.havePrev = true;
                haveVcl = true;
            }
        } catch (const AvcError&) {
            // A damaged header: keep the unit in the current access unit.
            if (type == 1 || type == 5) haveVcl = true;
        }
    }
    if (auStart != SIZE_MAX && size > auStart) {
        if (final) {
            out.emplace_back(auStart, size - auStart);
        } else {
            // The last unit may continue in the next piece: it is read again from its start.
            out.emplace_back(auStart, 0);
            st.havePrev = savedHavePrev;
            st.prev = savedPrev;
            st.prevWasFirstField = savedFirstField;
        }
    }
    return out;
}

std::vector<std::pair<size_t, size_t>> splitAccessUnits(const uint8_t* data, size_t size)
{
    AccessUnitSplitter splitter;
    return splitter.split(data, size, true);
}

} // namespace vorn::avci
