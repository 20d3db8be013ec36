#include "SampleCardTools.h"

#include "engine/SampleCard.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <cmath>
#include <fcntl.h>
#include <sstream>
#include <sys/file.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace vorn::test {

fs::path sharedSampleCard()
{
    // Keyed by the program's build time, so a rebuilt generator makes a new card.
    std::error_code ec;
    const auto stamp = fs::last_write_time(vornPath(), ec).time_since_epoch().count();
    const fs::path base = fs::path(VORN_TEST_TMP) / "shared";
    const fs::path card = base / ("sample-card-" + std::to_string(stamp));
    fs::create_directories(base, ec);
    if (fs::exists(card / "READY", ec))
        return card;

    const int lock = ::open((base / "sample-card.lock").c_str(), O_RDWR | O_CREAT, 0644);
    if (lock >= 0)
        ::flock(lock, LOCK_EX);
    if (!fs::exists(card / "READY", ec)) {
        fs::remove_all(card, ec);
        const auto r = runVorn("sample --seconds 1 " + shellQuote(card.string()));
        if (r.exitCode == 0)
            writeText(card / "READY", "");
        else
            ADD_FAILURE() << "vorn sample failed: " << r.err;
    }
    if (lock >= 0) {
        ::flock(lock, LOCK_UN);
        ::close(lock);
    }
    return card;
}

void copyTree(const fs::path& from, const fs::path& to)
{
    fs::create_directories(to);
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

std::string treeDigest(const fs::path& root)
{
    std::vector<std::string> lines;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        const std::string rel = fs::relative(e.path(), root).string();
        if (e.is_directory()) {
            lines.push_back(rel + "/");
            continue;
        }
        // FNV-1a 64 of the content.
        uint64_t h = 1469598103934665603ull;
        for (uint8_t b : readBytes(e.path()))
            h = (h ^ b) * 1099511628211ull;
        std::ostringstream line;
        line << rel << " " << e.file_size() << " " << std::hex << h << " " << std::oct
             << (unsigned(e.status().permissions()) & 0777);
        lines.push_back(line.str());
    }
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const auto& l : lines)
        out += l + "\n";
    return out;
}

std::map<std::string, std::string> probeStream(const fs::path& file, const std::string& stream,
                                               const std::string& entries, bool countFrames)
{
    const auto r = runCommand(std::string("ffprobe -v error ") + (countFrames ? "-count_frames " : "") +
                              "-select_streams " + stream + " -show_entries stream=" + entries +
                              " -of default=nw=1 " + shellQuote(file.string()));
    std::map<std::string, std::string> kv;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos && !kv.count(line.substr(0, eq)))
            kv[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return kv;
}

std::string mediaInfoField(const fs::path& file, const std::string& trackType, const std::string& field)
{
    auto r = runCommand("mediainfo " + shellQuote("--Output=" + trackType + ";%" + field + "%\\n") + " " +
                        shellQuote(file.string()));
    std::string out = r.out;
    const size_t nl = out.find('\n');
    if (nl != std::string::npos)
        out.erase(nl);
    return out;
}

std::vector<int16_t> decodePcm(const fs::path& audio)
{
    const auto r = runCommand("ffmpeg -v quiet -i " + shellQuote(audio.string()) + " -f s16le -acodec pcm_s16le -");
    std::vector<int16_t> samples(r.out.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = int16_t(uint8_t(r.out[2 * i]) | (uint8_t(r.out[2 * i + 1]) << 8));
    return samples;
}

double toneFrequency(const std::vector<int16_t>& samples)
{
    if (samples.size() < 2)
        return 0.0;
    int crossings = 0;
    for (size_t i = 1; i < samples.size(); ++i)
        if ((samples[i - 1] < 0) != (samples[i] < 0))
            ++crossings;
    return crossings / 2.0 / (double(samples.size()) / 48000.0);
}

LumaFrames decodeLuma(const fs::path& video)
{
    LumaFrames result;
    auto size = probeStream(video, "v:0", "width,height");
    result.width = std::atoi(size["width"].c_str());
    result.height = std::atoi(size["height"].c_str());
    if (result.width <= 0 || result.height <= 0)
        return result;
    const fs::path raw = fs::path(VORN_TEST_TMP) / ("luma-" + std::to_string(::getpid()) + ".gray");
    const auto r = runCommand("ffmpeg -v error -y -i " + shellQuote(video.string()) +
                              " -map 0:v:0 -f rawvideo -pix_fmt gray " + shellQuote(raw.string()));
    const auto bytes = readBytes(raw);
    fs::remove(raw);
    const size_t plane = size_t(result.width) * size_t(result.height);
    for (size_t at = 0; r.exitCode == 0 && at + plane <= bytes.size(); at += plane)
        result.frames.emplace_back(bytes.begin() + std::ptrdiff_t(at), bytes.begin() + std::ptrdiff_t(at + plane));
    return result;
}

int readCounter(const std::vector<uint8_t>& luma, int width, int height, int parity)
{
    static constexpr uint8_t kSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};
    // Where each segment a..g is looked at, as fractions of the digit's box.
    static constexpr double kAt[7][2] = {{0.5, 0.09}, {0.9, 0.25}, {0.9, 0.75}, {0.5, 0.91},
                                         {0.1, 0.75}, {0.1, 0.25}, {0.5, 0.5}};
    const SampleCounterLayout l = sampleCounterLayout();
    auto lit = [&](double fx, double fy) {
        const int x = int(fx * width);
        int y = int(fy * height);
        if (parity >= 0 && (y & 1) != parity)
            ++y;
        int sum = 0, n = 0;
        const int step = parity >= 0 ? 2 : 1;
        for (int dy = -2 * step; dy <= 2 * step; dy += step)
            for (int dx = -1; dx <= 1; ++dx) {
                const int yy = y + dy, xx = x + dx;
                if (yy < 0 || yy >= height || xx < 0 || xx >= width)
                    continue;
                sum += luma[size_t(yy) * size_t(width) + size_t(xx)];
                ++n;
            }
        return n > 0 && sum / n > 128;
    };
    int value = 0;
    for (int d = 0; d < l.digits; ++d) {
        uint8_t segs = 0;
        for (int s = 0; s < 7; ++s)
            if (lit(l.left + l.pitch * d + kAt[s][0] * l.digitWidth, l.top + kAt[s][1] * l.digitHeight))
                segs |= uint8_t(1 << s);
        const auto* found = std::find(std::begin(kSegments), std::end(kSegments), segs);
        if (found == std::end(kSegments))
            return -1;
        value = value * 10 + int(found - kSegments);
    }
    return value;
}

} // namespace vorn::test
