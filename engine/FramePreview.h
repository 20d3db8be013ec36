// The preview the frame pipeline shows its pictures through while an export
// runs with "ShowFrames" on. The user interface implements it; the engine
// holds a pointer (null: no preview).
#pragma once

#include "dv/DvFormat.h"
#include "engine/VideoFormat.h"

namespace vorn {

class FramePreview {
public:
    enum Window { kDecoded = 1, kProcessed = 2 };

    virtual ~FramePreview() = default;

    // Called on the export thread for every decoded picture (window
    // kDecoded) and every processed picture (kProcessed): a packed 4:2:2
    // picture, rows bottom-up, of the format `format`, to be shown `scale`
    // (1, 2 or 4) times smaller. Its buffer may be longer than 2 x width x
    // height (it is sized for the clip's larger raster). The picture is valid
    // during the call only: copy what is needed and return; the export does
    // not wait for drawing. AVC-Intra pictures come after their conversion
    // to this layout.
    virtual void ShowFrame(const dv::PictureBuffer& picture, VideoFormat format, int scale, int window) = 0;
};

} // namespace vorn
