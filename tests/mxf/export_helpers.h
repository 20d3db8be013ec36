// Shared set-up of the exporter tests: a free-space hook, captured message
// boxes, the CardSize option, and a one-call clip export.
#pragma once

#include "support/TestSupport.h"
#include "foundation/Notifier.h"
#include "mxf/ExportMxf.h"
#include "mxf/Umid.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vorn::test {

// Every entry under a folder: files with size and content hash, symlinks with
// their target, folders by name.
inline std::map<std::string, std::string> listing(const std::filesystem::path& root)
{
    namespace fs = std::filesystem;
    std::map<std::string, std::string> out;
    if (!fs::exists(root)) return out;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
        const std::string rel = fs::relative(it->path(), root).string();
        if (it->is_symlink()) {
            out[rel] = "-> " + fs::read_symlink(it->path()).string();
        } else if (it->is_directory()) {
            out[rel] = "dir";
        } else {
            const auto bytes = vorn::test::readBytes(it->path());
            uint64_t h = 1469598103934665603ull;   // FNV-1a
            for (uint8_t b : bytes) h = (h ^ b) * 1099511628211ull;
            out[rel] = std::to_string(bytes.size()) + " " + std::to_string(h);
        }
    }
    return out;
}

class ExportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        oldNotify = vorn::setNotifyHandler([this](const std::string&, const std::string& t) { messages.push_back(t); });
        vorn::mxf::CP2Cards::SetFreeSpaceFunction([this](const std::filesystem::path&) { return freeBytes; });
    }
    void TearDown() override
    {
        vorn::setNotifyHandler(oldNotify);
        vorn::mxf::CP2Cards::SetFreeSpaceFunction(nullptr);
    }

    static vorn::mxf::Umid fixedUmid()
    {
        vorn::mxf::Umid u{};
        for (int i = 0; i < 32; ++i) u[i] = uint8_t(0xA0 + i);
        return u;
    }

    struct ClipRequest {
        std::string source = "/nonexistent/CONTENTS/VIDEO/SRC001.MXF";
        std::string name = "0001AB";
        int code = 9;
        int64_t frames = 5;
        uint32_t num = 25, den = 1;
        int channels = 2;
        bool wide = true;
        uint32_t firstSize = 0, laterSize = 0;   // AVC-Intra
        std::function<std::vector<uint8_t>(int64_t)> frame;   // default: frame size bytes of the index
        std::function<std::vector<uint8_t>(int)> audio;       // default: silence-free ramp, exact length
        std::function<void(vorn::mxf::CExportMxf&)> extras;   // run after the audio, before Close
        std::function<void(vorn::mxf::CExportMxf&)> prepare;  // run before Open
    };

    struct Result {
        int opened = 0, closed = 0;
        std::string message;
        std::unique_ptr<vorn::mxf::CExportMxf> exporter;
    };

    static uint32_t dvBytes(int code) { return uint32_t(vorn::videoFormatInfo(code)->dvFrameBytes); }

    Result exportClip(const std::filesystem::path& out, const ClipRequest& s)
    {
        using namespace vorn::mxf;
        Result r;
        r.exporter = std::make_unique<CExportMxf>(s.source, out.string());
        CExportMxf& e = *r.exporter;
        e.SetClipName(s.name);
        e.SetBaseUmid(fixedUmid());
        e.SetFormatCode(s.code);
        e.SetFrameCount(s.frames);
        e.SetRateNumerator(s.num);
        e.SetRateDenominator(s.den);
        const bool avc = isAvcIntraCode(s.code);
        e.SetFrameSize(avc ? s.firstSize : dvBytes(s.code));
        e.SetLaterFrameSize(s.laterSize);
        e.SetTimecode(1, 0, 0, 0, 90000, 25, 0);
        if (s.prepare) s.prepare(e);
        r.opened = e.Open(r.message, s.channels, s.wide);
        if (!r.opened) return r;
        e.BeginClip(s.frames, 0, s.den, s.num, s.wide, s.channels);
        for (int64_t i = 0; i < s.frames; ++i) {
            std::vector<uint8_t> f = s.frame ? s.frame(i)
                                             : std::vector<uint8_t>(avc ? (i ? s.laterSize : s.firstSize) : dvBytes(s.code),
                                                                    uint8_t(i + 1));
            e.WriteVideo(f.data(), f.size());
        }
        const uint64_t bytes = 2 * vorn::mxf::MxfEssenceWriter::audioSamplesFor(uint64_t(s.frames), s.num, s.den);
        for (int c = 0; c < s.channels; ++c) {
            std::vector<uint8_t> a;
            if (s.audio) {
                a = s.audio(c);
            } else {
                a.resize(bytes);
                for (size_t k = 0; k < a.size(); ++k) a[k] = uint8_t(k * 3 + c);
            }
            e.WriteAudio(a.data(), a.size(), c);
        }
        if (s.extras) s.extras(e);
        r.closed = e.Close();
        return r;
    }

    std::vector<std::string> messages;
    uint64_t freeBytes = 100ull * 1000 * 1000 * 1000;
    vorn::NotifyHandler oldNotify;
};

} // namespace vorn::test
