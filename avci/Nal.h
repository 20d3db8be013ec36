// Annex B byte-stream reading: locating NAL units between start codes, removing
// emulation prevention bytes, and splitting a stream into access units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
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

// Splits an H.264 byte stream into access units: (offset, size) pairs. A new access unit
// starts at an access unit delimiter, at a parameter set or SEI after the slices of a
// picture, or at the first slice of a new picture that is not the second field of a frame.
std::vector<std::pair<size_t, size_t>> splitAccessUnits(const uint8_t* data, size_t size);

// The same for a stream read piece by piece: split() returns the access units that are
// complete in `data` (offsets relative to data). Unless `final`, the last entry has size 0 and
// marks the start of the last, possibly incomplete unit: the bytes from there on are passed
// again, followed by more of the stream, in the next call. Parameter sets seen so far are
// kept, so pieces without them still split at new pictures.
class AccessUnitSplitter {
public:
    AccessUnitSplitter();
    ~AccessUnitSplitter();
    AccessUnitSplitter(const AccessUnitSplitter&) = delete;
    AccessUnitSplitter& operator=(const AccessUnitSplitter&) = delete;

    std::vector<std::pair<size_t, size_t>> split(const uint8_t* data, size_t size, bool final);

private:
    struct State;
    State* state_;
};

} // namespace vorn::avci
