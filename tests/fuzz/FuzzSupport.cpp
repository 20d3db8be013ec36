#include "FuzzTargets.h"

#include "avci/AvcDecoder.h"
#include "dv/CodecTables.h"
#include "foundation/Log.h"
#include "foundation/Notifier.h"
#include "foundation/WorkerPool.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace vorn::fuzz {

std::span<const FuzzTarget> fuzzTargets()
{
    static const FuzzTarget kTargets[] = {
        {"mxf_card", "clip reader and import on a card tree (video file, audio channel files)", runMxfCard,
         mxfCardSeeds},
        {"clip_xml", "clip XML reader and the output clip XML built from it", runClipXml, clipXmlSeeds},
        {"options", "options file and version file", runOptions, optionsSeeds},
        {"dv_decode", "DV decoders, SD and HD engines (first byte: format code)", runDvDecode, dvDecodeSeeds},
        {"avci_decode", "AVC-Intra decoder (first byte: format code)", runAvcDecode, avcDecodeSeeds},
        {"dv_rotate", "coefficient-domain rotation of 720-line DVCPRO HD (first byte: format code)", runDvRotate,
         dvRotateSeeds},
        {"planner", "conversion planner on the clip a video file describes", runPlanner, plannerSeeds},
    };
    return kTargets;
}

const FuzzTarget* findFuzzTarget(std::string_view name)
{
    for (const FuzzTarget& t : fuzzTargets())
        if (name == t.name)
            return &t;
    return nullptr;
}

void prepareFuzzing()
{
    setNotifyHandler([](const std::string&, const std::string&) {});
    dv::InitCodecTables();
    defaultWorkerPool().setWorkers(1);
}

void checkFailed(const char* file, int line, const char* condition)
{
    std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, condition);
    std::abort();
}

std::vector<std::span<const uint8_t>> splitParts(const uint8_t* data, size_t size, size_t maxParts)
{
    std::vector<std::span<const uint8_t>> parts;
    const auto* sep = reinterpret_cast<const uint8_t*>(kPartSeparator.data());
    const uint8_t* end = data + size;
    const uint8_t* at = data;
    while (parts.size() + 1 < maxParts) {
        const uint8_t* hit = std::search(at, end, sep, sep + kPartSeparator.size());
        if (hit == end)
            break;
        parts.emplace_back(at, hit);
        at = hit + kPartSeparator.size();
    }
    parts.emplace_back(at, end);
    return parts;
}

Bytes joinParts(const std::vector<Bytes>& parts)
{
    Bytes out;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i)
            out.insert(out.end(), kPartSeparator.begin(), kPartSeparator.end());
        out.insert(out.end(), parts[i].begin(), parts[i].end());
    }
    return out;
}

ScratchFolder::ScratchFolder()
{
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    if (ec)
        base = "/tmp";
    m_path = base / ("vorn-fuzz-" + std::to_string(::getpid()));
    fs::remove_all(m_path, ec);   // left over by an input that crashed
    fs::create_directories(m_path, ec);
    FUZZ_CHECK(!ec);
}

ScratchFolder::~ScratchFolder()
{
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

fs::path ScratchFolder::write(const fs::path& relative, std::span<const uint8_t> bytes) const
{
    const fs::path file = m_path / relative;
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    FUZZ_CHECK(out.good());
    return file;
}

} // namespace vorn::fuzz
