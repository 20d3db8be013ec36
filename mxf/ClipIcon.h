// The clip icon of a P2 card: an 80 x 60 24-bit Windows bitmap (14,454 bytes)
// holding one frame of the clip scaled to 80 x 45 between black bands (7 rows
// at the bottom, 8 at the top of the picture as a viewer shows it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

namespace vorn::mxf {

inline constexpr int kIconWidth = 80;
inline constexpr int kIconHeight = 60;
inline constexpr int kIconPictureHeight = 45;
inline constexpr size_t kIconHeaderBytes = 54;
inline constexpr size_t kIconFileBytes = kIconHeaderBytes + 3 * kIconWidth * kIconHeight; // 14,454

// Makes the icon file's bytes from one compressed frame of a DV-family code
// (1-10) or an AVC-Intra code (bit 32 set). `turn` rotates the picture by 180
// degrees. DV frames are decoded to RGB by the DV decoder; AVC-Intra frames by
// the AVC-Intra decoder and converted at a quarter of their size. Returns false,
// leaving `bitmap` empty, for another code or an AVC-Intra frame that does not
// decode (the decoder has shown its message then).
bool makeIconBitmap(const uint8_t* frame, size_t size, int formatCode, bool turn, std::vector<uint8_t>& bitmap);

// makeIconBitmap with work areas kept from one icon to the next (the decoded
// picture, the AVC-Intra decoder's output, the row-scaled intermediate), for
// callers that make many icons.
class IconMaker {
public:
    bool make(const uint8_t* frame, size_t size, int formatCode, bool turn, std::vector<uint8_t>& bitmap);

    struct WorkAreas {
        std::vector<uint8_t> rgb;
        std::vector<uint16_t> planar;
        std::vector<uint8_t> rows;
    };

private:
    WorkAreas m_work;
};

// Writes the icon of a frame to a new file `path`, created under a temporary
// name in its folder and moved into place when complete; an existing file or
// link at `path` is left alone. Returns 0 on success, a negative value when the
// icon cannot be made (-2) or the file cannot be created or written (-1).
int writeIconBitmap(const std::filesystem::path& path, const uint8_t* frame, size_t size, int formatCode, bool turn);

// Scales a 24-bit picture (3 bytes a pixel, rows packed) to outWidth x outHeight
// by separable linear interpolation in 16.16 fixed point, rows first, then
// columns; the neighbour past the last row or column is the last one. Row
// order is kept. Exposed for tests.
void scaleBgrLinear(const uint8_t* src, int width, int height, uint8_t* dst, int outWidth, int outHeight);

} // namespace vorn::mxf
