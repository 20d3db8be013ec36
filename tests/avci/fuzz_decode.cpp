// Mutation test of the AVC-Intra decoder: thousands of damaged access units (flipped bits,
// overwritten, removed and inserted bytes, truncation, small destinations) must each end in
// success or in one failure message, never in a fault; afterwards the intact stream still
// decodes to the same samples.
#include "avci/AvcDecoder.h"

#include "foundation/Notifier.h"
#include "helpers/FieldStreamWriter.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using namespace vorn;
using namespace vorn::test;

namespace {

std::vector<std::vector<uint8_t>> seedStreams()
{
    std::vector<std::vector<uint8_t>> seeds;
    const std::filesystem::path dir = scratchDir("avci_fuzz");
    const std::string src =
        "ffmpeg -loglevel error -y -f lavfi -i testsrc2=s=96x64:r=50 -vf noise=alls=8:allf=t -frames:v 2 ";
    const char* encodes[] = {
        // 10-bit 4:2:2 MBAFF, CABAC and CAVLC; 8-bit 4:2:0 High with the loop filter.
        "-pix_fmt yuv422p10le -strict -1 -f yuv4mpegpipe - | x264 --quiet --demuxer y4m --output-csp i422 "
        "--output-depth 10 --profile high422 --keyint 1 --tff --crf 16 -o a.264 - 2>/dev/null",
        "-pix_fmt yuv422p10le -strict -1 -f yuv4mpegpipe - | x264 --quiet --demuxer y4m --output-csp i422 "
        "--output-depth 10 --profile high422 --keyint 1 --tff --no-cabac --crf 16 -o b.264 - 2>/dev/null",
        "-pix_fmt yuv420p -f yuv4mpegpipe - | x264 --quiet --demuxer y4m --profile high --keyint 1 --crf 20 "
        "--slices 3 -o c.264 - 2>/dev/null",
    };
    const char* names[] = {"a.264", "b.264", "c.264"};
    for (int i = 0; i < 3; ++i) {
        const CommandResult r = runCommand("cd " + shellQuote(dir.string()) + " && " + src + encodes[i]);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        seeds.push_back(readBytes(dir / names[i]));
    }
    // Field pairs with I_PCM and Intra 16x16 macroblocks, filtered.
    FieldStreamOptions o;
    o.widthMbs = 3;
    o.heightMbs = 4;
    o.bitDepth = 10;
    o.chromaFormat = 2;
    o.deblocking = true;
    FieldStreamWriter writer(o);
    PlanarFrame frame(48, 64, 2);
    std::mt19937 rng(3);
    for (int c = 0; c < 3; ++c)
        for (auto& s : frame.plane(c)) s = uint16_t(rng() % 1024);
    std::vector<MbPlan> plans(12);
    for (size_t i = 0; i < plans.size(); ++i) plans[i].coding = i % 2 ? MbCoding::Pcm : MbCoding::Intra16x16Dc;
    writer.addAccessUnit(frame, plans);
    seeds.push_back(writer.stream());
    return seeds;
}

void mutate(std::vector<uint8_t>& d, std::mt19937& rng)
{
    auto pick = [&](size_t n) { return n ? size_t(rng() % n) : 0; };
    const int kind = int(rng() % 7);
    if (d.empty()) return;
    switch (kind) {
    case 0: // flip a few bits
        for (int i = 1 + int(rng() % 8); i > 0; --i) d[pick(d.size())] ^= uint8_t(1u << (rng() % 8));
        break;
    case 1: { // overwrite a run with random bytes
        const size_t at = pick(d.size()), n = std::min(d.size() - at, size_t(1 + rng() % 64));
        for (size_t i = 0; i < n; ++i) d[at + i] = uint8_t(rng());
        break;
    }
    case 2: // truncate
        d.resize(pick(d.size()));
        break;
    case 3: { // remove a run
        const size_t at = pick(d.size()), n = std::min(d.size() - at, size_t(1 + rng() % 200));
        d.erase(d.begin() + std::ptrdiff_t(at), d.begin() + std::ptrdiff_t(at + n));
        break;
    }
    case 4: { // insert random bytes (sometimes a start code)
        const size_t at = pick(d.size());
        std::vector<uint8_t> ins(1 + rng() % 32);
        for (auto& b : ins) b = uint8_t(rng());
        if (rng() % 2) ins.insert(ins.begin(), {0, 0, 1});
        d.insert(d.begin() + std::ptrdiff_t(at), ins.begin(), ins.end());
        break;
    }
    case 5: { // fill a run with 0x00 or 0xFF
        const size_t at = pick(d.size()), n = std::min(d.size() - at, size_t(1 + rng() % 100));
        std::fill_n(d.begin() + std::ptrdiff_t(at), n, uint8_t(rng() % 2 ? 0xFF : 0x00));
        break;
    }
    default: { // copy a chunk over another place (plausible syntax in the wrong place)
        const size_t from = pick(d.size()), to = pick(d.size());
        const size_t n = std::min({d.size() - from, d.size() - to, size_t(1 + rng() % 300)});
        std::copy_n(d.begin() + std::ptrdiff_t(from), n, d.begin() + std::ptrdiff_t(to));
        break;
    }
    }
}

TEST(AvcDecodeFuzz, DamagedAccessUnitsNeverFault)
{
    VORN_REQUIRE_TOOL("ffmpeg");
    VORN_REQUIRE_TOOL("x264");
    // The decoder reports through its status and never shows a message itself.
    int messages = 0;
    const NotifyHandler previous = setNotifyHandler([&](const std::string&, const std::string&) { ++messages; });
    avci::AvcDecoder decoder(avci::AvcDecoderSettings{1});
    const std::vector<std::vector<uint8_t>> seeds = seedStreams();
    std::vector<uint8_t> out(96 * 64 * 2 * 2 + 64);
    std::vector<std::vector<uint8_t>> pristine;
    for (const auto& s : seeds) {
        ASSERT_FALSE(s.empty());
        ASSERT_TRUE(decoder.decode(s.data(), s.size(), 38, out.data(), out.size()).ok());
        pristine.emplace_back(out.begin(), out.begin() + std::ptrdiff_t(decoder.lastFrame().bytes));
    }
    std::mt19937 rng(12345);
    int failures = 0, successes = 0;
    for (int iter = 0; iter < 3000; ++iter) {
        const size_t which = size_t(iter) % seeds.size();
        std::vector<uint8_t> d = seeds[which];
        for (int m = 1 + int(rng() % 3); m > 0; --m) mutate(d, rng);
        // The splitter stays inside the data and keeps the units in order.
        size_t end = 0;
        for (const auto& [off, size] : avci::splitAccessUnits(d.data(), d.size())) {
            ASSERT_GE(off, end);
            ASSERT_LE(off + size, d.size());
            end = off + size;
        }
        // Mostly a fitting destination, sometimes one too small.
        const size_t capacity = rng() % 16 == 0 ? size_t(rng() % out.size()) : out.size();
        // Unused bytes after the destination's end stay untouched (guard pattern).
        std::vector<uint8_t> dst(capacity + 64, 0xA5);
        const Status status = decoder.decode(d.data(), d.size(), 38, dst.data(), capacity);
        if (status.ok()) {
            ++successes;
            EXPECT_LE(decoder.lastFrame().bytes, capacity);
        } else {
            ++failures;
            EXPECT_FALSE(status.message().empty()) << "iteration " << iter;
        }
        for (size_t i = capacity; i < dst.size(); ++i) ASSERT_EQ(dst[i], 0xA5) << "write past the destination";
        // Every so often the intact stream must still decode to the same samples.
        if (iter % 500 == 499) {
            const auto& s = seeds[which];
            ASSERT_TRUE(decoder.decode(s.data(), s.size(), 38, out.data(), out.size()).ok());
            ASSERT_TRUE(std::equal(pristine[which].begin(), pristine[which].end(), out.begin()));
        }
    }
    EXPECT_GT(failures, 100);
    EXPECT_GT(successes, 10);
    EXPECT_EQ(messages, 0);
    setNotifyHandler(previous);
}

} // namespace
