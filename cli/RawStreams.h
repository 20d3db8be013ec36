// Input and output streams of the raw-file commands: "-" is standard input or
// output, and an output may be absent (decode to nothing).
#pragma once

#include "dv/DvFormat.h"
#include "foundation/WorkerPool.h"

#include <cstdint>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

namespace vorn::mxf {
class TempOutputFile;
}

namespace vorn::cli {

class RawStreams {
public:
    RawStreams();
    ~RawStreams(); // removes an output file that was never finished
    RawStreams(const RawStreams&) = delete;
    RawStreams& operator=(const RawStreams&) = delete;

    // Opens PATH ("-" = standard input); prints "vorn: cannot open PATH" and returns false on failure.
    bool openInput(const std::string& path);
    // Opens PATH for writing ("-" = standard output; none when `discard`).
    // A file is written under a temporary name beside PATH, created
    // exclusively, and takes PATH's place in finishOutput(): an existing file
    // or symlink at PATH is never written through, and a failed run leaves it
    // as it was. A device or pipe at PATH (/dev/null, a FIFO) is written
    // directly. Prints "vorn: cannot create PATH" and returns false on failure.
    bool openOutput(const std::string& path, bool discard = false);
    // Flushes the output and moves a file output into place; prints what went
    // wrong and returns false when a write, the close or the rename failed.
    bool finishOutput();
    // The end of a raw-file command: no unit read is a failure ("vorn: no
    // WHAT in INPUT"), otherwise the output is finished. Returns the exit status.
    int finish(long units, const char* what, const std::string& input);

    // Reads the next `size` bytes of the input into `data`; false at its end.
    // A short last piece is reported ("vorn: last WHAT is short (N of M
    // bytes); ignored") and dropped.
    bool readWhole(void* data, size_t size, const char* what);

    std::istream& in() { return *m_in; }
    std::ostream* out() { return m_out; } // null when output is discarded

private:
    std::ifstream m_inFile;
    std::ofstream m_outFile;
    std::unique_ptr<mxf::TempOutputFile> m_temp;
    std::string m_outPath;
    std::istream* m_in = &std::cin;
    std::ostream* m_out = nullptr;
};

// Planar 8-bit 4:2:2 (Y, Cb, Cr planes, rows from the top) to and from the
// packed picture, split by rows over `workers` participants on `pool`. `pic`
// has its size set; `bottomUp` stores the packed rows bottom-up (the
// PictureBuffer rule).
void planarToPacked(const uint8_t* planes, dv::PictureBuffer& pic, bool bottomUp, WorkerPool& pool, int workers);
void packedToPlanar(const dv::PictureBuffer& pic, bool bottomUp, uint8_t* planes, WorkerPool& pool, int workers);
// Transitional: the same on the default pool with its worker count.
void planarToPacked(const uint8_t* planes, dv::PictureBuffer& pic, bool bottomUp);
void packedToPlanar(const dv::PictureBuffer& pic, bool bottomUp, uint8_t* planes);

} // namespace vorn::cli
