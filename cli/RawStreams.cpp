#include "RawStreams.h"

#include <cstdio>

namespace vorn::cli {

bool RawStreams::openInput(const std::string& path)
{
    if (path == "-") {
        m_in = &std::cin;
        return true;
    }
    m_inFile.open(path, std::ios::binary);
    if (!m_inFile) {
        std::fprintf(stderr, "vorn: cannot open %s\n", path.c_str());
        return false;
    }
    m_in = &m_inFile;
    return true;
}

bool RawStreams::openOutput(const std::string& path, bool discard)
{
    if (discard) {
        m_out = nullptr;
        return true;
    }
    if (path == "-") {
        m_out = &std::cout;
        return true;
    }
    m_outFile.open(path, std::ios::binary | std::ios::trunc);
    if (!m_outFile) {
        std::fprintf(stderr, "vorn: cannot create %s\n", path.c_str());
        return false;
    }
    m_out = &m_outFile;
    return true;
}

} // namespace vorn::cli
