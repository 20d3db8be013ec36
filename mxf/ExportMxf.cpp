#include "mxf/ExportMxf.h"

#include "dv/DvSystemData.h"
#include "foundation/Log.h"
#include "foundation/Notifier.h"
#include "foundation/Options.h"
#include "foundation/QelString.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <system_error>

namespace fs = std::filesystem;

namespace vorn::mxf {

namespace {
constexpr const char* kTitle = "Quintell";

std::mutex g_thumbMutex;
CExportMxf::ThumbnailWriter g_thumbnailWriter;

std::string lower(std::string s)
{
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Reads four numbers separated by single characters ("01:00:00:00", "01:00:00;00").
bool parseTimecodeText(const std::string& text, int out[4])
{
    size_t p = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (p >= text.size()) return false;
            ++p;   // any single separator
        }
        size_t start = p;
        long v = 0;
        while (p < text.size() && std::isdigit(static_cast<unsigned char>(text[p])) && p - start < 6)
            v = v * 10 + (text[p++] - '0');
        if (p == start) return false;
        out[i] = int(v);
    }
    return true;
}
} // namespace

CExportMxf::CExportMxf(const std::string& sourcePath, const std::string& outputFolder)
    : m_sourcePath(sourcePath), m_outputFolder(outputFolder)
{
    m_clipName = fs::path(sourcePath).stem().string();
}

CExportMxf::~CExportMxf() = default;

void CExportMxf::SetThumbnailWriter(ThumbnailWriter writer)
{
    std::lock_guard<std::mutex> lock(g_thumbMutex);
    g_thumbnailWriter = std::move(writer);
}

void CExportMxf::SetFrameCount(int64_t count)
{
    CExportBase::SetFrameCount(count);
    m_cards.SetNeed(m_formatCode, m_frameCount);
}

void CExportMxf::SetFormatCode(int code)
{
    CExportBase::SetFormatCode(code);
    m_cards.SetNeed(m_formatCode, m_frameCount);
}

void CExportMxf::SetMetadata(const std::string& key, const std::string& value) { m_metadata.SetValue(key, value); }

fs::path CExportMxf::audioPath(int channel) const
{
    return m_audioDir / (m_name + qelFormat("%02d", channel) + ".MXF");
}

fs::path CExportMxf::SourceClipXmlPath() const
{
    fs::path clipDir = m_sourcePath.parent_path().parent_path() / "CLIP";
    std::string want = lower(m_sourcePath.stem().string() + ".xml");
    std::error_code ec;
    if (fs::is_directory(clipDir, ec)) {
        for (fs::directory_iterator it(clipDir, ec), end; !ec && it != end; it.increment(ec))
            if (lower(it->path().filename().string()) == want) return it->path();
    }
    return clipDir / (m_sourcePath.stem().string() + ".xml");
}

bool CExportMxf::refuseSourceOverwrite(const std::vector<fs::path>& outputs)
{
    // Every file of the source clip: the source file and the files of the same
    // name in its folder and in the clip's sibling folders.
    std::vector<fs::path> sources{m_sourcePath};
    const std::string stem = lower(m_sourcePath.stem().string());
    const fs::path folder = m_sourcePath.parent_path();
    std::vector<fs::path> folders{folder.empty() ? fs::path(".") : folder};
    for (const char* sub : {"VIDEO", "AUDIO", "CLIP", "ICON", "VOICE", "PROXY"})
        folders.push_back(folder.parent_path() / sub);
    std::error_code ec;
    for (const auto& dir : folders) {
        if (!fs::is_directory(dir, ec)) continue;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            std::string name = lower(it->path().filename().string());
            if (!stem.empty() && name.compare(0, stem.size(), stem) == 0) sources.push_back(it->path());
        }
    }
    for (const auto& out : outputs) {
        if (!fs::exists(out, ec)) continue;
        for (const auto& src : sources) {
            std::error_code e2;
            if (fs::equivalent(out, src, e2)) {
                vorn::notify(kTitle, qelFormat("Output file %s is a file of the source clip %s; the clip is not written",
                                               out.string().c_str(), m_sourcePath.string().c_str()));
                return true;
            }
        }
    }
    return false;
}

bool CExportMxf::createFile(std::fstream& file, const fs::path& path)
{
    if (file.is_open()) file.close();
    file.clear();
    // Created empty: bytes of an earlier file of the same name must not survive.
    file.open(path, std::ios::in | std::ios::out | std::ios::binary | std::ios::trunc);
    if (!file.is_open()) {
        vorn::notify(kTitle, qelFormat("Could not open %s file for writing", path.string().c_str()));
        return false;
    }
    return true;
}

int CExportMxf::Open(std::string& message, int audioChannels, bool wide)
{
    m_errorKind = kErrorNone;
    if (m_formatCode <= 0) return 0;
    m_audioChannels = std::clamp(audioChannels, 0, 8);
    m_wide = wide;

    m_cards.Locate(m_outputFolder);
    m_cards.SetNeed(m_formatCode, m_frameCount);
    const int64_t need = m_cards.needMB();
    if (need > m_cards.availableMB()) {
        message = qelFormat("Insufficient room on disk, need %dMB, %dMB available", int(need), int(m_cards.availableMB()));
        m_errorKind = kErrorDiskTooSmall;
        return 0;
    }
    const int64_t cardMB = int64_t(vorn::theOptions().getCardSize()) * 1000;
    if (cardMB > 0) {
        if (need > cardMB) {
            message = qelFormat("Insufficient card size, need %dMB, max = %dMB", int(need), int(cardMB));
            m_errorKind = kErrorCardTooSmall;
            return 0;
        }
        if (m_cards.usedMB() + need > cardMB) m_cards.NextCard();
    }

    m_umid[13] = uint8_t(m_umid[13] + 1);

    m_name = fs::path(m_clipName).stem().string();
    if (m_name.empty()) {
        vorn::notify(kTitle, "unable to generate unique name for clip. Please contact Kestro support");
        return 0;
    }
    m_contents = m_cards.cardPath() / "CONTENTS";
    m_videoDir = m_contents / "VIDEO";
    m_audioDir = m_contents / "AUDIO";
    m_clipDir = m_contents / "CLIP";
    m_iconDir = m_contents / "ICON";
    m_voiceDir = m_contents / "VOICE";
    m_proxyDir = m_contents / "PROXY";
    m_videoPath = m_videoDir / (m_name + ".MXF");
    m_xmlPath = m_clipDir / (m_name + ".XML");
    m_iconPath = m_iconDir / (m_name + ".BMP");

    std::vector<fs::path> outputs{m_videoPath, m_xmlPath, m_iconPath, m_cards.cardPath() / "LASTCLIP.TXT"};
    for (int c = 0; c < m_audioChannels; ++c) outputs.push_back(audioPath(c));
    if (refuseSourceOverwrite(outputs)) return 0;

    std::error_code ec;
    for (const auto& dir : {m_videoDir, m_audioDir, m_clipDir, m_iconDir, m_voiceDir, m_proxyDir}) {
        fs::create_directories(dir, ec);
        if (ec || !fs::is_directory(dir)) {
            vorn::notify(kTitle, "Problem creating MXF folders");
            return 0;
        }
    }

    if (!createFile(m_videoFile, m_videoPath)) return 0;
    int result = UpdateClipXml(SourceClipXmlPath(), m_xmlPath, m_name, m_frameCount, m_pulldown, m_audioChannels, wide);
    if (!result) return 0;
    for (int c = 0; c < m_audioChannels; ++c)
        if (!createFile(m_audioFiles[c], audioPath(c))) return 0;
    return result;
}

void CExportMxf::SetTimecode(int hours, int minutes, int seconds, int frames, int64_t start, int base, int drop)
{
    CExportBase::SetTimecode(hours, minutes, seconds, frames, start, base, drop);
    if (hours < 0) {
        if (base <= 0 || start < 0) return;
        frames = int(start % base);
        seconds = int(start / base % 60);
        minutes = int(start / base / 60 % 60);
        hours = int(start / base / 3600 % 24);
    }
    m_videoWriter.SetRunningTimecode(dv::MakeTimecode(hours, minutes, seconds, frames, drop != 0));
}

void CExportMxf::ConvertStartTimecode(int64_t S, int b, int d)
{
    if (b <= 0 || S < 0) return;
    int r = int(m_rateNumerator);
    if (r > 1000) r /= 1000;
    if (r == 60) r = 30;
    if (r == 50) r = 25;
    if (r <= 0) return;
    auto split = [](int64_t frames, int base, int& h, int& m, int& s) {
        h = int((frames / base) / 3600 % 24);
        m = int((frames / base / 60) % 60);
        s = int((frames / base) % 60);
    };
    int h, m, s, frames;
    split(S, b, h, m, s);
    frames = int(S % b);
    if (b == r) {
        m_timecodeStart = S;
        m_timecodeBase = r;
        m_timecodeDrop = d;
    } else if (d && (r == 24 || r == 25)) {
        int64_t S2 = (S * 1001 + 1000) / 1000;
        split(S2, b, h, m, s);
        frames = int((S2 % b) * r / b);
        m_timecodeStart = S2 * r / b;
        m_timecodeBase = r;
        m_timecodeDrop = 0;
        m_timecodeText = qelFormat("%02d:%02d:%02d:%02d", h, m, s, frames);
    } else {
        frames = int(int64_t(frames) * r / b);
        m_timecodeStart = S * r / b;
        m_timecodeBase = r;
        m_timecodeDrop = d;
        m_timecodeText = qelFormat("%02d:%02d:%02d:%02d", h, m, s, frames);
    }
    m_videoWriter.SetRunningTimecode(dv::MakeTimecode(h, m, s, frames, m_timecodeDrop != 0));
}

int CExportMxf::UpdateClipXml(const fs::path& sourceXml, const fs::path& outputXml, const std::string& clipName,
                              int64_t frameCount, const std::string& pulldown, int audioChannels, bool wide)
{
    CMxfClip source;
    bool haveSource = false;
    std::error_code ec;
    if (!sourceXml.empty() && fs::is_regular_file(sourceXml, ec)) {
        int rc = source.LoadXml(sourceXml);
        if (rc == kXmlOk) {
            haveSource = true;
        } else if (rc != kXmlCannotRead) {
            logf(LOG_ERROR, "CExportMxf::UpdateClipXml", "%s: error %d", sourceXml.string().c_str(), rc);
            vorn::notify(kTitle, qelFormat("Clip metadata %s is not a readable P2 clip file", sourceXml.string().c_str()));
            return 0;
        }
    }
    XmlNode content = source.document().topElement().child("ClipContent");
    XmlNode sourceVideo = content.child("EssenceList").child("Video");

    m_clip = CMxfClip();
    const int code = m_formatCode;
    const uint32_t num = m_rateNumerator, den = m_rateDenominator ? m_rateDenominator : 1;
    const OutputFormat* fmt = outputFormat(code);
    const uint64_t frames = frameCount > 0 ? uint64_t(frameCount) : 0;

    m_clip.SetValue("ClipName", clipName);
    m_clip.SetValue("Duration", qelFormat("%d", int(frameCount)));
    m_clip.SetValue("EditUnit", editUnitText(num, den));
    m_clip.SetValue("Codec", fmt ? fmt->codecName : "");
    if (isAvcIntraCode(code)) m_clip.SetValue("Class", code <= 37 ? "50" : "100");
    m_clip.SetValue("FrameRate", frameRateText(code, num, den));
    m_clip.SetValue("DropFrameFlag", "false");
    if (pulldown == "unchanged") {
        XmlNode p = sourceVideo.child("Pulldown");
        if (!p.isNull()) m_clip.SetValue("Pulldown", p.text());
    } else if (!pulldown.empty()) {
        m_clip.SetValue("Pulldown", pulldown);
    }
    m_clip.SetValue("AspectRatio", wide ? "16:9" : "4:3");
    m_clip.SetValue("StartBinaryGroup", qelFormat("%08X", m_binaryGroup));

    std::string startText = m_timecodeText;
    XmlNode stc = sourceVideo.child("StartTimecode");
    int tc[4];
    if (haveSource && !stc.isNull() && parseTimecodeText(stc.text(), tc)) {
        const int b = m_sourceTimecodeBase > 0 ? m_sourceTimecodeBase : m_timecodeBase;
        m_timecodeText = stc.text().substr(0, 31);
        ConvertStartTimecode(((int64_t(tc[0]) * 60 + tc[1]) * 60 + tc[2]) * b + tc[3], b, m_sourceDrop);
        if (!m_timecodeText.empty()) startText = m_timecodeText;
    }
    m_clip.SetValue("StartTimecode", startText);

    uint64_t videoBytes;
    if (isAvcIntraCode(code))
        videoBytes = frames <= 1 ? uint64_t(m_frameSize) * frames : m_frameSize + uint64_t(m_laterFrameSize) * (frames - 1);
    else
        videoBytes = uint64_t(fmt ? fmt->dvFrameBytes : m_frameSize) * frames;
    m_clip.SetSize("DataSizeVideo", qelFormat("%llu", (unsigned long long)videoBytes));
    m_clip.SetSize("DataSizeAudio",
                   qelFormat("%llu", (unsigned long long)(2 * MxfEssenceWriter::audioSamplesFor(frames, num, den))));
    m_clip.SetValue("GlobalClipID", umidToHex(m_umid));

    m_clip.BuildDocument(content.child("ClipMetadata"), audioChannels, code, num, den, m_timecodeDrop != 0);
    if (m_clip.SaveXml(outputXml) != kXmlOk) {
        vorn::notify(kTitle, qelFormat("Could not open %s file for writing", outputXml.string().c_str()));
        return 0;
    }
    return 1;
}

MxfHeaderParams CExportMxf::headerParams() const
{
    MxfHeaderParams p;
    const int F = m_formatCode;
    const OutputFormat* fmt = outputFormat(F);
    const int lines = m_pictureLines > 0 ? m_pictureLines : (fmt ? fmt->lines : 0);
    const bool full = F == 2 || F == 4 || (F >= 34 && F <= 37) || (F >= 40 && F <= 43);
    p.frameSize = m_frameSize ? m_frameSize : (fmt && !isAvcIntraCode(F) ? fmt->dvFrameBytes : 0);
    p.laterFrameSize = m_laterFrameSize;
    p.storedHeight = uint32_t(full ? lines : lines / 2);
    p.frameLayout = (F == 2 || F == 4) ? 0 : 1;
    p.componentDepth = (F >= 5 && F <= 10) ? 8 : 10;
    p.horizontalSubsampling = (F == 5 || F == 9 || F == 10) ? 4 : 2;
    p.verticalSubsampling = F == 6 ? 2 : 1;
    p.formatCode = F;
    p.aspectNumerator = m_wide ? 16 : 4;
    p.aspectDenominator = m_wide ? 9 : 3;
    p.clipName = m_name;
    p.frameCount = m_frameCount > 0 ? uint64_t(m_frameCount) : 0;
    p.rateNumerator = m_rateNumerator;
    p.rateDenominator = m_rateDenominator ? m_rateDenominator : 1;
    p.baseUmid = m_umid;
    p.audioChannels = m_audioChannels;
    return p;
}

int CExportMxf::BeginClip(int64_t frames, int64_t /*reserved*/, uint32_t rateDenominator, uint32_t rateNumerator,
                          bool wide, int audioChannels)
{
    if (!m_videoFile.is_open()) return 0;
    m_frameCount = frames;
    m_rateNumerator = rateNumerator;
    m_rateDenominator = rateDenominator;
    m_wide = wide;
    m_audioChannels = std::min(m_audioChannels, std::clamp(audioChannels, 0, 8));
    MxfHeaderParams p = headerParams();
    if (m_frameSize == 0) m_frameSize = p.frameSize;
    const int32_t start = int32_t(m_timecodeStart);
    m_videoWriter.SetTimecode(start, m_timecodeBase, m_timecodeDrop);
    m_videoWriter.WriteHeader(m_videoFile, p);
    for (int c = 0; c < m_audioChannels; ++c) {
        if (!m_audioFiles[c].is_open()) break;
        p.audioChannel = c;
        m_audioWriters[c].SetTimecode(start, m_timecodeBase, m_timecodeDrop);
        m_audioWriters[c].WriteHeader(m_audioFiles[c], p);
    }
    return 1;
}

int CExportMxf::WriteVideo(uint8_t* buffer, size_t size)
{
    if (!m_videoFile.is_open() || !buffer) return 0;
    m_videoWriter.WriteFrame(buffer, size);
    return 1;
}

int CExportMxf::WriteAudio(const uint8_t* buffer, size_t size, int channel)
{
    if (channel < 0 || channel >= 8 || !m_audioFiles[channel].is_open() || !buffer) return 0;
    // Audio data is only written, never changed.
    m_audioWriters[channel].WriteFrame(const_cast<uint8_t*>(buffer), size);
    return 1;
}

int CExportMxf::Close()
{
    int ok = 1;
    for (int c = 0; c < 8 && m_audioFiles[c].is_open(); ++c) m_audioWriters[c].PadAudio();
    const uint64_t frames = m_frameCount > 0 ? uint64_t(m_frameCount) : 0;
    const uint32_t den = m_rateDenominator ? m_rateDenominator : 1;
    auto finish = [&](std::fstream& file, MxfEssenceWriter& writer, const fs::path& path) {
        writer.WriteFooter(m_frameSize, m_laterFrameSize, frames, m_rateNumerator, den, m_formatCode);
        file.close();
        if (writer.writeFailed() || file.fail()) {
            vorn::notify(kTitle, qelFormat("Could not write %s", path.string().c_str()));
            ok = 0;
        }
    };
    if (m_videoFile.is_open()) finish(m_videoFile, m_videoWriter, m_videoPath);
    for (int c = 0; c < 8 && m_audioFiles[c].is_open(); ++c) {
        m_audioWriters[c].PadAudio();
        finish(m_audioFiles[c], m_audioWriters[c], audioPath(c));
    }
    if (m_videoPath.empty()) return 0;

    const fs::path lastClip = m_videoPath.parent_path().parent_path().parent_path() / "LASTCLIP.TXT";
    std::error_code ec;
    if (fs::exists(lastClip, ec))
        fs::permissions(lastClip, fs::perms::owner_write, fs::perm_options::add, ec);
    std::ofstream out(lastClip, std::ios::binary | std::ios::trunc);
    if (!out) return 0;
    out << m_name << "\n1.0\n" << (m_lastClip + 1) << "\n";
    out.close();
    if (out.fail()) return 0;
    return ok;
}

int CExportMxf::CopyIcon(const std::string& sourcePath)
{
    if (m_iconPath.empty()) return 0;
    std::error_code ec;
    if (fs::equivalent(sourcePath, m_iconPath, ec)) return 0;
    fs::copy_file(sourcePath, m_iconPath, fs::copy_options::overwrite_existing, ec);
    return ec ? 0 : 1;
}

int CExportMxf::CopyVoice(const std::string& sourcePath, const std::string& extension)
{
    if (m_voiceDir.empty()) return 0;
    std::string ext = extension;
    if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
    m_voicePath = m_voiceDir / (m_name + "." + ext);
    std::error_code ec;
    if (fs::equivalent(sourcePath, m_voicePath, ec)) return 0;
    fs::copy_file(sourcePath, m_voicePath, fs::copy_options::overwrite_existing, ec);
    return ec ? 0 : 1;
}

int CExportMxf::WriteThumbnail(const uint8_t* frame, size_t size, int formatCode, int flag)
{
    ThumbnailWriter writer;
    {
        std::lock_guard<std::mutex> lock(g_thumbMutex);
        writer = g_thumbnailWriter;
    }
    if (!writer || m_iconPath.empty()) return 0;
    return writer(frame, size, formatCode, flag, m_iconPath) ? 1 : 0;
}

} // namespace vorn::mxf
