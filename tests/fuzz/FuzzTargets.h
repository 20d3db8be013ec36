// Fuzz targets: entry points that take one arbitrary input, run it through a
// reader or decoder the way the program does, and check what must hold for
// every input. A violated check aborts (as a sanitizer finding does), so the
// same entry points serve libFuzzer (LibFuzzerMain.cpp) and the regression
// test that replays seeds and recorded crash inputs (regression_test.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::fuzz {

using Bytes = std::vector<uint8_t>;

struct FuzzTarget {
    const char* name;
    const char* summary;
    void (*run)(const uint8_t* data, size_t size);
    // Seed inputs built from the test fixtures.
    std::vector<Bytes> (*seeds)();
};

// Every target, in a fixed order.
std::span<const FuzzTarget> fuzzTargets();
// The target of that name, or nullptr.
const FuzzTarget* findFuzzTarget(std::string_view name);

// Quietens what the targets would otherwise print for every damaged input
// (message boxes, the diagnostic log) and builds the codec tables with one
// worker. Call once before running inputs.
void prepareFuzzing();

// Prints the failed condition and aborts.
[[noreturn]] void checkFailed(const char* file, int line, const char* condition);
#define FUZZ_CHECK(cond) ((cond) ? void(0) : ::vorn::fuzz::checkFailed(__FILE__, __LINE__, #cond))

// Inputs of several files are their parts joined by kPartSeparator.
inline constexpr std::string_view kPartSeparator = "#PART#";
std::vector<std::span<const uint8_t>> splitParts(const uint8_t* data, size_t size, size_t maxParts);
Bytes joinParts(const std::vector<Bytes>& parts);

// Reads the leading control bytes of an input (zero once the input is used up).
class ControlBytes {
public:
    ControlBytes(const uint8_t*& data, size_t& size) : m_data(data), m_size(size) {}
    uint8_t next()
    {
        if (m_size == 0)
            return 0;
        --m_size;
        return *m_data++;
    }

private:
    const uint8_t*& m_data;
    size_t& m_size;
};

// A folder of its own for one input, removed with everything in it when the
// object goes (below the temporary folder; one per process and input).
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& path() const { return m_path; }
    // Writes a new file (folders made as needed).
    std::filesystem::path write(const std::filesystem::path& relative, std::span<const uint8_t> bytes) const;

private:
    std::filesystem::path m_path;
};

// The targets.
void runMxfCard(const uint8_t* data, size_t size);
void runClipXml(const uint8_t* data, size_t size);
void runOptions(const uint8_t* data, size_t size);
void runDvDecode(const uint8_t* data, size_t size);
void runAvcDecode(const uint8_t* data, size_t size);
void runDvRotate(const uint8_t* data, size_t size);
void runPlanner(const uint8_t* data, size_t size);

std::vector<Bytes> mxfCardSeeds();
std::vector<Bytes> clipXmlSeeds();
std::vector<Bytes> optionsSeeds();
std::vector<Bytes> dvDecodeSeeds();
std::vector<Bytes> avcDecodeSeeds();
std::vector<Bytes> dvRotateSeeds();
std::vector<Bytes> plannerSeeds();

// An encoded DV-family frame of a test picture (codes 1 to 10).
Bytes dvTestFrame(int code);

} // namespace vorn::fuzz
