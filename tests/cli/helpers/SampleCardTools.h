// Helpers of the tests that work on the sample card: one card made per build
// of `vorn` and shared by the tests (copied where a test needs its own),
// FFmpeg-decoded luma of a clip, the frame counter read from a picture, and a
// digest of a folder tree to prove that it was not changed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace vorn::test {

// A one-second sample card made by `vorn sample`, shared by every test of
// this build (made once, under a lock). Tests must not change it.
std::filesystem::path sharedSampleCard();

// Copies a folder tree (a fresh copy of the shared card for a test that needs its own).
void copyTree(const std::filesystem::path& from, const std::filesystem::path& to);

// Every file below a folder with its size and a content hash, one line each,
// sorted: equal digests mean a bit-identical tree.
std::string treeDigest(const std::filesystem::path& root);

// The luma planes of every frame of a clip's video as FFmpeg decodes it.
struct LumaFrames {
    int width = 0, height = 0;
    std::vector<std::vector<uint8_t>> frames;
};
LumaFrames decodeLuma(const std::filesystem::path& video);

// The sample picture's frame counter read from a luma plane (rows top-down):
// from every line (parity -1) or from the lines of one parity only
// (0: lines 0, 2, 4, ...; 1: lines 1, 3, ...). -1 when a digit is unreadable.
int readCounter(const std::vector<uint8_t>& luma, int width, int height, int parity = -1);

// The 16-bit samples of an audio file as FFmpeg decodes it.
std::vector<int16_t> decodePcm(const std::filesystem::path& audio);
// The frequency of a tone in Hz at 48 kHz, from its zero crossings.
double toneFrequency(const std::vector<int16_t>& samples);

// ffprobe's key=value entries of one stream ("v:0", "a:0").
std::map<std::string, std::string> probeStream(const std::filesystem::path& file, const std::string& stream,
                                               const std::string& entries, bool countFrames = false);

// One field of MediaInfo's JSON report of a file's first track of a type ("Video", "Audio").
std::string mediaInfoField(const std::filesystem::path& file, const std::string& trackType, const std::string& field);

} // namespace vorn::test
