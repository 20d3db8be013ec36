// The two decoding engines (25/50 Mb/s and DVCPRO HD) and the output stages:
// orientation, stretch and mirror, RGB and reduced-scale output.
#include "dv/DvDecoder.h"

#include "dv/CodecTables.h"
#include "dv/DvDecoderCore.h"
#include "dv/Stretch.h"
#include "foundation/Log.h"
#include "foundation/Notifier.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

namespace vorn::dv {

struct DvDecoder::Scratch {
    std::vector<uint8_t> padded;  // a short frame, zero-padded
    std::vector<uint8_t> coded;   // the coded raster when it is not the destination
    std::vector<uint8_t> full;    // the stretched or turned raster before conversion
    std::vector<detail::SegmentWorkspacePtr> workspaces; // one per participant
    PictureBuffer picture;        // a run's picture of this worker

    // Workspaces for `count` participants; false when memory is short.
    bool reserveWorkspaces(int count)
    {
        while (static_cast<int>(workspaces.size()) < count) {
            workspaces.push_back(detail::newSegmentWorkspace());
            if (!workspaces.back()) {
                workspaces.pop_back();
                return false;
            }
        }
        return true;
    }
};

namespace {

// Decodes the whole frame into `target` (coded raster) in one pass of the
// worker pool: every DIF sequence of every channel the frame carries is one
// unit, claimed by whichever worker is free. Units write disjoint parts of the
// picture, so the result does not depend on who decodes what. False when a
// worker could not be started.
Status decodeCoded(DvDecoder::Scratch& scratch, WorkerPool& pool, int workers, const DvFormatInfo& info,
                   std::span<const uint8_t> frame, const detail::PackedTarget& target)
{
    const uint8_t* data = frame.data();
    if (frame.size() < static_cast<size_t>(info.bytesPerFrame)) {
        // A short frame decodes as if the missing bytes were zero.
        scratch.padded.assign(static_cast<size_t>(info.bytesPerFrame), 0);
        if (!frame.empty())
            std::memcpy(scratch.padded.data(), frame.data(), frame.size());
        data = scratch.padded.data();
    }
    // Shuffle channels carried by this frame and their DIF sequences.
    int firstChannel = 0, channels = info.channels, perChannel = info.videoSequencesPerChannel;
    if (info.hd && info.height == 720) {
        firstChannel = hdChannelPair(frame);
        channels = 2;
    } else if (info.hd) {
        channels = 4;
        perChannel = info.code == 3 ? 11 : info.videoSequencesPerChannel;
    }
    // Code 3: the twelfth DIF sequence, carried by channel 0 only, is the last unit.
    const bool extra = info.hd && info.code == 3;
    const int units = channels * perChannel + (extra ? 1 : 0);
    workers = std::clamp(workers, 1, std::min(units, kMaxPoolWorkers));
    if (!scratch.reserveWorkspaces(workers))
        return Status::failure(kDecodeThreadMessage);
    auto decodeUnit = [&](int slot, int unit) {
        detail::SegmentWorkspace& ws = *scratch.workspaces[static_cast<size_t>(slot)];
        if (extra && unit == units - 1)
            detail::decodeSequence(ws, info, data, 0, 11, target);
        else
            detail::decodeSequence(ws, info, data, firstChannel + unit / perChannel, unit % perChannel, target);
    };
    if (workers < 2) {
        for (int u = 0; u < units; ++u)
            decodeUnit(0, u);
        return okStatus();
    }
    return pool.forEachUnit(workers, units, decodeUnit, kDecodeThreadMessage);
}

inline uint8_t clamp255(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

// Packed 4:2:2 (top-down or bottom-up as stored) to RGB 24-bit with the integer
// BT.601 matrix, optionally reduced by `scale` with a box average. Row order is kept.
void convertOutput(uint8_t* dest, int outWidth, int outHeight, int bpp, int scale, const uint8_t* src, int srcWidth)
{
    const int srcPitch = 2 * srcWidth;
    const int outBpp = bpp / 8;
    for (int y = 0; y < outHeight; ++y) {
        uint8_t* d = dest + static_cast<ptrdiff_t>(y) * outWidth * outBpp;
        for (int x = 0; x < outWidth; ++x) {
            int sy = 0, scb = 0, scr = 0;
            for (int j = 0; j < scale; ++j) {
                const uint8_t* row = src + static_cast<ptrdiff_t>(y * scale + j) * srcPitch;
                for (int i = 0; i < scale; ++i) {
                    const int px = x * scale + i;
                    const uint8_t* pair = row + 4 * (px / 2);
                    sy += row[2 * px];
                    scb += pair[1];
                    scr += pair[3];
                }
            }
            const int n = scale * scale;
            const int Y = (sy + n / 2) / n, Cb = (scb + n / 2) / n, Cr = (scr + n / 2) / n;
            if (outBpp == 3) {
                const int yy = 74 * (Y - 16), u = Cb - 128, v = Cr - 128;
                // Bytes in B, G, R order as in a device-independent bitmap.
                d[3 * x + 0] = clamp255((yy + 129 * u + 32) >> 6);
                d[3 * x + 1] = clamp255((yy - 25 * u - 52 * v + 32) >> 6);
                d[3 * x + 2] = clamp255((yy + 102 * v + 32) >> 6);
            } else {
                d[2 * x] = static_cast<uint8_t>(Y);
                d[2 * x + 1] = static_cast<uint8_t>((x & 1) ? Cr : Cb);
            }
        }
    }
}

} // namespace

int decodedWidth(VideoFormat code, bool fullRaster)
{
    const DvFormatInfo* info = dvFormatInfo(code);
    if (!info)
        return 0;
    return (fullRaster && info->hd) ? info->fullWidth : info->codedWidth;
}

namespace {

Status decodeImpl(DvDecoder::Scratch& scratch, WorkerPool& pool, int workers, uint8_t* dest, size_t destBytes,
                  int width, int height, std::span<const uint8_t> frame, VideoFormat code, int bitsPerPixel, int scale,
                  bool rotate)
{
    const Status badRequest = Status::failure(kDecodeRequestMessage);
    const DvFormatInfo* info = dvFormatInfo(code);
    if (!info || !dest || (bitsPerPixel != 16 && bitsPerPixel != 24) ||
        (scale != 1 && scale != 2 && scale != 4 && scale != 8) || width <= 0 || height == 0)
        return badRequest;
    detail::initDecoderTables();
    const int outHeight = height < 0 ? -height : height;
    const int fullWidth = width * scale;
    if (outHeight * scale != info->height)
        return badRequest;
    const bool stretch = info->hd && fullWidth == info->fullWidth && info->fullWidth != info->codedWidth;
    if (!stretch && fullWidth != info->codedWidth)
        return badRequest;
    if (destBytes < static_cast<size_t>(width) * static_cast<size_t>(outHeight) * static_cast<size_t>(bitsPerPixel / 8))
        return badRequest;
    const bool topDown = (height < 0) != rotate;

    const bool direct = bitsPerPixel == 16 && scale == 1 && !stretch;
    detail::PackedTarget target;
    target.width = info->codedWidth;
    target.height = info->height;
    target.bottomUp = !topDown;
    if (direct) {
        target.base = dest;
    } else {
        scratch.coded.resize(static_cast<size_t>(info->pictureBytes()));
        target.base = scratch.coded.data();
    }
    VORN_RETURN_IF_ERROR(decodeCoded(scratch, pool, workers, *info, frame, target));

    StretchJob job;
    job.code = code;
    job.height = info->height;
    job.up = true;
    job.stretch = stretch;
    job.rotate = rotate;
    job.srcPairs = info->codedWidth / 2;
    job.src = target.base;
    job.srcPitch = 2 * info->codedWidth;
    if (direct) {
        if (rotate) {
            job.dest = dest;
            job.destPitch = job.srcPitch;
            return StretchPicture(job, pool, workers);
        }
        return okStatus();
    }
    const int rasterWidth = stretch ? info->fullWidth : info->codedWidth;
    uint8_t* raster = target.base;
    if (stretch || rotate) {
        uint8_t* out = nullptr;
        if (bitsPerPixel == 16 && scale == 1) {
            out = dest;
        } else {
            scratch.full.resize(static_cast<size_t>(2) * rasterWidth * info->height);
            out = scratch.full.data();
        }
        job.dest = out;
        job.destPitch = 2 * rasterWidth;
        VORN_RETURN_IF_ERROR(StretchPicture(job, pool, workers));
        raster = out;
        if (out == dest)
            return okStatus();
    }
    convertOutput(dest, width, outHeight, bitsPerPixel, scale, raster, rasterWidth);
    return okStatus();
}

Status decodePicture(DvDecoder::Scratch& scratch, WorkerPool& pool, int workers, std::span<const uint8_t> frame,
                     VideoFormat code, PictureBuffer& picture, const DecodeOptions& options)
{
    const DvFormatInfo* info = dvFormatInfo(code);
    if (!info)
        return Status::failure(kDecodeRequestMessage);
    const int w = decodedWidth(code, options.fullRaster);
    picture.resize(w, info->height);
    return decodeImpl(scratch, pool, workers, picture.data(), picture.size(), w,
                      options.topDown ? -info->height : info->height, frame, code, 16, 1, options.rotate);
}

} // namespace

DvDecoder::DvDecoder(const DvDecoderSettings& settings)
    : m_workers(std::clamp(settings.workers, 1, kMaxPoolWorkers)), m_pool(settings.pool)
{
    if (!m_pool) {
        m_ownPool = std::make_unique<WorkerPool>(m_workers);
        m_pool = m_ownPool.get();
    }
}

DvDecoder::~DvDecoder() = default;

DvDecoder::Scratch& DvDecoder::scratch(size_t index)
{
    while (m_scratch.size() <= index)
        m_scratch.push_back(std::make_unique<Scratch>());
    return *m_scratch[index];
}

Status DvDecoder::decode(std::span<const uint8_t> frame, VideoFormat code, PictureBuffer& picture,
                         const DecodeOptions& options)
{
    return decodePicture(scratch(0), *m_pool, m_workers, frame, code, picture, options);
}

Status DvDecoder::decodeInto(uint8_t* dest, size_t destBytes, int width, int height, std::span<const uint8_t> frame,
                             VideoFormat code, int bitsPerPixel, int scale, bool rotate)
{
    return decodeImpl(scratch(0), *m_pool, m_workers, dest, destBytes, width, height, frame, code, bitsPerPixel,
                      scale, rotate);
}

Result<FrameRunResult> DvDecoder::decodeRun(VideoFormat code, const DecodeOptions& options, const FrameRunIo& io)
{
    const DvFormatInfo* info = dvFormatInfo(code);
    if (!info)
        return Status::failure(kDecodeRequestMessage);
    const int workers = m_workers;
    for (int w = 0; w < workers; ++w)
        scratch(static_cast<size_t>(w) + 1);
    std::vector<std::vector<uint8_t>> frames(static_cast<size_t>(workers),
                                             std::vector<uint8_t>(static_cast<size_t>(info->bytesPerFrame)));

    std::mutex readLock;
    long nextRead = 0;
    bool inputEnded = false;
    std::mutex writeLock;
    std::condition_variable writeTurn;
    long written = 0;
    long failedFrame = -1; // the first frame that could not be decoded
    bool aborted = false;  // a worker left by an exception
    auto work = [&](int worker) {
        Scratch& s = *m_scratch[static_cast<size_t>(worker) + 1];
        std::vector<uint8_t>& frame = frames[static_cast<size_t>(worker)];
        try {
            for (;;) {
                long index;
                {
                    std::lock_guard<std::mutex> lock(readLock);
                    if (inputEnded)
                        return;
                    if (!io.read(frame)) {
                        inputEnded = true;
                        return;
                    }
                    index = nextRead++;
                }
                // Each frame is decoded by its worker alone.
                const bool decoded = decodePicture(s, *m_pool, 1, frame, code, s.picture, options).ok();
                if (decoded && io.prepare)
                    io.prepare(worker, s.picture);
                std::unique_lock<std::mutex> lock(writeLock);
                writeTurn.wait(lock, [&] { return written == index || failedFrame >= 0 || aborted; });
                if (failedFrame >= 0 || aborted)
                    break;
                if (!decoded) {
                    failedFrame = index;
                    writeTurn.notify_all();
                    break;
                }
                if (io.write)
                    io.write(worker, s.picture);
                ++written;
                writeTurn.notify_all();
            }
        } catch (...) {
            {
                std::lock_guard<std::mutex> lock(writeLock);
                aborted = true;
                writeTurn.notify_all();
            }
            std::lock_guard<std::mutex> lock(readLock);
            inputEnded = true;
            throw;
        }
        // A frame failed: the other workers stop after the frame in hand.
        std::lock_guard<std::mutex> lock(readLock);
        inputEnded = true;
    };
    VORN_RETURN_IF_ERROR(m_pool->forkJoin(workers, work, kDecodeThreadMessage));
    FrameRunResult result;
    result.frames = written;
    result.failedFrame = failedFrame;
    return result;
}

namespace {

// The calling thread's decoder for the transitional entry points, rebuilt when
// the default pool's worker count changes.
DvDecoder& threadDecoder()
{
    thread_local std::unique_ptr<DvDecoder> decoder;
    WorkerPool& pool = defaultWorkerPool();
    if (!decoder || decoder->workers() != pool.workers())
        decoder = std::make_unique<DvDecoder>(DvDecoderSettings{pool.workers(), &pool});
    return *decoder;
}

bool reported(const Status& status)
{
    if (!status.ok() && status.message() != kDecodeRequestMessage)
        notify("Quintell", status.message());
    return status.ok();
}

} // namespace

void DecodeDifFrame(uint8_t* dest, size_t destBytes, int width, int height, std::span<const uint8_t> frame,
                    int modeFlag, int stretchMode, VideoFormat code, int bitsPerPixel, int scale, bool rotate)
{
    // Both mode flags mean the full-quality decode here.
    (void)modeFlag;
    (void)stretchMode;
    reported(threadDecoder().decodeInto(dest, destBytes, width, height, frame, code, bitsPerPixel, scale, rotate));
}

bool decodeDifFrame(std::span<const uint8_t> frame, VideoFormat code, PictureBuffer& picture,
                    const DecodeOptions& options)
{
    return reported(threadDecoder().decode(frame, code, picture, options));
}

} // namespace vorn::dv
