// Tables shared by the DV decoder and encoder: where every compressed macroblock
// sits in a DifFrame and in the picture (macroblock shuffling), the zigzag scan
// orders, the variable-length code of run/amplitude pairs, quantisation steps and
// weights, the clamp table, and the processor check.
//
// InitCodecTables() builds everything once (later calls only redo the processor
// check); call it before the first frame is coded.
#pragma once

#include "dv/DvFormat.h"

#include <cstdint>
#include <span>

namespace vorn::dv {

// Builds all tables (idempotent, thread-safe) and runs the processor check
// (the warning box appears when SSE2 is missing).
void InitCodecTables();

// Message shown (title "Quintell") when the processor lacks MMX/SSE/SSE2.
inline constexpr const char* kProcessorWarning =
    "Your processor is not Pentium 4/Athlon 64 compatible\nQuintell will not function properly";

// The shape a compressed macroblock covers in the picture.
enum class MacroblockShape : uint8_t {
    k411Wide,     // 4:1:1, 32x8 luma (Y0..Y3 side by side), one 8x8 Cr and Cb block
    k411Square,   // 4:1:1 right edge (x >= 704), 16x16 luma (Y0 Y1 / Y2 Y3); chroma block
                  // columns 0-3 are chroma rows 0-7, columns 4-7 rows 8-15
    k420,         // 4:2:0, 16x16 luma (Y0 Y1 / Y2 Y3), 8x8 Cr and Cb
    k422Sd,       // 4:2:2 at 50 Mb/s, 16x8 luma (slots 0 and 2), Cr slot 4, Cb slot 5
    k422Hd,       // DVCPRO HD, 16x16 luma (Y0 Y1 / Y2 Y3), Cr0/Cr1 and Cb0/Cb1 stacked
    k422HdBottom, // DVCPRO HD bottom row of 1080 lines: 32x8 luma, Cr0 Cr1 and Cb0 Cb1 side by side
};

// Where one compressed macroblock lives.
struct MacroblockPlace {
    uint32_t difOffset = 0; // byte offset of its DIF block from the start of its channel's area
    uint16_t x = 0;         // top-left luma sample in the coded raster, counted from the top
    uint16_t y = 0;
    MacroblockShape shape = MacroblockShape::k411Wide;
};

// Number of (sequence, segment, macroblock) places per shuffle channel of a code.
int macroblockPlacesPerChannel(VideoFormat code);
// The place of macroblock `mb` (0..4) of video segment `segment` (0..26) of DIF
// sequence `sequence` of shuffle channel `channel`. For the 720-line HD codes the
// shuffle channel is 0..3 (the frame carries the pair 0/1 or 2/3, see
// hdChannelPair); its DIF blocks sit in frame channel (channel & 1). For code 3,
// channel 0 has 12 video sequences and channels 1-3 have 11.
const MacroblockPlace& macroblockPlace(VideoFormat code, int channel, int sequence, int segment, int mb);

// For the 720-line HD codes: the first shuffle channel of the pair a frame holds
// (0 when bit 2 of byte 1 of the first DIF block is set, otherwise 2).
int hdChannelPair(std::span<const uint8_t> frame);

// Zigzag scan orders: entry n is the coefficient index (row * 8 + column) of scan
// position n. For the 2-4-8 DCT, rows 0-3 hold the sum-field coefficients and rows
// 4-7 the difference-field coefficients.
extern const uint8_t kZigzag88[64];
extern const uint8_t kZigzag248[64];

// Area number (0..3) of each scan position; position 0 is the DC coefficient.
int acArea(int scanPosition);

// One entry of the run/amplitude variable-length code (sign bit not included:
// for amp > 0 one sign bit follows the code, 1 = negative).
struct VlcCode {
    uint8_t run;
    uint8_t amp;
    uint8_t length; // code bits, without the sign bit
    uint16_t bits;  // code, right-aligned
};
// Every code of the table, including end of block (the entry with length 4 and
// bits 0b0110, marked by run kVlcEobRun). An entry with amp 0 skips `run`
// coefficients (runs 1..6).
std::span<const VlcCode> vlcCodes();
inline constexpr uint8_t kVlcEobRun = 255;
inline constexpr uint8_t kVlcUnknownRun = 254; // reserved: a code word this table does not define
// Codes outside the table: 1111110 + 6-bit field f skips f + 1 coefficients (used
// for 7..62 zeros); amplitude 23..255 with run 0 is 1111111 + 8-bit amp + sign.

// 25/50 Mb/s quantisation step (1, 2, 4, 8 or 16; class 3 adds a further factor 2,
// included here) for a quantisation number, class and area.
int sdQuantStep(int qno, int cls, int area);
// Weight W(h, v) of the 25/50 Mb/s DCT (index row * 8 + column as in the scan tables).
double sdWeight(bool dct248, int index);

// DVCPRO HD quantisation step for a quantisation number and class.
int hdQuantStep(int qno, int cls);
// DVCPRO HD weight (index row * 8 + column) for luma or chroma, 1080 or 720 lines.
double hdWeight(bool chroma, bool lines1080, int index);

// clampTable()[v + 512] is v limited to 0..255, for v in -512..511.
const uint8_t* clampTable();

} // namespace vorn::dv
