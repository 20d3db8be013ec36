// The binary group carried in every compressed frame: camera frame rate,
// shooting mode, per-frame cadence bits and a check byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

class BGinfo {
public:
    BGinfo() = default;
    BGinfo(const BGinfo&) = default;
    BGinfo& operator=(const BGinfo&) = default;
    virtual ~BGinfo() = default;

    // Where the record lies in a compressed frame (offsets from the frame start).
    static constexpr size_t kDvModeOffset = 119;        // M R X K at 119..122
    static constexpr size_t kAvcRecordOffset = 66;      // 0x64 0xFF M R 0xFF X K
    static constexpr size_t kAvcFirstFrameSkip = 512;   // header bytes before frame 0 of a clip
    static constexpr size_t kAvcExtraOffset = 42;       // eight bytes copied, not interpreted

    // Fill the record from a frame of size bytes. A frame too short to hold
    // the record leaves everything zero and not valid; returns valid.
    bool ReadDvBinaryGroup(const uint8_t* frame, size_t size);
    bool ReadAvcBinaryGroup(const uint8_t* frame, size_t size, bool skip512);

    // Sets the raw bytes and derives cameraRate, modeLowBits, shootingMode and valid.
    void decode(uint8_t m, uint8_t r, uint8_t x, uint8_t k);
    void clear();

    uint8_t mode = 0;         // M
    uint8_t rate = 0;         // R
    uint8_t third = 0;        // X
    uint8_t check = 0;        // K
    int32_t cameraRate = 0;   // R as two BCD digits
    uint32_t modeLowBits = 0; // M & 3
    uint32_t shootingMode = 0;// M >> 4; bit 3 = progressive, 9 = VFR, 12 = 2:3:3:2
    uint8_t valid = 0;        // ((M + R + X) & 255) ^ 0x55 == K
    std::array<uint8_t, 8> avcExtra{};

    // Running timecode, used when output frames are stamped.
    int32_t hours = 0, minutes = 0, seconds = 0, frames = 0;
    bool dropFrame = false;

    void SetTimecode(int32_t h, int32_t m, int32_t s, int32_t f, bool drop = false);
    // One frame on: frames carry at tcRate into seconds, seconds at 60 into
    // minutes, minutes at 60 into hours, hours wrap at 24. Drop-frame counting
    // at 30 skips frames 0 and 1 of each minute not divisible by ten.
    void AdvanceTimecode(int32_t tcRate);

    // The four bytes M, R, X, K of a record, as they lie in a frame.
    using Record = std::array<uint8_t, 4>;
    Record record() const { return {mode, rate, third, check}; }
    static Record recordOf(uint32_t packedWord);

    // Stamps a DV-family output frame of `size` bytes: in every DIF sequence
    // of the target format (as far as the frame reaches), time code packs
    // (0x13, 0x63) of the two subcode blocks get the running time code and
    // binary group packs (0x14, 0x64) the packed binary group of output frame
    // `index` at rate `cameraRate`. Then the running time code advances by
    // one frame, except at 50 or 60 fps after an odd index.
    void StampDvSubcode(uint8_t* frame, size_t size, int32_t cameraRate, int32_t tcRate, int32_t target,
                        int32_t progressive, int32_t addPulldown, int32_t addAdvanced, int64_t index);
    // The same with a given record in the binary group packs (a frame that
    // keeps its source's record); `pairRate` takes the place of the camera
    // rate in the time code's advance.
    void StampDvRecord(uint8_t* frame, size_t size, const Record& record, int32_t pairRate, int32_t tcRate,
                       int32_t target, int64_t index);
    // The same for an AVC-Intra output frame; `first` when the frame starts
    // with the clip's 512 header bytes. The record describes the output at
    // camera rate `cameraRate`; the time code counts pairs of frames when
    // `outFps` is 50 or 60. Does nothing to a frame too short.
    void StampAvcHeader(uint8_t* frame, size_t size, bool first, int32_t cameraRate, int32_t outFps, int32_t tcRate,
                        int32_t progressive, int32_t addPulldown, int32_t addAdvanced, int64_t index);
    // An AVC-Intra frame that keeps its source's record: only its time code
    // is written.
    void StampAvcTimecode(uint8_t* frame, size_t size, bool first, int32_t outFps, int32_t tcRate, int64_t index);

private:
    void advanceAfter(int32_t rate, int32_t tcRate, int64_t index);
    void writeAvcTimecode(uint8_t* base);
};
