// System data of DV-family frames (header, subcode, VAUX and audio DIF block
// headers) and the output time code counter.
//
// A counter belongs to whoever writes the output: it is set per output clip
// (SetTimecode), advanced once per written frame by its owner (AdvanceTimecode)
// and written into frames by WriteSystemData (whole system data of one DIF
// sequence) and StampTimecode (time code packs of a finished frame). There is
// no process-wide counter, so encoding a frame and writing it cannot count
// the same frame twice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vorn::dv {

// Output time code: each field held as a tens digit and a units digit.
struct TimecodeCounter {
    uint8_t hoursTens = 0, hoursUnits = 0;
    uint8_t minutesTens = 0, minutesUnits = 0;
    uint8_t secondsTens = 0, secondsUnits = 0;
    uint8_t framesTens = 0, framesUnits = 0;
    bool dropFrame = false;

    int hours() const { return hoursTens * 10 + hoursUnits; }
    int minutes() const { return minutesTens * 10 + minutesUnits; }
    int seconds() const { return secondsTens * 10 + secondsUnits; }
    int frames() const { return framesTens * 10 + framesUnits; }
    bool operator==(const TimecodeCounter&) const = default;
};

// Sets the counter. Values outside their range are reduced into it
// (hours modulo 24, minutes and seconds modulo 60, frames limited to 0..99).
void SetTimecode(TimecodeCounter& tc, int hours, int minutes, int seconds, int frames, bool dropFrame);

// A counter set as SetTimecode does.
TimecodeCounter MakeTimecode(int hours, int minutes, int seconds, int frames, bool dropFrame);

// Frames per second the counter counts for a format and rate hint:
// 25 for codes 3, 4, 6, 7 and 9; 24 or 30 (hint 24 or not) for codes 1, 2, 5
// and 8; 30 for the others.
int TimecodeCountingRate(int videoFormat, int rateHint);

// Advances the counter by one frame at TimecodeCountingRate(videoFormat,
// rateHint). With the drop-frame flag set and a rate of 30, frame numbers 0
// and 1 are skipped at the start of each minute not divisible by ten.
void AdvanceTimecode(TimecodeCounter& tc, int videoFormat, int rateHint);

// The four data bytes of a time code pack (0x13 / 0x63) for the counter:
// drop-frame flag in bit 6 with frame tens and units, then seconds, minutes,
// hours, each with the tens in the high nibble.
void TimecodePackBytes(const TimecodeCounter& tc, uint8_t out[4]);

// Reads the time code of a frame: the first time code pack (0x13) in the
// subcode blocks of its first DIF sequence. False when the frame holds none
// or a digit is out of range.
bool ReadTimecode(std::span<const uint8_t> frame, TimecodeCounter& tc);

// Byte 1 of every DIF block ID of a channel and DIF sequence: the sequence
// number in the high nibble; for DVCPRO HD (codes 1-4) the FSC and FSP bits
// of the channel (0: 0/1, 1: 1/1, 2: 0/0, 3: 1/0) and 0b11; for the other
// codes FSC (channel 1 of DV50) and 0b111.
uint8_t DifIdByte1(int videoFormat, int channel, int difSequence);

// DIF sequences per channel of a format (10 or 12), 0 for unknown codes.
int DifSequencesPerChannel(int videoFormat);

// Bytes of one frame of a format (0 for unknown codes).
std::size_t DifFrameBytes(int videoFormat);

// Writes the header, subcode, VAUX and audio DIF block system data of one DIF
// sequence into `channelArea` (the channel's first byte; the sequence starts at
// difSequence x 12000), with the time code `tc` in its time code packs. The data bytes of packs 0x14 and 0x64 and the video
// DIF blocks are left as they are. Returns false (writing nothing) when the
// format is unknown, the channel or sequence is out of range, or the area is
// too small.
bool WriteSystemData(std::span<uint8_t> channelArea, int channel, int difSequence, int videoFormat,
                     const TimecodeCounter& tc);

// Rewrites every time code pack (type 0x13) in the subcode blocks of a frame
// with the counter `tc` and the given drop-frame flag, keeping bit 7 of the first
// data byte and the bits above the tens digits of the others. Visits the DIF
// sequences the frame of that format holds, limited to the span's size.
void StampTimecode(int videoFormat, bool dropFrame, std::span<uint8_t> frame, const TimecodeCounter& tc);

} // namespace vorn::dv
