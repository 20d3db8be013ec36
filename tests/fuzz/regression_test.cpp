// Runs every fuzz target's seeds and the inputs recorded in crashes/TARGET/
// (inputs that once made a target fail) through the target's entry point. A
// target aborts on a failed check, so each input runs as its own test.
#include "FuzzTargets.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>

namespace fs = std::filesystem;
using namespace vorn::fuzz;

namespace {

struct Input {
    std::string target;
    fs::path file;   // a recorded input; empty for the seeds
};

void PrintTo(const Input& in, std::ostream* os)
{
    *os << in.target << " " << (in.file.empty() ? "seeds" : in.file.string());
}

std::vector<Input> inputs()
{
    std::vector<Input> all;
    for (const FuzzTarget& t : fuzzTargets()) {
        all.push_back({t.name, {}});
        const fs::path dir = fs::path(VORN_FUZZ_CRASHES) / t.name;
        std::error_code ec;
        std::vector<fs::path> files;
        for (const auto& e : fs::directory_iterator(dir, ec))
            if (e.is_regular_file())
                files.push_back(e.path());
        std::sort(files.begin(), files.end());
        for (const auto& f : files)
            all.push_back({t.name, f});
    }
    return all;
}

std::string inputName(const ::testing::TestParamInfo<Input>& info)
{
    std::string name = info.param.target + "_" + (info.param.file.empty() ? "seeds" : info.param.file.filename().string());
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
}

class FuzzInputs : public ::testing::TestWithParam<Input> {
protected:
    static void SetUpTestSuite() { prepareFuzzing(); }
};

TEST_P(FuzzInputs, RunThroughTheirTarget)
{
    const Input& in = GetParam();
    const FuzzTarget* target = findFuzzTarget(in.target);
    ASSERT_NE(target, nullptr);
    if (in.file.empty()) {
        const auto seeds = target->seeds();
        ASSERT_FALSE(seeds.empty());
        for (const Bytes& s : seeds)
            target->run(s.data(), s.size());
        return;
    }
    const Bytes bytes = vorn::test::readBytes(in.file);
    // The input in a buffer of its own exact size, as libFuzzer gives it.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[std::max<size_t>(bytes.size(), 1)]);
    std::copy(bytes.begin(), bytes.end(), exact.get());
    target->run(exact.get(), bytes.size());
}

INSTANTIATE_TEST_SUITE_P(All, FuzzInputs, ::testing::ValuesIn(inputs()), inputName);

} // namespace
