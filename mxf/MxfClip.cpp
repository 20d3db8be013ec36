#include "mxf/MxfClip.h"

#include "foundation/QelString.h"

#include <algorithm>
#include <ctime>

namespace vorn::mxf {

std::string editUnitText(uint32_t rateNumerator, uint32_t rateDenominator)
{
    return qelFormat("%u/%u", rateDenominator, rateNumerator);
}

std::string frameRateText(int code, uint32_t num, uint32_t den, bool* family3060)
{
    if (den == 0) den = 1;
    static const int kProgressive[] = {2, 4, 34, 35, 36, 37, 40, 41, 42, 43};
    bool progressive = num == 24000 || std::find(std::begin(kProgressive), std::end(kProgressive), code) != std::end(kProgressive);
    char suffix = progressive ? 'p' : 'i';
    double shown = progressive ? double(num) / den : 2.0 * num / den;
    int rounded = int(double(num) / den + 0.1);
    bool family = rounded == 30 || rounded == 60;
    if (family3060) *family3060 = family;
    if (family || den != 1) return qelFormat("%0.2f%c", shown, suffix);
    return qelFormat("%d%c", int(progressive ? num : 2 * num), suffix);
}

std::string utcDateTimeText(std::time_t when)
{
    std::tm t{};
#if defined(_WIN32)
    gmtime_s(&t, &when);
#else
    gmtime_r(&when, &t);
#endif
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S+00:00", &t);
    return text;
}

void CMxfClip::set(std::vector<std::pair<std::string, std::string>>& list, const std::string& key, const std::string& value)
{
    for (auto& [k, v] : list)
        if (k == key) {
            v = value;
            return;
        }
    list.emplace_back(key, value);
}

void CMxfClip::SetValue(const std::string& key, const std::string& value) { set(m_values, key, value); }

bool CMxfClip::HasValue(const std::string& key) const
{
    return std::any_of(m_values.begin(), m_values.end(), [&](const auto& kv) { return kv.first == key; });
}

std::string CMxfClip::GetValue(const std::string& key) const
{
    for (const auto& [k, v] : m_values)
        if (k == key) return v;
    return {};
}

void CMxfClip::RemoveValue(const std::string& key)
{
    m_values.erase(std::remove_if(m_values.begin(), m_values.end(), [&](const auto& kv) { return kv.first == key; }),
                   m_values.end());
}

void CMxfClip::SetSize(const std::string& key, const std::string& value) { set(m_sizes, key, value); }

std::string CMxfClip::GetSize(const std::string& key) const
{
    for (const auto& [k, v] : m_sizes)
        if (k == key) return v;
    return {};
}

int CMxfClip::LoadXml(const std::filesystem::path& path) { return m_doc.load(path, "P2Main"); }

int CMxfClip::SaveXml(const std::filesystem::path& path) const { return m_doc.save(path); }

void CMxfClip::BuildDocument(const XmlNode& sourceClipMetadata, int audioChannels, int formatCode, uint32_t num,
                             uint32_t den, bool dropFrame)
{
    m_doc = XmlDocument();
    XmlNode decl = XmlNode::declaration("xml");
    decl.addAttribute("version", "1.0");
    decl.addAttribute("encoding", "UTF-8");
    decl.addAttribute("standalone", "no");
    m_doc.nodes.push_back({XmlNode::ChildKind::Element, decl, {}});

    XmlNode main = decl.addChild("P2Main");
    main.addAttribute("xmlns:xsi", "http://www.w3.org/2001/XMLSchema-instance");
    main.addAttribute("xmlns", "urn:schemas-Professional-Plug-in:P2:ClipMetadata:v3.1");
    XmlNode content = main.addChild("ClipContent");
    content.addTextChild("ClipName", GetValue("ClipName"));
    content.addTextChild("GlobalClipID", GetValue("GlobalClipID"));
    content.addTextChild("Duration", GetValue("Duration"));
    content.addTextChild("EditUnit", GetValue("EditUnit"));

    XmlNode essence = content.addChild("EssenceList");
    XmlNode video = essence.addChild("Video");
    video.addAttribute("ValidAudioFlag", "false");
    video.addTextChild("VideoFormat", "MXF");
    XmlNode codec = video.addTextChild("Codec", GetValue("Codec"));
    if (HasValue("Class")) codec.addAttribute("Class", GetValue("Class"));
    bool family = false;
    frameRateText(formatCode, num, den, &family);
    XmlNode rate = video.addTextChild("FrameRate", GetValue("FrameRate"));
    if (family) rate.addAttribute("DropFrameFlag", dropFrame ? "true" : "false");
    video.addTextChild("StartTimecode", GetValue("StartTimecode"));
    for (const char* key : {"StartBinaryGroup", "Pulldown", "AspectRatio"})
        if (HasValue(key)) video.addTextChild(key, GetValue(key));
    XmlNode vindex = video.addChild("VideoIndex");
    vindex.addTextChild("StartByteOffset", "32768");
    vindex.addTextChild("DataSize", GetSize("DataSizeVideo"));

    for (int c = 0; c < audioChannels; ++c) {
        XmlNode audio = essence.addChild("Audio");
        audio.addTextChild("AudioFormat", "MXF");
        audio.addTextChild("SamplingRate", "48000");
        audio.addTextChild("BitsPerSample", "16");
        XmlNode aindex = audio.addChild("AudioIndex");
        aindex.addTextChild("StartByteOffset", "32768");
        aindex.addTextChild("DataSize", GetSize("DataSizeAudio"));
    }

    if (!sourceClipMetadata.isNull() && sourceClipMetadata.elementCount() > 0) {
        content.addCopy(sourceClipMetadata);
    } else {
        // A new clip is made now: its dates are the current time (UTC).
        const std::string now = utcDateTimeText(std::time(nullptr));
        XmlNode meta = content.addChild("ClipMetadata");
        meta.addTextChild("DataSource", "SHOOTING");
        XmlNode access = meta.addChild("Access");
        access.addTextChild("CreationDate", now);
        access.addTextChild("LastUpdateDate", now);
        XmlNode shoot = meta.addChild("Shoot");
        shoot.addTextChild("StartDate", now);
        shoot.addTextChild("EndDate", now);
        XmlNode thumb = meta.addChild("Thumbnail");
        thumb.addTextChild("FrameOffset", "0");
        thumb.addTextChild("ThumbnailFormat", "BMP");
        thumb.addTextChild("Width", "80");
        thumb.addTextChild("Height", "60");
    }
}

} // namespace vorn::mxf
