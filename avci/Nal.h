// Annex B byte-stream reading: locating NAL units between start codes and removing
// emulation prevention bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorn::avci {

struct NalSpan {
    size_t start;      // offset of the start code prefix (including a leading zero_byte)
    size_t offset;     // first byte of the NAL unit (its header byte)
    size_t size;       // bytes of the NAL unit, trailing zero bytes removed
};

// All NAL units of a byte stream, in order. Bytes before the first start code are ignored.
std::vector<NalSpan> findNalUnits(const uint8_t* data, size_t size);

// Copies a NAL unit's bytes without emulation_prevention_three_byte into out (resized to
// the payload plus zero padding for the bit reader). Returns the payload size.
size_t unescapeNal(const uint8_t* nal, size_t size, std::vector<uint8_t>& out);

} // namespace vorn::avci
