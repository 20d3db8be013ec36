#include "engine/BGinfo.h"

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
