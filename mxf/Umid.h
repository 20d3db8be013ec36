// 32-byte SMPTE UMIDs of a P2 clip: the clip's base UMID (global clip
// identifier, also the material package UMID) and the file package UMIDs
// derived from it.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace vorn::mxf {

using Umid = std::array<uint8_t, 32>;

// A fresh base UMID: the SMPTE UMID label with a material number made from
// the current time and a random source (instance number 0).
Umid makeBaseUmid();

// The video file's package UMID: byte 10 = 06h, byte 23 = ((b23 + 1) & FFh) | C0h.
Umid videoFileUmid(const Umid& base);

// Audio channel c's package UMID: byte 10 = 08h, byte 23 = (((b23 + c) & FFh) + 1) | C0h.
Umid audioFileUmid(const Umid& base, int channel);

// 64 upper-case hexadecimal digits.
std::string umidToHex(const Umid& umid);

// Parses 64 hexadecimal digits; false when the text is not exactly that.
bool umidFromHex(const std::string& text, Umid& out);

} // namespace vorn::mxf
