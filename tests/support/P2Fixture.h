// Writer of small P2 op-atom MXF test clips: a video file and its audio
// channel files, laid out like a card (CONTENTS/VIDEO, CONTENTS/AUDIO, ...).
//
// Typical use:
//   auto clip = vorn::test::p2Clip(2, 30);            // 720p60 DVCPRO HD, 30 frames
//   vorn::test::setBinaryGroup(clip, 24, 8);           // shot at 24 fps, progressive
//   auto card = vorn::test::writeP2Card(dir / "CARD", {clip});
//
// Every frame carries the chosen binary group and a marker with its frame
// index in its last 8 bytes (frameMarker reads it back). The files hold the
// usual packages, tracks and descriptors, so general MXF readers (ffprobe)
// read them too; synthetic frames are not decodable pictures (give real
// frames in frameData where a decoder must read them).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace vorn::test {

enum class AudioPlace {
    AudioFolder,  // CONTENTS/AUDIO/NAMEcc.MXF
    BesideVideo,  // in the video file's own folder
};

struct P2Clip {
    std::string name = "0001AB";    // video NAME.MXF, audio NAMEcc.MXF
    int32_t format = 9;             // video format code
    int64_t frames = 10;            // frame count (container duration)
    int32_t rateNum = 25;           // edit rate
    int32_t rateDen = 1;
    bool wide = true;               // aspect ratio 16/9, else 4/3
    int32_t storedWidth = 0;        // 0: by format
    int32_t storedHeight = 0;       // 0: by format (half the lines when interlaced)

    // Binary group written into every frame (M, R, X; K computed unless badCheck).
    bool writeBinaryGroup = true;
    uint8_t bgMode = 0x00;
    uint8_t bgRate = 0x00;
    uint8_t bgThird = 0x00;
    bool badCheck = false;          // write a wrong check byte

    // Frame bytes: DV frames are frameSize bytes (0 = the format's DV frame
    // size); AVC-Intra later frames are frameSize bytes (0 = 4096) and frame 0
    // is 512 bytes larger.
    int32_t frameSize = 0;
    // When not empty, frame i is built from frameData[i % size] (its length
    // then sets the frame size; for AVC-Intra frame 0 gets the 512 header bytes in front).
    std::vector<std::vector<uint8_t>> frameData;
    // Called for every frame after the binary group and marker are written.
    std::function<void(int64_t index, std::vector<uint8_t>& frame)> frameHook;
    // Bytes after the last frame inside the essence element.
    uint64_t essenceExtraBytes = 0;
    // AVC-Intra: frame 0 carries 512 header bytes in front of its picture.
    bool avcHeaderBytes = true;
    // AVC-Intra: two edit unit byte counts (first frame, later frames), else one.
    bool avcTwoIndexSegments = true;

    int audioChannels = 2;
    // The material package names one sound track per audio channel (as a
    // camera's files do); else it has the time code and picture tracks only.
    bool namesSoundTracks = false;
    AudioPlace audioPlace = AudioPlace::AudioFolder;

    int64_t startTimecode = 0;      // frames
    int32_t tcBase = 0;             // 0: the rounded edit rate
    bool dropFrame = false;

    std::array<uint8_t, 32> umid{}; // linked package UID; default: a fixed pattern
};

// A clip of a format with that format's usual edit rate and frame size.
P2Clip p2Clip(int32_t format, int64_t frames = 10, const std::string& name = "0001AB");

// The usual edit rate of a format (e.g. 30000/1001 for 1, 25/1 for 9).
void formatRate(int32_t format, int32_t& num, int32_t& den);

// Sets the binary group: camera rate (written as BCD), shooting mode (M >> 4)
// and the per-frame low bits.
void setBinaryGroup(P2Clip& clip, int cameraRate, int shootingMode, int lowBits = 0);
uint8_t binaryGroupCheck(uint8_t m, uint8_t r, uint8_t x);

// Bytes of the frames and files the writer produces.
int32_t firstFrameSize(const P2Clip& clip);
int32_t laterFrameSize(const P2Clip& clip);
std::vector<uint8_t> p2Frame(const P2Clip& clip, int64_t index);
std::vector<uint8_t> p2VideoFile(const P2Clip& clip);
std::vector<uint8_t> p2AudioFile(const P2Clip& clip, int channel);
int64_t audioSamples(const P2Clip& clip);
// The 16-bit sample value written at sample index i of channel ch.
int16_t audioSampleValue(int channel, int64_t sample);

// The frame index marker written into the last 8 bytes of a frame; -1 if absent.
int64_t frameMarker(const uint8_t* frame, size_t size);

struct P2ClipFiles {
    std::filesystem::path video;
    std::vector<std::filesystem::path> audio;
};
// Writes the clip below a CONTENTS folder (VIDEO/, AUDIO/ created as needed).
P2ClipFiles writeP2Clip(const std::filesystem::path& contents, const P2Clip& clip);
// Writes a card: ROOT/CONTENTS/{VIDEO,AUDIO,CLIP,ICON,PROXY,VOICE} with every clip.
// Returns the files per clip, in order.
std::vector<P2ClipFiles> writeP2Card(const std::filesystem::path& root, const std::vector<P2Clip>& clips);

// Keys, for tests that edit files.
using MxfKey = std::array<uint8_t, 16>;
extern const MxfKey kFixtureDvElementKey;
extern const MxfKey kFixtureAvcElementKey;
extern const MxfKey kFixtureSoundElementKey;
extern const MxfKey kFixtureCdciKey;
extern const MxfKey kFixtureIndexKey;
// Offset of the first occurrence of a key in a file, or npos.
size_t findKey(const std::vector<uint8_t>& file, const MxfKey& key, size_t from = 0);

} // namespace vorn::test
