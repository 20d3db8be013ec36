#include "avci/AvcDecoder.h"

#include "avci/Bitstream.h"
#include "avci/Deblock.h"
#include "avci/Nal.h"
#include "avci/ParameterSets.h"
#include "avci/Slice.h"

#include "foundation/Cpu.h"
#include "foundation/WorkerPool.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>

namespace vorn::avci {

namespace {

constexpr size_t kNalBufferSize = 600000;
constexpr int kMaxSliceContexts = 8;
constexpr const char* kWorkerFailure = "A slice decoding thread could not be started.";

// A worker of the pool could not be started; the pool has shown the message.
struct WorkerNotStarted {};

struct PendingSlice {
    SliceHeader header;
    size_t nalIndex = 0;   // index into the slice NAL buffers
    size_t payloadSize = 0;
    size_t dataBitPos = 0; // bit position of the slice data
};

} // namespace

class AvcDecoder::Impl {
public:
    explicit Impl(const AvcDecoderSettings& settings)
        : requestedThreads_(std::clamp(settings.threads, 0, kMaxSliceContexts))
    {
    }

    Status decode(const uint8_t* src, uint8_t* dst, size_t count, int formatCode, size_t capacity)
    {
        if (!initialised_ || formatCode != formatCode_) {
            release();
            initialise();
            formatCode_ = formatCode;
            initialised_ = true;
        }
        const size_t wanted = size_t(std::clamp(requestedThreads_ > 0 ? requestedThreads_ : affinityProcessorCount(), 1,
                                                kMaxSliceContexts));
        while (contexts_.size() < wanted) contexts_.push_back(std::make_unique<SliceDecoder>());
        contexts_.resize(wanted);
        try {
            if (!src && count) avcFail("No input data.");
            decodeAccessUnit(src, count);
            writeOutput(dst, capacity);
            return okStatus();
        } catch (const AvcError& e) {
            pending_.clear();
            return Status::failure(e.message);
        } catch (const std::bad_alloc&) {
            pending_.clear();
            return Status::failure("Could not allocate memory: picture buffers");
        } catch (const WorkerNotStarted&) {
            pending_.clear();
            return Status::failure(kWorkerFailure);
        }
    }

    const AvcFrameInfo& info() const { return info_; }

private:
    void release()
    {
        for (auto& s : spsTable_) s = Sps{};
        for (auto& p : ppsTable_) p = Pps{};
        contexts_.clear();
        sliceBuffers_.clear();
        for (auto& p : planes_) std::vector<uint16_t>().swap(p);
        frameW_ = frameH_ = frameCw_ = frameCh_ = 0;
        pic_.mbs.clear();
        pending_.clear();
        info_ = AvcFrameInfo{};
    }

    void initialise()
    {
        int n = requestedThreads_ > 0 ? requestedThreads_ : affinityProcessorCount();
        n = std::clamp(n, 1, kMaxSliceContexts);
        contexts_.clear();
        for (int i = 0; i < n; ++i) contexts_.push_back(std::make_unique<SliceDecoder>());
        nalBuffer_.assign(kNalBufferSize + kBitReaderPadding, 0);
    }

    void decodeAccessUnit(const uint8_t* src, size_t count)
    {
        frameDone_ = false;
        fieldsDone_ = 0;
        havePicture_ = false;
        pending_.clear();
        usedSliceBuffers_ = 0;
        const std::vector<NalSpan> nals = findNalUnits(src, count);
        for (const NalSpan& nal : nals) {
            if (nal.size == 0) continue;
            if (nal.size > kNalBufferSize) avcFail("NALU overflow.");
            const uint8_t header = src[nal.offset];
            if (header & 0x80) avcFail("Invalid NAL unit header (forbidden_zero_bit).");
            const int refIdc = (header >> 5) & 3;
            const int type = header & 31;
            switch (type) {
            case 7: {
                const size_t n = unescapeNal(src + nal.offset + 1, nal.size - 1, nalBuffer_);
                BitReader br(nalBuffer_.data(), n);
                Sps sps;
                parseSps(br, sps);
                if (!pending_.empty()) finishPicture();
                spsTable_[size_t(sps.spsId)] = sps;
                break;
            }
            case 8: {
                const size_t n = unescapeNal(src + nal.offset + 1, nal.size - 1, nalBuffer_);
                BitReader br(nalBuffer_.data(), n);
                Pps pps;
                parsePps(br, pps, spsTable_);
                if (!pending_.empty()) finishPicture();
                ppsTable_[size_t(pps.ppsId)] = pps;
                break;
            }
            case 1:
            case 5: {
                if (usedSliceBuffers_ >= sliceBuffers_.size()) sliceBuffers_.emplace_back();
                std::vector<uint8_t>& buf = sliceBuffers_[usedSliceBuffers_];
                const size_t n = unescapeNal(src + nal.offset + 1, nal.size - 1, buf);
                BitReader br(buf.data(), n);
                PendingSlice ps;
                parseSliceHeader(br, type, refIdc, spsTable_, ppsTable_, ps.header);
                if (!pending_.empty() &&
                    (!samePicture(pending_.front().header, ps.header) || ps.header.firstMb == 0)) {
                    // The slice buffers of the finished picture are reused from here on.
                    std::vector<uint8_t> keep;
                    keep.swap(buf);
                    finishPicture();
                    usedSliceBuffers_ = 0;
                    sliceBuffers_[0].swap(keep);
                }
                ps.nalIndex = usedSliceBuffers_++;
                ps.payloadSize = n;
                ps.dataBitPos = br.position();
                pending_.push_back(ps);
                break;
            }
            case 2:
            case 3:
            case 4:
                avcFail("Data partitioning is not supported.");
            default:
                break; // AUD, SEI, filler, end of sequence/stream and others carry no picture data
            }
        }
        if (!pending_.empty()) finishPicture();
        if (!havePicture_) avcFail("No picture in the access unit.");
        if (!frameDone_ && fieldsDone_ != 3) avcFail("Incomplete frame: a field is missing.");
    }

    void finishPicture()
    {
        const SliceHeader& first = pending_.front().header;
        const Pps& pps = ppsTable_[size_t(first.ppsId)];
        const Sps& sps = spsTable_[size_t(pps.spsId)];
        for (const PendingSlice& s : pending_) {
            if (s.header.ppsId != first.ppsId) avcFail("Slices of one picture use different parameter sets.");
        }
        activate(sps, pps, first);
        decodeSlices();
        bool deblock = false;
        if (!sps.intraProfile()) {
            for (const PendingSlice& s : pending_)
                if (s.header.disableDeblocking != 1) deblock = true;
        }
        if (deblock) runDeblocking();
        // Every macroblock of the picture must have been decoded.
        for (const MbInfo& m : pic_.mbs)
            if (m.kind == kMbNone) avcFail("Missing slices: the picture is incomplete.");
        if (first.fieldPic) {
            fieldsDone_ |= first.bottomField ? 2 : 1;
            frameDone_ = false;
        } else {
            frameDone_ = true;
            fieldsDone_ = 0;
        }
        info_.deblocked = deblock;
        havePicture_ = true;
        pending_.clear();
    }

    void activate(const Sps& sps, const Pps& pps, const SliceHeader& sh)
    {
        const int frameHeightMbs = sps.frameHeightInMbs();
        const int w = sps.widthInMbs * 16;
        const int h = frameHeightMbs * 16;
        const int cat = sps.chromaArrayType();
        const int cw = cat == 0 ? 0 : w / 2;
        const int ch = cat == 0 ? 0 : (cat == 1 ? h / 2 : h);
        if (sps.widthInMbs * frameHeightMbs > 139264) avcFail("Picture size out of range.");
        if (w != frameW_ || h != frameH_ || cw != frameCw_ || ch != frameCh_ || active_.bitDepthLuma != sps.bitDepthLuma) {
            frameW_ = w;
            frameH_ = h;
            frameCw_ = cw;
            frameCh_ = ch;
            planes_[0].assign(size_t(w) * size_t(h), 0);
            planes_[1].assign(size_t(cw) * size_t(ch), uint16_t(1 << (sps.bitDepthChroma - 1)));
            planes_[2].assign(size_t(cw) * size_t(ch), uint16_t(1 << (sps.bitDepthChroma - 1)));
            fieldsDone_ = 0;
            frameDone_ = false;
        }
        active_ = sps;
        activePps_ = pps;
        pic_.sps = &active_;
        pic_.pps = &activePps_;
        pic_.widthMbs = sps.widthInMbs;
        pic_.fieldPic = sh.fieldPic;
        pic_.mbaff = sps.mbAff && !sh.fieldPic;
        pic_.heightMbs = sh.fieldPic ? frameHeightMbs / 2 : frameHeightMbs;
        pic_.chromaArrayType = cat;
        pic_.bitDepth = sps.bitDepthLuma;
        pic_.mbHeightC = cat == 2 ? 16 : 8;
        const int parity = sh.fieldPic && sh.bottomField ? 1 : 0;
        const int step = sh.fieldPic ? 2 : 1;
        pic_.plane[0] = planes_[0].data() + size_t(parity) * size_t(w);
        pic_.stride[0] = ptrdiff_t(w) * step;
        for (int c = 1; c < 3; ++c) {
            pic_.plane[c] = cat == 0 ? nullptr : planes_[size_t(c)].data() + size_t(parity) * size_t(cw);
            pic_.stride[c] = ptrdiff_t(cw) * step;
        }
        pic_.setupScaling();
        pic_.mbs.assign(size_t(pic_.picSizeInMbs()), MbInfo{});
    }

    void decodeOne(size_t index, SliceDecoder& ctx)
    {
        const PendingSlice& s = pending_[index];
        BitReader br(sliceBuffers_[s.nalIndex].data(), s.payloadSize);
        br.setPosition(s.dataBitPos);
        const int mbsPerUnit = pic_.mbaff ? 2 : 1;
        const int end = index + 1 < pending_.size() ? pending_[index + 1].header.firstMb * mbsPerUnit : pic_.picSizeInMbs();
        ctx.decode(pic_, s.header, br, int(index), end);
    }

    void decodeSlices()
    {
        const size_t count = pending_.size();
        // Slices follow each other in macroblock order, so each one owns the macroblocks up to
        // the next one's start and slices can be decoded at the same time.
        for (size_t i = 1; i < count; ++i)
            if (pending_[i].header.firstMb <= pending_[i - 1].header.firstMb)
                avcFail("Slices out of order or overlapping.");
        const size_t threads = std::min(contexts_.size(), count);
        if (threads <= 1) {
            for (size_t i = 0; i < count; ++i) decodeOne(i, *contexts_[0]);
            return;
        }
        // Largest slices first, so that the workers finish at about the same time. Each
        // worker decodes with its own slice context; a failed slice's message is kept by
        // slice so that the one reported does not depend on the timing.
        std::vector<size_t> order(count);
        for (size_t i = 0; i < count; ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(),
                         [&](size_t a, size_t b) { return pending_[a].payloadSize > pending_[b].payloadSize; });
        std::vector<std::string> errors(count);
        std::vector<uint8_t> failed(count, 0);
        const bool ran = forEachUnit(int(threads), int(count), [&](int slot, int unit) {
            const size_t i = order[size_t(unit)];
            try {
                decodeOne(i, *contexts_[size_t(slot)]);
            } catch (const AvcError& e) {
                errors[i] = e.message;
                failed[i] = 1;
            } catch (const std::bad_alloc&) {
                errors[i] = "Could not allocate memory: slice";
                failed[i] = 1;
            }
        }, kWorkerFailure);
        if (!ran) throw WorkerNotStarted{};
        for (size_t i = 0; i < count; ++i)
            if (failed[i]) avcFail(errors[i]);
    }

    void runDeblocking()
    {
        deblockInfo_.assign(pic_.mbs.size(), DeblockMbInfo{});
        for (size_t i = 0; i < pic_.mbs.size(); ++i) {
            const MbInfo& m = pic_.mbs[i];
            DeblockMbInfo& d = deblockInfo_[i];
            if (m.slice < 0) continue;
            const SliceHeader& sh = pending_[size_t(m.slice)].header;
            d.qpY = m.kind == kMbPcm ? 0 : m.qp;
            d.pcm = m.kind == kMbPcm ? 1 : 0;
            d.fieldMb = m.field;
            d.transform8x8 = m.t8x8;
            d.disableIdc = uint8_t(sh.disableDeblocking);
            d.filterOffsetA = int8_t(sh.alphaOffset);
            d.filterOffsetB = int8_t(sh.betaOffset);
            d.chromaQpOffset = int8_t(activePps_.chromaQpIndexOffset);
            d.secondChromaQpOffset = int8_t(activePps_.secondChromaQpIndexOffset);
            d.slice = m.slice;
        }
        DeblockPicture dp;
        for (int c = 0; c < 3; ++c) {
            dp.plane[c] = pic_.plane[c];
            dp.stride[c] = pic_.stride[c];
        }
        dp.chromaArrayType = pic_.chromaArrayType;
        dp.bitDepthY = active_.bitDepthLuma;
        dp.bitDepthC = active_.bitDepthChroma;
        dp.widthMbs = pic_.widthMbs;
        dp.heightMbs = pic_.heightMbs;
        dp.structure = !pic_.fieldPic ? PictureStructure::Frame
                                      : (pic_.plane[0] != planes_[0].data() ? PictureStructure::BottomField
                                                                            : PictureStructure::TopField);
        dp.mbaff = pic_.mbaff;
        dp.mbs = deblockInfo_.data();
        if (!deblockPicture(dp)) avcFail("Deblocking failed: inconsistent picture description.");
    }

    void writeOutput(uint8_t* dst, size_t capacity)
    {
        const Sps& sps = active_;
        const int cat = sps.chromaArrayType();
        const int cropUnitX = cat == 0 ? 1 : 2;
        const int cropUnitY = (cat == 1 ? 2 : 1) * (sps.frameMbsOnly ? 1 : 2);
        const int x0 = sps.cropLeft * cropUnitX;
        const int y0 = sps.cropTop * cropUnitY;
        const int width = frameW_ - (sps.cropLeft + sps.cropRight) * cropUnitX;
        const int height = frameH_ - (sps.cropTop + sps.cropBottom) * cropUnitY;
        const int bytesPerSample = sps.bitDepthLuma > 8 ? 2 : 1;
        const int cw = cat == 0 ? 0 : width / 2;
        const int ch = cat == 0 ? 0 : (cat == 1 ? height / 2 : height);
        const size_t total = (size_t(width) * size_t(height) + 2 * size_t(cw) * size_t(ch)) * size_t(bytesPerSample);
        const bool discard = !dst && capacity == 0;
        if (!discard && (!dst || capacity < total)) avcFail("The destination buffer is too small for the decoded frame.");
        uint8_t* out = dst;
        auto writePlane = [&](const std::vector<uint16_t>& plane, int stride, int px, int py, int pw, int ph) {
            for (int y = 0; y < ph; ++y) {
                const uint16_t* row = plane.data() + size_t(py + y) * size_t(stride) + size_t(px);
                if (bytesPerSample == 2 && std::endian::native == std::endian::little) {
                    std::memcpy(out, row, 2 * size_t(pw));
                    out += 2 * size_t(pw);
                } else if (bytesPerSample == 2) {
                    for (int x = 0; x < pw; ++x) {
                        out[2 * x] = uint8_t(row[x]);
                        out[2 * x + 1] = uint8_t(row[x] >> 8);
                    }
                    out += 2 * size_t(pw);
                } else {
                    for (int x = 0; x < pw; ++x) out[x] = uint8_t(row[x]);
                    out += size_t(pw);
                }
            }
        };
        if (!discard) writePlane(planes_[0], frameW_, x0, y0, width, height);
        if (cat != 0 && !discard) {
            const int cy0 = cat == 1 ? y0 / 2 : y0;
            writePlane(planes_[1], frameCw_, x0 / 2, cy0, cw, ch);
            writePlane(planes_[2], frameCw_, x0 / 2, cy0, cw, ch);
        }
        info_.width = width;
        info_.height = height;
        info_.chromaFormat = cat;
        info_.bitDepth = sps.bitDepthLuma;
        info_.profileIdc = sps.profileIdc;
        info_.bytes = total;
    }

    bool initialised_ = false;
    int formatCode_ = 0;
    const int requestedThreads_;
    std::array<Sps, 32> spsTable_{};
    std::array<Pps, 256> ppsTable_{};
    Sps active_{};
    Pps activePps_{};
    std::vector<uint8_t> nalBuffer_;
    std::vector<std::vector<uint8_t>> sliceBuffers_;
    size_t usedSliceBuffers_ = 0;
    std::vector<std::unique_ptr<SliceDecoder>> contexts_;
    std::vector<PendingSlice> pending_;
    PictureContext pic_;
    std::vector<DeblockMbInfo> deblockInfo_;
    std::vector<uint16_t> planes_[3];
    int frameW_ = 0, frameH_ = 0, frameCw_ = 0, frameCh_ = 0;
    bool frameDone_ = false;
    int fieldsDone_ = 0;
    bool havePicture_ = false;
    AvcFrameInfo info_;
};

AvcDecoder::AvcDecoder(const AvcDecoderSettings& settings) : impl_(std::make_unique<Impl>(settings)) {}

AvcDecoder::~AvcDecoder() = default;
AvcDecoder::AvcDecoder(AvcDecoder&&) noexcept = default;
AvcDecoder& AvcDecoder::operator=(AvcDecoder&&) noexcept = default;

Status AvcDecoder::decode(const uint8_t* source, size_t sourceCount, int formatCode, uint8_t* destination,
                          size_t destinationCapacity)
{
    return impl_->decode(source, destination, sourceCount, formatCode, destinationCapacity);
}

const AvcFrameInfo& AvcDecoder::lastFrame() const { return impl_->info(); }

bool failureAlreadyShown(const Status& failure) { return !failure.ok() && failure.message() == kWorkerFailure; }

} // namespace vorn::avci
