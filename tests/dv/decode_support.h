// Shared pieces of the DV decoder tests: FFmpeg-made DIF frames and picture helpers.
#pragma once

#include "support/TestSupport.h"
#include "dv/DvFormat.h"

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace vorn::dv::test {

struct OracleFormat {
    VideoFormat code;
    int width;
    int height;
    const char* pixFmt;  // FFmpeg's pixel format of the source and of its decode
    const char* rate;    // frame rate of the DV stream
    const char* srcRate; // field rate of the moving source that is woven into frames
    int top;             // field order flag for the encoder
};

inline const std::vector<OracleFormat>& oracleFormats()
{
    static const std::vector<OracleFormat> formats = {
        {10, 720, 480, "yuv411p", "30000/1001", "60000/1001", 0},
        {5, 720, 480, "yuv411p", "30000/1001", "60000/1001", 0},
        {9, 720, 576, "yuv411p", "25", "50", 0},
        {6, 720, 576, "yuv420p", "25", "50", 0},
        {8, 720, 480, "yuv422p", "30000/1001", "60000/1001", 0},
        {7, 720, 576, "yuv422p", "25", "50", 0},
        {1, 1280, 1080, "yuv422p", "30000/1001", "60000/1001", 1},
        {3, 1440, 1080, "yuv422p", "25", "50", 1},
        {2, 960, 720, "yuv422p", "60000/1001", "60000/1001", 1},
        {4, 960, 720, "yuv422p", "50", "50", 1},
    };
    return formats;
}

struct OracleClip {
    std::vector<uint8_t> dif;    // concatenated DIF frames
    std::vector<uint8_t> ffmpeg; // FFmpeg's decode, planar in the format's pixel format
    int frames = 0;
};

// Encodes `frames` frames of a moving, noisy test pattern with FFmpeg's DV
// encoder (with interlaced DCT decisions) and decodes them back with FFmpeg.
inline OracleClip makeOracleClip(const OracleFormat& f, int frames, const std::string& dirName)
{
    namespace fs = std::filesystem;
    const fs::path dir = vorn::test::scratchDir(dirName);
    const std::string size = std::to_string(f.width) + "x" + std::to_string(f.height);
    const std::string src = (dir / "src.yuv").string(), dif = (dir / "out.dif").string(),
                      dec = (dir / "dec.yuv").string();
    const std::string scan = f.top ? "tff" : "bff";
    auto run = [](const std::string& cmd) {
        auto r = vorn::test::runCommand(cmd);
        EXPECT_EQ(r.exitCode, 0) << cmd << "\n" << r.err;
    };
    run("ffmpeg -v error -y -f lavfi -i testsrc2=s=" + size + ":r=" + f.srcRate +
        " -vf interlace=scan=" + scan + ":lowpass=off,noise=alls=6:allf=t -frames:v " + std::to_string(frames) +
        " -pix_fmt " + f.pixFmt + " -f rawvideo " + vorn::test::shellQuote(src));
    run("ffmpeg -v error -y -f rawvideo -pix_fmt " + std::string(f.pixFmt) + " -s " + size + " -r " + f.rate +
        " -i " + vorn::test::shellQuote(src) + " -top " + std::to_string(f.top) +
        " -flags +ildct -c:v dvvideo -f rawvideo " + vorn::test::shellQuote(dif));
    run("ffmpeg -v error -y -f dv -i " + vorn::test::shellQuote(dif) + " -f rawvideo -pix_fmt " + f.pixFmt + " " +
        vorn::test::shellQuote(dec));
    OracleClip clip;
    clip.dif = vorn::test::readBytes(dif);
    clip.ffmpeg = vorn::test::readBytes(dec);
    clip.frames = frames;
    return clip;
}

// Chroma plane geometry of FFmpeg's pixel formats.
inline void chromaSize(const OracleFormat& f, int& cw, int& ch)
{
    const std::string p = f.pixFmt;
    cw = p == "yuv411p" ? f.width / 4 : f.width / 2;
    ch = p == "yuv420p" ? f.height / 2 : f.height;
}

inline double psnr(double sse, double samples)
{
    if (sse <= 0.0)
        return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 * samples / sse);
}

// PSNR of Y, Cb and Cr of a top-down PictureBuffer against one FFmpeg frame;
// FFmpeg's chroma samples are repeated to the picture's 4:2:2 grid.
inline void comparePlanes(const PictureBuffer& pic, const OracleFormat& f, const uint8_t* ff, double out[3])
{
    int cw = 0, ch = 0;
    chromaSize(f, cw, ch);
    const uint8_t* fy = ff;
    const uint8_t* fcb = ff + static_cast<size_t>(f.width) * f.height;
    const uint8_t* fcr = fcb + static_cast<size_t>(cw) * ch;
    double sse[3] = {0, 0, 0};
    for (int y = 0; y < f.height; ++y) {
        const uint8_t* row = pic.memoryRow(y);
        const int cy = ch == f.height ? y : y / 2;
        for (int x = 0; x < f.width; ++x) {
            double d = double(row[2 * x]) - fy[static_cast<size_t>(y) * f.width + x];
            sse[0] += d * d;
        }
        for (int px = 0; px < f.width / 2; ++px) {
            const int cx = cw == f.width / 2 ? px : px / 2;
            double db = double(row[4 * px + 1]) - fcb[static_cast<size_t>(cy) * cw + cx];
            double dr = double(row[4 * px + 3]) - fcr[static_cast<size_t>(cy) * cw + cx];
            sse[1] += db * db;
            sse[2] += dr * dr;
        }
    }
    out[0] = psnr(sse[0], double(f.width) * f.height);
    out[1] = psnr(sse[1], double(f.width / 2) * f.height);
    out[2] = psnr(sse[2], double(f.width / 2) * f.height);
}

inline size_t ffmpegFrameBytes(const OracleFormat& f)
{
    int cw = 0, ch = 0;
    chromaSize(f, cw, ch);
    return static_cast<size_t>(f.width) * f.height + 2 * static_cast<size_t>(cw) * ch;
}

} // namespace vorn::dv::test
