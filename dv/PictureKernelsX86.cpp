// SIMD variants of the picture kernels (x86-64), each compiled for its
// instruction set with a target attribute and chosen at run time.
#include "dv/PictureKernels.h"

namespace vorn::dv::detail {

const PictureKernels kPictureKernelsSse2 = {};
const PictureKernels kPictureKernelsSse41 = {};
const PictureKernels kPictureKernelsAvx2 = {};

} // namespace vorn::dv::detail
