// DV decoder: turns compressed DV-family frames (DV25, DVCPRO25/50, DVCPRO HD)
// into PictureBuffers (packed 8-bit 4:2:2, rows bottom-up unless told
// otherwise), or into 24-bit RGB for icons. A DvDecoder is built from its
// settings and holds its scratch; the work of a frame is split over the
// settings' workers, and a run of frames can be decoded several at once.
#pragma once

#include "dv/DvFormat.h"
#include "foundation/Status.h"
#include "foundation/WorkerPool.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace vorn::dv {

struct DecodeOptions {
    bool fullRaster = false; // DVCPRO HD: stretch to 1920 / 1280 wide
    bool rotate = false;     // 180-degree rotation (top-down rows, mirrored lines)
    bool topDown = false;    // rows top-down instead of bottom-up (before rotation)
};

// Message of a decode whose workers could not be started.
inline constexpr const char* kDecodeThreadMessage = "Could not create Decode thread";
// Message of a request the decoder cannot serve (not a DV-family code, or a
// size, depth or scale it does not produce, or a destination too small).
inline constexpr const char* kDecodeRequestMessage = "The frame cannot be decoded as requested";

struct DvDecoderSettings {
    int workers = 1;            // participants of each pass, 1..kMaxPoolWorkers
    WorkerPool* pool = nullptr; // the pool to run on; null: the decoder starts its own
};

// Where a run of frames comes from and goes to (DvDecoder::decodeRun).
struct FrameRunIo {
    // Fills `frame` (bytesPerFrame bytes) with the next frame of the input;
    // false at its end. Called for one frame at a time, in input order.
    std::function<bool(std::span<uint8_t> frame)> read;
    // Optional: called on the thread that decoded the frame, alongside the
    // work on other frames (e.g. to convert it); `worker` (0..workers-1) names
    // the participant, so per-worker buffers are never shared.
    std::function<void(int worker, const PictureBuffer& picture)> prepare;
    // Called for one frame at a time, in input order, with the same `worker`.
    std::function<void(int worker, const PictureBuffer& picture)> write;
};

struct FrameRunResult {
    long frames = 0;       // frames decoded and written
    long failedFrame = -1; // the first frame that could not be decoded, -1 when none
};

class DvDecoder {
public:
    explicit DvDecoder(const DvDecoderSettings& settings = {});
    ~DvDecoder();
    DvDecoder(const DvDecoder&) = delete;
    DvDecoder& operator=(const DvDecoder&) = delete;

    int workers() const { return m_workers; }

    // Decodes into `picture` (resized to the coded or full raster). Fails with
    // kDecodeRequestMessage for a code that is not a DV-family format, with
    // kDecodeThreadMessage (or the stretch pass's message) when the workers
    // could not run. A short frame decodes as if zero-padded.
    Status decode(std::span<const uint8_t> frame, VideoFormat code, PictureBuffer& picture,
                  const DecodeOptions& options = {});

    // Full form:
    //  dest, destBytes  destination picture (2 bytes per pixel at 16 bpp, 3 at 24 bpp);
    //                   nothing is written when destBytes is too small for the request
    //  width            output width: the coded width (or the full-raster width 1920/1280
    //                   for DVCPRO HD to request stretching), divided by `scale`
    //  height           output height (divided by `scale`); positive = rows bottom-up,
    //                   negative = top-down; `rotate` inverts that choice and mirrors
    //                   each row (a 180-degree turn)
    //  code             VideoFormat 1..10
    //  bitsPerPixel     16 (PictureBuffer layout) or 24 (RGB, 3 bytes per pixel)
    //  scale            1, 2, 4 or 8: reduced-size output (2x2 ... 8x8 box average)
    Status decodeInto(uint8_t* dest, size_t destBytes, int width, int height, std::span<const uint8_t> frame,
                      VideoFormat code, int bitsPerPixel, int scale, bool rotate);

    // Decodes the frames io.read() gives, whole frames side by side: each
    // worker takes the next frame of the input, decodes it alone and hands it
    // to io.write() when every earlier frame is written. One fork-join covers
    // the whole run, reading overlaps decoding and no worker waits for a
    // slower frame of a batch. A frame that cannot be decoded ends the run
    // (the other workers stop after the frame in hand). Fails with
    // kDecodeThreadMessage when the workers could not be started; an
    // exception from io reaches the caller after every worker has stopped.
    Result<FrameRunResult> decodeRun(VideoFormat code, const DecodeOptions& options, const FrameRunIo& io);

    struct Scratch; // buffers and segment workspaces of one decoding thread

private:
    Scratch& scratch(size_t index);

    int m_workers;
    std::unique_ptr<WorkerPool> m_ownPool;
    WorkerPool* m_pool;
    std::vector<std::unique_ptr<Scratch>> m_scratch; // [0] for decode(), [w] for worker w of a run
};

// Output raster of a code: coded width (or full raster width) and height.
int decodedWidth(VideoFormat code, bool fullRaster);

// Transitional entry points for callers not yet holding a decoder: a decoder
// per calling thread on the default pool with its worker count. A failure to
// start workers shows the message box and returns false (nothing for the
// full form).
void DecodeDifFrame(uint8_t* dest, size_t destBytes, int width, int height, std::span<const uint8_t> frame,
                    int modeFlag, int stretchMode, VideoFormat code, int bitsPerPixel, int scale, bool rotate);
bool decodeDifFrame(std::span<const uint8_t> frame, VideoFormat code, PictureBuffer& picture,
                    const DecodeOptions& options = {});

} // namespace vorn::dv
