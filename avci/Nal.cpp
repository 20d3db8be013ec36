#include "avci/Nal.h"

#include "avci/Bitstream.h"

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
    size_t n = 0;
    size_t zeros = 0;
    for (size_t i = 0; i < size; ++i) {
        const uint8_t b = nal[i];
        if (zeros >= 2 && b == 3) {
            zeros = 0;
            continue;
        }
        dst[n++] = b;
        zeros = b == 0 ? zeros + 1 : 0;
    }
    std::memset(dst + n, 0, kBitReaderPadding);
    return n;
}

} // namespace vorn::avci
