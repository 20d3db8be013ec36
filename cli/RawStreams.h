// Input and output streams of the raw-file commands: "-" is standard input or
// output, and an output may be absent (decode to nothing).
#pragma once

#include "dv/DvFormat.h"

#include <cstdint>
#include <fstream>
#include <iostream>
#include <string>

namespace vorn::cli {

class RawStreams {
public:
    // Opens PATH ("-" = standard input); prints "vorn: cannot open PATH" and returns false on failure.
    bool openInput(const std::string& path);
    // Opens PATH for writing, truncated ("-" = standard output; none when `discard`);
    // prints "vorn: cannot create PATH" and returns false on failure.
    bool openOutput(const std::string& path, bool discard = false);

    std::istream& in() { return *m_in; }
    std::ostream* out() { return m_out; } // null when output is discarded

private:
    std::ifstream m_inFile;
    std::ofstream m_outFile;
    std::istream* m_in = &std::cin;
    std::ostream* m_out = nullptr;
};

// Planar 8-bit 4:2:2 (Y, Cb, Cr planes, rows from the top) to and from the
// packed picture, split over the codec's workers by rows. `pic` has its size
// set; `bottomUp` stores the packed rows bottom-up (the PictureBuffer rule).
void planarToPacked(const uint8_t* planes, dv::PictureBuffer& pic, bool bottomUp);
void packedToPlanar(const dv::PictureBuffer& pic, bool bottomUp, uint8_t* planes);

} // namespace vorn::cli
