// vorn codec avci-decode: decodes an H.264 byte stream (AVC-Intra) access unit by access
// unit and writes the decoder output (planar samples, 16-bit little-endian for 10-bit
// streams) frame after frame.
#include "Command.h"
#include "RawStreams.h"

#include "avci/AvcDecoder.h"
#include "avci/Nal.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <vector>

namespace {

struct Opts {
    int format = 0;
    int threads = 0;
    bool null = false;
    std::string input;
    std::string output;
};

// Largest picture the command accepts: 4096 x 2304, 4:2:2, 2 bytes a sample.
constexpr size_t kMaxFrameBytes = size_t(4096) * 2304 * 2 * 2;
// The stream is read in pieces of this size.
constexpr size_t kReadChunk = size_t(8) << 20;
constexpr size_t kMaxPendingBytes = size_t(256) << 20;

int run(const Opts& o)
{
    if (o.format < 32 || o.format > 43)
        throw vorn::cli::UsageError("--format must be an AVC-Intra format code 32..43");
    if (o.threads < 0 || o.threads > 8) throw vorn::cli::UsageError("--threads must be 1..8");
    if (!o.null && o.output.empty())
        throw vorn::cli::UsageError("an output file (or - for standard output, or --null) is required");
    vorn::cli::RawStreams io;
    if (!io.openInput(o.input) || !io.openOutput(o.output, o.null))
        return vorn::cli::kExitFailed;
    std::istream& in = io.in();
    std::ostream* out = io.out();
    vorn::avci::AvcDecoder decoder(vorn::avci::AvcDecoderSettings{o.threads});
    // Not zero-filled: only the pages a frame actually uses get touched.
    const std::unique_ptr<uint8_t[]> frame(new uint8_t[kMaxFrameBytes]);
    vorn::avci::AccessUnitSplitter splitter;
    std::vector<uint8_t> buffer;
    size_t frames = 0;
    bool eof = false;
    while (!eof) {
        // Read the stream piece by piece; decode the access units that are complete.
        const size_t have = buffer.size();
        buffer.resize(have + kReadChunk);
        in.read(reinterpret_cast<char*>(buffer.data() + have), std::streamsize(kReadChunk));
        buffer.resize(have + size_t(in.gcount()));
        eof = !in;
        // An access unit that never ends within this much data is decoded as it is.
        const bool final = eof || buffer.size() > kMaxPendingBytes;
        const auto units = splitter.split(buffer.data(), buffer.size(), final);
        size_t consumed = final ? buffer.size() : 0;
        for (const auto& [offset, size] : units) {
            if (size == 0) {
                consumed = offset;
                break;
            }
            // With --null the decoder keeps the picture: nothing is copied out.
            if (const vorn::Status s = decoder.decode(buffer.data() + offset, size, o.format,
                                                      out ? frame.get() : nullptr, out ? kMaxFrameBytes : 0);
                !s.ok()) {
                if (!vorn::avci::failureAlreadyShown(s))
                    std::fprintf(stderr, "%s: %s\n", vorn::avci::kAvcDecoderTitle, s.message().c_str());
                std::fprintf(stderr, "vorn: frame %zu of %s could not be decoded\n", frames, o.input.c_str());
                return vorn::cli::kExitFailed;
            }
            if (out) {
                const size_t bytes = decoder.lastFrame().bytes;
                out->write(reinterpret_cast<const char*>(frame.get()), std::streamsize(bytes));
                if (!*out) {
                    std::fprintf(stderr, "vorn: cannot write %s\n", o.output.c_str());
                    return vorn::cli::kExitFailed;
                }
            }
            ++frames;
        }
        buffer.erase(buffer.begin(), buffer.begin() + std::ptrdiff_t(consumed));
    }
    return io.finish(frames, "access unit", o.input);
}

vorn::cli::Registration reg{42, [](CLI::App& root, const vorn::cli::Common&) {
    CLI::App* app = vorn::cli::codecGroup(root).add_subcommand(
        "avci-decode", "Decode an AVC-Intra (H.264) byte stream to planar samples");
    auto opts = std::make_shared<Opts>();
    app->add_option("--format", opts->format, "AVC-Intra video format code (32..43)")->required();
    app->add_option("--threads", opts->threads, "Slices decoded at once (default: one per processor)");
    app->add_flag("--null", opts->null, "Decode without writing");
    app->add_option("IN", opts->input, "H.264 byte stream")->required();
    app->add_option("OUT", opts->output, "Output file, - for standard output");
    return vorn::cli::Subcommand{app, [opts]() -> int { return run(*opts); }};
}};

} // namespace
