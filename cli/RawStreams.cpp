#include "RawStreams.h"

#include "Command.h"

#include "foundation/Notifier.h"
#include "foundation/WorkerPool.h"
#include "mxf/SafeOutput.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace vorn::cli {

RawStreams::RawStreams() = default;

RawStreams::~RawStreams()
{
    if (m_temp) {
        const auto temp = m_temp->tempPath();
        m_temp.reset();
        std::error_code ec;
        std::filesystem::remove(temp, ec);
    }
}

bool RawStreams::openInput(const std::string& path)
{
    if (path == "-") {
        m_in = &std::cin;
        return true;
    }
    m_inFile.open(path, std::ios::binary);
    if (!m_inFile) {
        std::fprintf(stderr, "vorn: cannot open %s\n", path.c_str());
        return false;
    }
    m_in = &m_inFile;
    return true;
}

bool RawStreams::readWhole(void* data, size_t size, const char* what)
{
    m_in->read(static_cast<char*>(data), static_cast<std::streamsize>(size));
    const std::streamsize got = m_in->gcount();
    if (got <= 0)
        return false;
    if (static_cast<size_t>(got) < size) {
        std::fprintf(stderr, "vorn: last %s is short (%lld of %zu bytes); ignored\n", what, static_cast<long long>(got),
                     size);
        return false;
    }
    return true;
}

bool RawStreams::openOutput(const std::string& path, bool discard)
{
    if (discard) {
        m_out = nullptr;
        return true;
    }
    if (path == "-") {
        m_out = &std::cout;
        return true;
    }
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(path, ec);
    if (!ec && (st.type() == fs::file_type::character || st.type() == fs::file_type::fifo)) {
        m_outFile.open(path, std::ios::binary);
        if (!m_outFile) {
            std::fprintf(stderr, "vorn: cannot create %s\n", path.c_str());
            return false;
        }
        m_out = &m_outFile;
        return true;
    }
    if (!ec && st.type() == fs::file_type::directory) {
        std::fprintf(stderr, "vorn: cannot create %s: it is a folder\n", path.c_str());
        return false;
    }
    std::string error;
    m_temp = mxf::TempOutputFile::Create(mxf::TemporaryPathFor(path), path, error);
    if (!m_temp) {
        std::fprintf(stderr, "vorn: cannot create %s%s%s\n", path.c_str(), error.empty() ? "" : ": ", error.c_str());
        return false;
    }
    m_outPath = path;
    m_out = &m_temp->stream();
    return true;
}

bool RawStreams::finishOutput()
{
    if (m_temp) {
        const auto temp = m_temp->tempPath();
        const bool written = m_temp->Finish();
        m_temp.reset();
        std::error_code ec;
        if (!written) {
            std::fprintf(stderr, "vorn: could not write %s\n", m_outPath.c_str());
            std::filesystem::remove(temp, ec);
            return false;
        }
        std::filesystem::rename(temp, m_outPath, ec);
        if (ec) {
            std::fprintf(stderr, "vorn: could not write %s: %s\n", m_outPath.c_str(), ec.message().c_str());
            std::filesystem::remove(temp, ec);
            return false;
        }
        m_out = nullptr;
        return true;
    }
    if (m_out) {
        m_out->flush();
        if (!*m_out) {
            std::fprintf(stderr, "vorn: write failed\n");
            return false;
        }
    }
    return true;
}

int RawStreams::finish(long units, const char* what, const std::string& input)
{
    if (units == 0) {
        std::fprintf(stderr, "vorn: no %s in %s\n", what, input.c_str());
        return kExitFailed;
    }
    return finishOutput() ? kExitOk : kExitFailed;
}

namespace {

// Runs rows(first, end) over bands of the picture's rows with `workers`
// participants on `pool`.
template <class Rows>
void splitRows(WorkerPool& pool, int workers, int height, Rows&& rows)
{
    if (workers < 2) {
        rows(0, height);
        return;
    }
    constexpr int kBand = 32;
    const int bands = (height + kBand - 1) / kBand;
    const Status status = pool.forEachUnit(
        workers, bands, [&](int, int b) { rows(b * kBand, std::min(height, (b + 1) * kBand)); },
        "Could not create Convert thread");
    if (!status.ok()) {
        notify("Quintell", status.message());
        rows(0, height); // no helper: convert on this thread
    }
}

// One row of `pairs` pixel pairs; the restrict qualifiers let the compiler vectorise.
void packRow(const uint8_t* __restrict y, const uint8_t* __restrict cb, const uint8_t* __restrict cr,
             uint8_t* __restrict d, size_t pairs)
{
    for (size_t x = 0; x < pairs; ++x) {
        d[4 * x] = y[2 * x];
        d[4 * x + 1] = cb[x];
        d[4 * x + 2] = y[2 * x + 1];
        d[4 * x + 3] = cr[x];
    }
}

void unpackRow(const uint8_t* __restrict s, uint8_t* __restrict y, uint8_t* __restrict cb, uint8_t* __restrict cr,
               size_t pairs)
{
    for (size_t x = 0; x < pairs; ++x) {
        y[2 * x] = s[4 * x];
        cb[x] = s[4 * x + 1];
        y[2 * x + 1] = s[4 * x + 2];
        cr[x] = s[4 * x + 3];
    }
}

} // namespace

void planarToPacked(const uint8_t* planes, dv::PictureBuffer& pic, bool bottomUp, WorkerPool& pool, int workers)
{
    const size_t w = static_cast<size_t>(pic.width), h = static_cast<size_t>(pic.height);
    const uint8_t* yPlane = planes;
    const uint8_t* cbPlane = yPlane + w * h;
    const uint8_t* crPlane = cbPlane + w * h / 2;
    splitRows(pool, workers, pic.height, [&](int first, int end) {
        for (int r = first; r < end; ++r) {
            packRow(yPlane + static_cast<size_t>(r) * w, cbPlane + static_cast<size_t>(r) * (w / 2),
                    crPlane + static_cast<size_t>(r) * (w / 2), pic.memoryRow(bottomUp ? pic.height - 1 - r : r),
                    w / 2);
        }
    });
}

void packedToPlanar(const dv::PictureBuffer& pic, bool bottomUp, uint8_t* planes, WorkerPool& pool, int workers)
{
    const size_t w = static_cast<size_t>(pic.width), h = static_cast<size_t>(pic.height);
    uint8_t* yPlane = planes;
    uint8_t* cbPlane = yPlane + w * h;
    uint8_t* crPlane = cbPlane + w * h / 2;
    splitRows(pool, workers, pic.height, [&](int first, int end) {
        for (int r = first; r < end; ++r) {
            unpackRow(pic.memoryRow(bottomUp ? pic.height - 1 - r : r), yPlane + static_cast<size_t>(r) * w,
                      cbPlane + static_cast<size_t>(r) * (w / 2), crPlane + static_cast<size_t>(r) * (w / 2), w / 2);
        }
    });
}

void planarToPacked(const uint8_t* planes, dv::PictureBuffer& pic, bool bottomUp)
{
    WorkerPool& pool = defaultWorkerPool();
    planarToPacked(planes, pic, bottomUp, pool, pool.workers());
}

void packedToPlanar(const dv::PictureBuffer& pic, bool bottomUp, uint8_t* planes)
{
    WorkerPool& pool = defaultWorkerPool();
    packedToPlanar(pic, bottomUp, planes, pool, pool.workers());
}

} // namespace vorn::cli
