#include "support/TestSupport.h"

#include "dv/CodecTables.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace vorn::test {

namespace {

// Removes the scratch folders of a test that passed when it ends, so a full
// run does not fill the disk; a failed test's folders stay for a look
// (VORN_KEEP_TEST_TMP keeps them all).
class ScratchCleaner : public ::testing::EmptyTestEventListener {
public:
    void add(const std::filesystem::path& dir) { dirs_.push_back(dir); }

    void OnTestEnd(const ::testing::TestInfo& info) override
    {
        if (!info.result()->Failed() && !std::getenv("VORN_KEEP_TEST_TMP"))
            for (const auto& dir : dirs_) {
                std::error_code ec;
                std::filesystem::remove_all(dir, ec);
            }
        dirs_.clear();
    }

private:
    std::vector<std::filesystem::path> dirs_;
};

ScratchCleaner& scratchCleaner()
{
    // The listener list owns the object and outlives every test.
    static ScratchCleaner* cleaner = [] {
        auto* made = new ScratchCleaner;
        ::testing::UnitTest::GetInstance()->listeners().Append(made);
        return made;
    }();
    return *cleaner;
}

} // namespace

std::filesystem::path scratchDir(const std::string& name)
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string unique = name;
    if (info)
        unique = std::string(info->test_suite_name()) + "." + info->name() + "." + name;
    for (char& c : unique)
        if (c == '/' || c == ' ')
            c = '_';
    auto dir = std::filesystem::path(VORN_TEST_TMP) / (unique + "." + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    if (info)
        scratchCleaner().add(dir);
    return dir;
}

std::vector<uint8_t> readBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string readText(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeBytes(const std::filesystem::path& path, const std::vector<uint8_t>& data)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

void writeText(const std::filesystem::path& path, const std::string& text)
{
    writeBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> randomBytes(std::mt19937& rng, size_t n, int kind, int level)
{
    std::vector<uint8_t> v(n);
    for (auto& b : v) {
        switch (kind) {
        case 0: b = static_cast<uint8_t>(rng()); break;
        case 1: b = static_cast<uint8_t>(std::clamp(level + static_cast<int>(rng() % 9) - 4, 0, 255)); break;
        default: b = (rng() & 1) ? 255 : 0; break;
        }
    }
    return v;
}

std::string shellQuote(const std::string& text)
{
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

CommandResult runCommand(const std::string& commandLine)
{
    CommandResult result;
    char errName[] = "/tmp/vorn-test-stderr-XXXXXX";
    int errFd = ::mkstemp(errName);
    std::string full = commandLine;
    if (errFd >= 0) {
        ::close(errFd);
        full = "(" + commandLine + ") 2>" + errName;
    }
    std::FILE* pipe = ::popen(full.c_str(), "r");
    if (!pipe)
        return result;
    std::array<char, 65536> buf;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0)
        result.out.append(buf.data(), n);
    int status = ::pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (errFd >= 0) {
        result.err = readText(errName);
        std::filesystem::remove(errName);
    }
    return result;
}

std::string vornPath()
{
    return VORN_CLI_PATH;
}

CommandResult runVorn(const std::string& args)
{
    return runCommand(shellQuote(vornPath()) + " " + args);
}

bool haveTool(const std::string& name)
{
    return runCommand("command -v " + shellQuote(name) + " >/dev/null 2>&1").exitCode == 0;
}

} // namespace vorn::test
