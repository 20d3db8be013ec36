// Operations on decoded pictures between decoding and encoding, all on the
// packed 4:2:2 PictureBuffer layout (bytes Y0 Cb Y1 Cr, pitch 2 x width, rows
// bottom-up): format change, noise reduction, the field operations of pulldown
// addition and removal, and the conversion of 16-bit planar AVC-Intra pictures
// into the packed layout. The stretch pass lives in dv/Stretch.h.
//
// Pictures are passed as byte pointers together with a video format code; the
// picture size follows from the code (pictureRaster). The noise filter is an
// object that keeps its history; the other operations keep no state between
// calls.
#pragma once

#include "dv/DvFormat.h"
#include "foundation/Status.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vorn::dv {

// The raster the processing works on for a code: the coded width and the lines
// of the format (DV family 1-10, AVC-Intra 32-43). {0, 0} for any other code.
struct PictureRaster {
    int width = 0;
    int height = 0;
    size_t bytes() const { return static_cast<size_t>(2) * static_cast<size_t>(width) * static_cast<size_t>(height); }
};
PictureRaster pictureRaster(VideoFormat code);

// Largest raster of any code (1920 x 1080): buffers of this many bytes fit every picture.
inline constexpr size_t kMaxPictureBytes = static_cast<size_t>(2) * 1920 * 1080;

// --- Format change --------------------------------------------------------

// Rescales `picture` in place from the raster of `sourceCode` to that of
// `targetCode` (bilinear, 16.16 fixed point, truncating). With `crop` and an SD
// source (codes 5-10) only the centred 16:9 band is used: lines 56-423 of 480
// or 67-508 of 576. The buffer must hold the larger of the two rasters.
// Returns false (picture untouched) when a code has no raster.
bool ChangeFormat(uint8_t* picture, VideoFormat targetCode, VideoFormat sourceCode, bool crop);

// Which source lines make the output lines of each parity (buffer order) in a
// format change. An interlaced frame holds two fields, each a picture of its
// own: scaled as one picture, lines of both would be blended into every
// output line.
inline constexpr int kAllLines = -1;  // every line of the source band (a progressive picture)
inline constexpr int kNoLines = -2;   // output lines of this parity are left as they are
struct LineSources {
    // fromParity[q] for the output lines of parity q: kAllLines, kNoLines, or
    // 0 / 1 for the source lines of that parity (one field).
    int fromParity[2] = {kAllLines, kAllLines};
};

// The general form of ChangeFormat: rescales `source` (raster of
// `sourceCode`, crop as there) into `destination` (raster of `targetCode`),
// each output parity from the lines `lines` names. Output line y of the
// target takes the position y x L / Ht among the L band lines, as in
// ChangeFormat; from a field, the position between that field's own lines
// (so both fields keep their place in the picture). `destination` may be
// `source` (every source line is read before any is written); it must hold
// the larger raster. Returns false (nothing written) when a code has no raster.
// Each call sets up its own work area; FormatChanger keeps one.
bool ChangeFormatLines(uint8_t* destination, VideoFormat targetCode, const uint8_t* source, VideoFormat sourceCode,
                       bool crop, LineSources lines);

// The format change with its work area (target width x source lines) and the
// steps of its horizontal pass kept from call to call, for a sequence of
// pictures. One object changes one picture at a time.
class FormatChanger {
public:
    FormatChanger();
    ~FormatChanger();
    FormatChanger(const FormatChanger&) = delete;
    FormatChanger& operator=(const FormatChanger&) = delete;

    // ChangeFormatLines. Fails (nothing written) when a code has no raster, a
    // line source is not one named above, or the work area cannot be
    // allocated (system error ENOMEM).
    Status change(uint8_t* destination, VideoFormat targetCode, const uint8_t* source, VideoFormat sourceCode,
                  bool crop, LineSources lines);

private:
    struct Work;
    std::unique_ptr<Work> m_work;
};

// The buffer parity of the lines of an unturned picture's first field in
// time: the top field for DVCPRO HD and AVC-Intra (parity 1, rows being
// bottom-up), the bottom field for DV (parity 0).
int firstFieldParity(VideoFormat code);

// First line and line count of the band a format change reads.
struct LineBand {
    int first = 0;
    int count = 0;
};
LineBand formatChangeBand(VideoFormat sourceCode, bool crop);

// --- Noise reduction ------------------------------------------------------

// The failure of a history allocation, and the title of its message box.
inline constexpr const char* kNoiseHistoryMessage = "Could not allocate Quintell Vorn history buffer";
inline constexpr const char* kNoiseMessageTitle = "Quintell Vorn";

struct NoiseFilterSettings {
    // Test hook: the filter's first history allocation fails as if memory ran out.
    bool failFirstAllocation = false;
};

// The spatio-temporal noise filter on luma, with its history: the previous
// source frame, and room for the current one.
class NoiseFilter {
public:
    explicit NoiseFilter(const NoiseFilterSettings& settings = {});

    // Copies `source` to `destination` (both of the raster of `code`); when
    // `on`, filters the destination's luma against the previous source frame
    // in the history. Frame index 0 (a clip's first frame) only fills the
    // history; so does a frame whose size differs from the picture in the
    // history. Fails when the code has no raster, or (destination not written)
    // when the history cannot be allocated: kNoiseHistoryMessage, system error
    // ENOMEM; the next call tries again.
    Status apply(uint8_t* destination, const uint8_t* source, VideoFormat code, int64_t frameIndex, bool on);

private:
    bool allocate();

    std::vector<uint8_t> m_previous, m_current;
    PictureRaster m_raster;   // of the picture in m_previous; width 0 when none
    bool m_failNext = false;
};

// --- Field operations -----------------------------------------------------
// Five picture slots of one cadence group, each of the raster of `code`. Lines
// are counted in buffer order; the lines of parity p are p, p + 2, ...

// F0 F1 F2 F3 -> F0, F1, F1/F2, F2/F3, F3 (slot 2 takes the parity-p lines of
// F1, slot 3 those of F2; p = 1 for DVCPRO HD and AVC-Intra, 0 for SD).
void AddPulldown23(uint8_t* const slots[5], VideoFormat code);

// F0 F1 F2 F3 -> F0, F1, F1/F2, F2, F3 (slot 2 takes the parity-p lines of F1;
// p = 1 for code 1, 0 otherwise).
void AddPulldown2332(uint8_t* const slots[5], VideoFormat code);

// Repairs the mixed-field pair of a 3:2 group: finds the first slot k whose
// mixed flag and that of slot (k + 1) mod 5 are set (k = 0 when none) and
// writes the four slots to keep, ascending without k, into `kept`. k below 4:
// `saved` receives slot 4 and slot k + 1 takes one field of slot k. k = 4:
// slot 0 takes that field from `saved` (the previous group's slot 4), or, for
// the clip's first group (firstFrameIndex 0), is rebuilt by line doubling;
// then `saved` receives slot 4. Returns k.
int RemovePulldown32(uint8_t* saved, int64_t firstFrameIndex, uint8_t* const slots[5], VideoFormat code,
                     bool rotate, const int mixedFlags[5], int kept[4]);

// --- AVC-Intra planar pictures to the packed layout -----------------------
// `source`: 16-bit samples (10-bit range) in planes Y, Cb, Cr, rows from the
// top; chroma planes width/2 x height (4:2:2) or width/2 x height/2 (4:2:0).
// `destination`: packed picture of width x height, rows bottom-up, or with
// `rotate` top-down with every line mirrored (the 180-degree turn). Each byte
// is clamp((v + 2) / 4, 0, 255). Width and height must be even.
void ConvertPlanarPicture422(const uint16_t* source, uint8_t* destination, int width, int height, bool rotate);
void ConvertPlanarPicture420(const uint16_t* source, uint8_t* destination, int width, int height, bool rotate);

// The variant of an AVC-Intra code: 4:2:0 for the AVC-Intra 50 codes 32-37,
// 4:2:2 for the AVC-Intra 100 codes 38-43. Returns false for other codes.
bool ConvertPlanarPicture(const uint16_t* source, uint8_t* destination, int width, int height, bool rotate,
                          VideoFormat code);

} // namespace vorn::dv
