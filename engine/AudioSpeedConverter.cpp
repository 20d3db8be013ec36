#include "engine/AudioSpeedConverter.h"

#include <algorithm>

namespace vorn {

void AudioSpeedConverter::Init(bool to24)
{
    m_step = to24 ? 960 : 1001;
    m_den = to24 ? 1001 : 960;
    for (auto& c : m_channels) {
        c.written = 0;
        c.read = 0;
    }
}

bool AudioSpeedConverter::Put(const uint8_t* buffer, size_t bytes, int channel)
{
    if (channel < 0 || channel >= kChannels || !buffer)
        return false;
    Channel& c = m_channels[static_cast<size_t>(channel)];
    const int64_t samples = static_cast<int64_t>(bytes / 2);
    // Keep the sample under the read position: it is still interpolated from.
    const int64_t held = c.written - c.read / m_den;
    if (held + samples > kRingSamples)
        return false;
    if (c.ring.empty())
        c.ring.assign(static_cast<size_t>(kRingSamples), 0);
    for (int64_t i = 0; i < samples; ++i) {
        const auto lo = buffer[2 * i], hi = buffer[2 * i + 1];
        c.ring[static_cast<size_t>((c.written + i) & (kRingSamples - 1))] = static_cast<int16_t>(lo | (hi << 8));
    }
    c.written += samples;
    return true;
}

size_t AudioSpeedConverter::outputsBelow(const Channel& c, int64_t limitSamples) const
{
    // Output positions read + k * step (k >= 0) that lie below limitSamples * den.
    const int64_t limit = limitSamples * m_den;
    if (limit <= c.read)
        return 0;
    return static_cast<size_t>((limit - c.read + m_step - 1) / m_step);
}

size_t AudioSpeedConverter::Available(int channel) const
{
    if (channel < 0 || channel >= kChannels)
        return 0;
    const Channel& c = m_channels[static_cast<size_t>(channel)];
    return 2 * outputsBelow(c, c.written - 1);
}

size_t AudioSpeedConverter::Remaining(int channel) const
{
    if (channel < 0 || channel >= kChannels)
        return 0;
    const Channel& c = m_channels[static_cast<size_t>(channel)];
    return 2 * outputsBelow(c, c.written);
}

size_t AudioSpeedConverter::Take(uint8_t* buffer, size_t bytes, int channel)
{
    if (channel < 0 || channel >= kChannels || !buffer)
        return 0;
    Channel& c = m_channels[static_cast<size_t>(channel)];
    const size_t count = std::min(bytes / 2, Remaining(channel) / 2);
    const int64_t mask = kRingSamples - 1;
    for (size_t n = 0; n < count; ++n) {
        const int64_t i = c.read / m_den;
        const int64_t f = c.read % m_den;
        const int32_t s0 = c.ring[static_cast<size_t>(i & mask)];
        const int32_t s1 = i + 1 < c.written ? c.ring[static_cast<size_t>((i + 1) & mask)] : s0;
        const int32_t v = s0 + static_cast<int32_t>((static_cast<int64_t>(s1 - s0) * f) / m_den);
        buffer[2 * n] = static_cast<uint8_t>(v & 0xFF);
        buffer[2 * n + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
        c.read += m_step;
    }
    return 2 * count;
}

} // namespace vorn
