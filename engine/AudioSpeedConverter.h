// Changes the speed of 16-bit audio channels for the 24p <-> 25p conversion
// by linear interpolation: 25p to 24p gives 1001 output samples for every 960
// input samples, 24p to 25p 960 for every 1001.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorn {

class AudioSpeedConverter {
public:
    static constexpr int kChannels = 8;
    static constexpr int64_t kRingSamples = int64_t{1} << 20;

    // Clears all positions; to24 selects 25p to 24p, else 24p to 25p.
    void Init(bool to24);

    // Appends bytes / 2 little-endian samples to a channel. Returns false (and
    // takes nothing) for a bad channel or when the ring would overflow.
    bool Put(const uint8_t* buffer, size_t bytes, int channel);

    // Bytes Take can produce from what the channel holds while more input is
    // to come: every output sample whose two neighbours have arrived.
    size_t Available(int channel) const;
    // Bytes left once the channel's input has ended (the last input sample
    // is held for the samples after it).
    size_t Remaining(int channel) const;

    // Produces bytes / 2 samples. Each is s[i] + (s[i+1] - s[i]) * f / den at
    // read position i + f / den; past the last sample put in, the last sample
    // is held. Returns the bytes produced (no more than Remaining).
    size_t Take(uint8_t* buffer, size_t bytes, int channel);

    int step() const { return m_step; }
    int den() const { return m_den; }

private:
    struct Channel {
        std::vector<int16_t> ring;   // allocated on first Put
        int64_t written = 0;         // samples put in
        int64_t read = 0;            // read position in 1/den samples
    };
    size_t outputsBelow(const Channel& c, int64_t limitSamples) const;

    std::array<Channel, kChannels> m_channels;
    int m_step = 960;
    int m_den = 1001;
};

} // namespace vorn
