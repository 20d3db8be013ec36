// What the slice decoder's source files share: block orders and the clipping helper.
#pragma once

#include <cstdint>

namespace vorn::avci {

// Coefficient order of chroma DC: 2x2 raster for 4:2:0; for 4:2:2 the 2-wide, 4-high
// raster position of each coefficient.
inline constexpr uint8_t kChromaDc420Order[4] = {0, 1, 2, 3};
inline constexpr uint8_t kChromaDc422Order[8] = {0, 2, 1, 4, 6, 3, 5, 7};

// Raster index (y * 4 + x) of the 4x4 luma blocks in decoding order.
inline constexpr uint8_t kBlkRaster[16] = {0, 1, 4, 5, 2, 3, 6, 7, 8, 9, 12, 13, 10, 11, 14, 15};
// Decoding order of each raster 4x4 block.
inline constexpr uint8_t kRasterToBlk[16] = {0, 1, 4, 5, 2, 3, 6, 7, 8, 9, 12, 13, 10, 11, 14, 15};

inline int clip3(int lo, int hi, int v) { return v < lo ? lo : (v > hi ? hi : v); }

} // namespace vorn::avci
