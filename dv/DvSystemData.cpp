#include "dv/DvSystemData.h"

#include <algorithm>
#include <cstring>

namespace vorn::dv {

namespace {

constexpr std::size_t kSequenceBytes = 12000;   // one DIF sequence

bool isHd(int code) { return code >= 1 && code <= 4; }
bool isKnown(int code) { return code >= 1 && code <= 10; }

// 625-line / 50 Hz formats.
bool dsfOf(int code) { return code == 3 || code == 4 || code == 6 || code == 7 || code == 9; }

int channelsOf(int code)
{
    if (code == 1 || code == 3) return 4;
    if (code == 2 || code == 4) return 4;   // two of four per frame
    if (code == 7 || code == 8) return 2;
    return isKnown(code) ? 1 : 0;
}

uint8_t stypeOf(int code)
{
    switch (code) {
    case 1: case 3: return 0x14;
    case 2: case 4: return 0x18;
    case 7: case 8: return 0x04;
    default: return 0x00;
    }
}

void setDigits(uint8_t& tens, uint8_t& units, int value)
{
    tens = static_cast<uint8_t>(value / 10);
    units = static_cast<uint8_t>(value % 10);
}

void putPack(uint8_t* p, uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4)
{
    p[0] = b0; p[1] = b1; p[2] = b2; p[3] = b3; p[4] = b4;
}

} // namespace

void SetTimecode(TimecodeCounter& out, int hours, int minutes, int seconds, int frames, bool dropFrame)
{
    auto wrap = [](int v, int m) { return ((v % m) + m) % m; };
    TimecodeCounter tc;
    setDigits(tc.hoursTens, tc.hoursUnits, wrap(hours, 24));
    setDigits(tc.minutesTens, tc.minutesUnits, wrap(minutes, 60));
    setDigits(tc.secondsTens, tc.secondsUnits, wrap(seconds, 60));
    setDigits(tc.framesTens, tc.framesUnits, std::clamp(frames, 0, 99));
    tc.dropFrame = dropFrame;
    out = tc;
}

TimecodeCounter MakeTimecode(int hours, int minutes, int seconds, int frames, bool dropFrame)
{
    TimecodeCounter tc;
    SetTimecode(tc, hours, minutes, seconds, frames, dropFrame);
    return tc;
}

int TimecodeCountingRate(int videoFormat, int rateHint)
{
    switch (videoFormat) {
    case 3: case 4: case 6: case 7: case 9: return 25;
    case 1: case 2: case 5: case 8: return rateHint == 24 ? 24 : 30;
    default: return 30;
    }
}

void AdvanceTimecode(TimecodeCounter& tc, int videoFormat, int rateHint)
{
    const int rate = TimecodeCountingRate(videoFormat, rateHint);
    int f = tc.frames() + 1, s = tc.seconds(), m = tc.minutes(), h = tc.hours();
    if (f >= rate) {
        f = 0;
        if (++s >= 60) {
            s = 0;
            if (++m >= 60) {
                m = 0;
                if (++h >= 24)
                    h = 0;
            }
            // Drop-frame time code has no frames 0 and 1 at the start of a
            // minute unless the minute is a multiple of ten.
            if (tc.dropFrame && rate == 30 && m % 10 != 0)
                f = 2;
        }
    }
    setDigits(tc.framesTens, tc.framesUnits, f);
    setDigits(tc.secondsTens, tc.secondsUnits, s);
    setDigits(tc.minutesTens, tc.minutesUnits, m);
    setDigits(tc.hoursTens, tc.hoursUnits, h);
}

void TimecodePackBytes(const TimecodeCounter& tc, uint8_t out[4])
{
    out[0] = static_cast<uint8_t>((tc.dropFrame ? 0x40 : 0) | (tc.framesTens & 3) << 4 | (tc.framesUnits & 15));
    out[1] = static_cast<uint8_t>((tc.secondsTens & 7) << 4 | (tc.secondsUnits & 15));
    out[2] = static_cast<uint8_t>((tc.minutesTens & 7) << 4 | (tc.minutesUnits & 15));
    out[3] = static_cast<uint8_t>((tc.hoursTens & 3) << 4 | (tc.hoursUnits & 15));
}

bool ReadTimecode(std::span<const uint8_t> frame, TimecodeCounter& out)
{
    for (std::size_t block = 1; block <= 2; ++block) {
        for (std::size_t k = 0; k < 6; ++k) {
            const std::size_t at = 80 * block + 3 + 8 * k + 3;
            if (at + 5 > frame.size() || frame[at] != 0x13)
                continue;
            const uint8_t* v = frame.data() + at + 1;
            TimecodeCounter tc;
            tc.dropFrame = (v[0] & 0x40) != 0;
            tc.framesTens = (v[0] >> 4) & 3;
            tc.framesUnits = v[0] & 15;
            tc.secondsTens = (v[1] >> 4) & 7;
            tc.secondsUnits = v[1] & 15;
            tc.minutesTens = (v[2] >> 4) & 7;
            tc.minutesUnits = v[2] & 15;
            tc.hoursTens = (v[3] >> 4) & 3;
            tc.hoursUnits = v[3] & 15;
            if (tc.framesUnits > 9 || tc.secondsUnits > 9 || tc.minutesUnits > 9 || tc.hoursUnits > 9 ||
                tc.seconds() > 59 || tc.minutes() > 59 || tc.hours() > 23)
                return false;
            out = tc;
            return true;
        }
    }
    return false;
}

uint8_t DifIdByte1(int videoFormat, int channel, int difSequence)
{
    const uint8_t seq = static_cast<uint8_t>((difSequence & 15) << 4);
    if (isHd(videoFormat)) {
        static constexpr uint8_t kHdChannelBits[4] = {0x07, 0x0F, 0x03, 0x0B};
        return seq | kHdChannelBits[channel & 3];
    }
    return seq | (channel & 1 ? 0x0F : 0x07);
}

int DifSequencesPerChannel(int videoFormat)
{
    if (!isKnown(videoFormat))
        return 0;
    return dsfOf(videoFormat) ? 12 : 10;
}

std::size_t DifFrameBytes(int videoFormat)
{
    if (!isKnown(videoFormat))
        return 0;
    const int channelAreas = (videoFormat == 2 || videoFormat == 4) ? 2 : channelsOf(videoFormat);
    return static_cast<std::size_t>(channelAreas) * DifSequencesPerChannel(videoFormat) * kSequenceBytes;
}

bool WriteSystemData(std::span<uint8_t> channelArea, int channel, int difSequence, int videoFormat,
                     const TimecodeCounter& timecode)
{
    if (!isKnown(videoFormat) || channel < 0 || channel >= channelsOf(videoFormat) || difSequence < 0 ||
        difSequence >= DifSequencesPerChannel(videoFormat))
        return false;
    const std::size_t start = static_cast<std::size_t>(difSequence) * kSequenceBytes;
    if (channelArea.size() < start + kSequenceBytes)
        return false;
    uint8_t* s = channelArea.data() + start;

    const uint8_t id = DifIdByte1(videoFormat, channel, difSequence);
    const bool dsf = dsfOf(videoFormat);
    const bool iec = videoFormat == 5 || videoFormat == 6;
    const bool fr = difSequence < (dsf ? 6 : 5);
    const bool odd = difSequence & 1;
    uint8_t tc[4];
    TimecodePackBytes(timecode, tc);

    // Header DIF block.
    s[0] = 0x1F; s[1] = id; s[2] = 0x00;
    s[3] = static_cast<uint8_t>((dsf ? 0x80 : 0) | 0x3F);
    if (iec) { s[4] = 0xF8; s[5] = s[6] = s[7] = 0x78; }
    else     { s[4] = 0xF9; s[5] = s[6] = s[7] = 0x79; }
    std::memset(s + 8, 0xFF, 72);

    // Two subcode DIF blocks, six sync blocks each.
    for (int b = 0; b < 2; ++b) {
        uint8_t* blk = s + 80 * (1 + b);
        blk[0] = 0x3F; blk[1] = id; blk[2] = static_cast<uint8_t>(b);
        for (int k = 0; k < 6; ++k) {
            const int j = b * 6 + k;
            uint8_t* sb = blk + 3 + 8 * k;
            uint8_t id0 = 0x7F;
            if (j == 0) id0 = iec ? 0x0F : 0x1F;
            else if (j == 6 || j == 11) id0 = 0x1F;
            sb[0] = static_cast<uint8_t>((fr ? 0x80 : 0) | id0);
            sb[1] = static_cast<uint8_t>((j % 3 == 0 ? 0xE0 : 0xF0) + j);
            sb[2] = 0xFF;
            if (j % 3 == 1) {
                sb[3] = 0x14;   // its data bytes keep their values
            } else {
                sb[3] = 0x13;
                std::memcpy(sb + 4, tc, 4);
            }
        }
        std::memset(blk + 51, 0xFF, 29);
    }

    // Three VAUX DIF blocks.
    for (int b = 0; b < 3; ++b) {
        uint8_t* blk = s + 80 * (3 + b);
        blk[0] = 0x5F; blk[1] = id; blk[2] = static_cast<uint8_t>(b);
        const int firstPack = odd ? (b == 0 ? 0 : -1) : (b == 2 ? 9 : -1);
        for (int p = 0; p < 15; ++p) {
            uint8_t* pk = blk + 3 + 5 * p;
            const int n = firstPack < 0 ? -1 : p - firstPack;
            switch (n) {
            case 0: putPack(pk, 0x60, 0xFF, 0xFF, static_cast<uint8_t>(0xC0 + (dsf ? 0x20 : 0) + stypeOf(videoFormat)), 0x7F); break;
            case 1: putPack(pk, 0x61, 0x3F, odd ? 0xCA : 0xC8, 0xFC, 0xFF); break;
            case 2: putPack(pk, 0x62, 0xFF, 0x1F, 0xFF, 0xFF); break;
            case 3: pk[0] = 0x63; std::memcpy(pk + 1, tc, 4); break;
            case 4: pk[0] = 0x64; break;   // its data bytes keep their values
            default: std::memset(pk, 0xFF, 5); break;
            }
        }
        blk[78] = blk[79] = 0xFF;
    }

    // Nine audio DIF blocks: IDs, one AAUX pack, silence.
    for (int i = 0; i < 9; ++i) {
        uint8_t* blk = s + 480 + 1280 * i;
        blk[0] = 0x7F; blk[1] = id; blk[2] = static_cast<uint8_t>(i);
        uint8_t* pk = blk + 3;
        if (i == (odd ? 0 : 3))
            putPack(pk, 0x50, dsf ? 0x58 : 0x54, 0x10, dsf ? 0xE3 : 0xC3, 0xC0);
        else if (i == (odd ? 1 : 4))
            putPack(pk, 0x51, 0x3C, 0xCF, 0xF8, 0xFF);
        else
            std::memset(pk, 0xFF, 5);
        std::memset(blk + 8, 0x00, 72);
    }
    return true;
}

void StampTimecode(int videoFormat, bool dropFrame, std::span<uint8_t> frame, const TimecodeCounter& counter)
{
    const std::size_t bytes = std::min(DifFrameBytes(videoFormat), frame.size());
    const std::size_t sequences = bytes / kSequenceBytes;
    TimecodeCounter tc = counter;
    tc.dropFrame = dropFrame;
    uint8_t v[4];
    TimecodePackBytes(tc, v);
    for (std::size_t q = 0; q < sequences; ++q) {
        uint8_t* s = frame.data() + q * kSequenceBytes;
        for (int b = 0; b < 2; ++b) {
            for (int k = 0; k < 6; ++k) {
                uint8_t* pk = s + 80 * (1 + b) + 3 + 8 * k + 3;
                if (pk[0] != 0x13)
                    continue;
                pk[1] = static_cast<uint8_t>((pk[1] & 0x80) | v[0]);
                pk[2] = static_cast<uint8_t>((pk[2] & 0x80) | v[1]);
                pk[3] = static_cast<uint8_t>((pk[3] & 0x80) | v[2]);
                pk[4] = static_cast<uint8_t>((pk[4] & 0xC0) | v[3]);
            }
        }
    }
}

} // namespace vorn::dv
