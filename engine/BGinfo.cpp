#include "engine/BGinfo.h"

#include "engine/Planner.h"
#include "engine/VideoFormat.h"

#include <cstring>

void BGinfo::clear()
{
    mode = rate = third = check = 0;
    cameraRate = 0;
    modeLowBits = 0;
    shootingMode = 0;
    valid = 0;
    avcExtra.fill(0);
}

void BGinfo::decode(uint8_t m, uint8_t r, uint8_t x, uint8_t k)
{
    mode = m;
    rate = r;
    third = x;
    check = k;
    cameraRate = (r >> 4) * 10 + (r & 0x0F);
    modeLowBits = m & 3u;
    shootingMode = m >> 4;
    valid = ((((m + r + x) & 0xFF) ^ 0x55) == k) ? 1 : 0;
}

bool BGinfo::ReadDvBinaryGroup(const uint8_t* frame, size_t size)
{
    clear();
    if (!frame || size < kDvModeOffset + 4)
        return false;
    const uint8_t* p = frame + kDvModeOffset;
    decode(p[0], p[1], p[2], p[3]);
    return valid != 0;
}

bool BGinfo::ReadAvcBinaryGroup(const uint8_t* frame, size_t size, bool skip512)
{
    clear();
    const size_t skip = skip512 ? kAvcFirstFrameSkip : 0;
    if (!frame || size < skip + kAvcRecordOffset + 7)
        return false;
    std::memcpy(avcExtra.data(), frame + skip + kAvcExtraOffset, avcExtra.size());
    const uint8_t* p = frame + skip + kAvcRecordOffset;   // 0x64 0xFF M R 0xFF X K
    decode(p[2], p[3], p[5], p[6]);
    return valid != 0;
}

namespace {

uint8_t bcd(int32_t value)
{
    const int32_t v = value < 0 ? 0 : value % 100;
    return static_cast<uint8_t>(((v / 10) << 4) | (v % 10));
}

} // namespace

void BGinfo::SetTimecode(int32_t h, int32_t m, int32_t s, int32_t f, bool drop)
{
    hours = h;
    minutes = m;
    seconds = s;
    frames = f;
    dropFrame = drop;
}

void BGinfo::AdvanceTimecode(int32_t tcRate)
{
    const int32_t rate = tcRate > 0 ? tcRate : 30;
    if (++frames < rate)
        return;
    frames = 0;
    if (++seconds < 60)
        return;
    seconds = 0;
    if (++minutes >= 60) {
        minutes = 0;
        if (++hours >= 24)
            hours = 0;
    }
    if (dropFrame && rate == 30 && minutes % 10 != 0)
        frames = 2;
}

void BGinfo::advanceAfter(int32_t rate, int32_t tcRate, int64_t index)
{
    // At 50 and 60 pictures a second two output frames share one time code.
    if ((rate == 50 || rate == 60) && (index & 1) != 0)
        return;
    AdvanceTimecode(tcRate);
}

BGinfo::Record BGinfo::recordOf(uint32_t word)
{
    return {static_cast<uint8_t>(word >> 24), static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 8),
            static_cast<uint8_t>(word)};
}

void BGinfo::StampDvSubcode(uint8_t* frame, size_t size, int32_t cameraRate, int32_t tcRate, int32_t target,
                            int32_t progressive, int32_t addPulldown, int32_t addAdvanced, int64_t index)
{
    const Record bg = recordOf(vorn::packedBinaryGroup(cameraRate, progressive, addPulldown, addAdvanced, index));
    StampDvRecord(frame, size, bg, cameraRate, tcRate, target, index);
}

void BGinfo::StampDvRecord(uint8_t* frame, size_t size, const Record& bg, int32_t pairRate, int32_t tcRate,
                           int32_t target, int64_t index)
{
    const int32_t frameBytes = vorn::dvFrameBytes(target);
    const size_t sequences = frame && frameBytes > 0 ? static_cast<size_t>(frameBytes) / 12000 : 0;
    for (size_t q = 0; q < sequences; ++q) {
        const size_t seq = q * 12000;
        for (size_t block : {size_t{86}, size_t{166}}) {
            for (size_t i = 0; i < 6; ++i) {
                const size_t at = seq + block + 8 * i;
                if (at + 5 > size)
                    break;
                uint8_t* pack = frame + at;
                if (pack[0] == 0x13 || pack[0] == 0x63) {
                    pack[1] = static_cast<uint8_t>((pack[1] & 0x80) | (dropFrame ? 0x40 : 0) | bcd(frames));
                    pack[2] = static_cast<uint8_t>((pack[2] & 0x80) | bcd(seconds));
                    pack[3] = static_cast<uint8_t>((pack[3] & 0x80) | bcd(minutes));
                    pack[4] = static_cast<uint8_t>((pack[4] & 0xC0) | bcd(hours));
                } else if (pack[0] == 0x14 || pack[0] == 0x64) {
                    for (size_t b = 0; b < bg.size(); ++b)
                        pack[1 + b] = bg[b];
                }
            }
        }
    }
    advanceAfter(pairRate, tcRate, index);
}

void BGinfo::writeAvcTimecode(uint8_t* p)
{
    p[28] = 0x13;
    p[29] = 0xFF;
    p[30] = bcd(frames);
    p[31] = bcd(seconds);
    p[33] = bcd(minutes);
    p[34] = bcd(hours);
}

void BGinfo::StampAvcHeader(uint8_t* frame, size_t size, bool first, int32_t cameraRate, int32_t outFps,
                            int32_t tcRate, int32_t progressive, int32_t addPulldown, int32_t addAdvanced,
                            int64_t index)
{
    const size_t base = 6 + (first ? kAvcFirstFrameSkip : 0);
    if (frame && size >= base + 67) {
        const Record bg = recordOf(vorn::packedBinaryGroup(cameraRate, progressive, addPulldown, addAdvanced, index));
        uint8_t* p = frame + base;
        writeAvcTimecode(p);
        const uint8_t record[7] = {0x14, 0xFF, bg[0], bg[1], 0xFF, bg[2], bg[3]};
        std::memcpy(p + 36, record, sizeof record);
        std::memcpy(p + 60, record, sizeof record);
        p[60] = 0x64;
    }
    advanceAfter(outFps, tcRate, index);
}

void BGinfo::StampAvcTimecode(uint8_t* frame, size_t size, bool first, int32_t outFps, int32_t tcRate, int64_t index)
{
    const size_t base = 6 + (first ? kAvcFirstFrameSkip : 0);
    if (frame && size >= base + 67)
        writeAvcTimecode(frame + base);
    advanceAfter(outFps, tcRate, index);
}
