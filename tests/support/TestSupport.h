// Helpers shared by all tests: scratch folders, files, external programs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace vorn::test {

// A fresh, empty folder below the build's test-tmp folder, unique per test.
std::filesystem::path scratchDir(const std::string& name);

std::vector<uint8_t> readBytes(const std::filesystem::path& path);
std::string readText(const std::filesystem::path& path);
void writeBytes(const std::filesystem::path& path, const std::vector<uint8_t>& data);
void writeText(const std::filesystem::path& path, const std::string& text);

struct CommandResult {
    int exitCode = -1;
    std::string out;   // standard output
    std::string err;   // standard error
};
// Runs a shell command line and captures its output.
CommandResult runCommand(const std::string& commandLine);

// The built `vorn` executable.
std::string vornPath();
// Runs `vorn ARGS` (ARGS is a shell-quoted argument text).
CommandResult runVorn(const std::string& args);

// Quotes a text for the shell.
std::string shellQuote(const std::string& text);

// Random bytes of one of three kinds, for kernel tests: 0 uniform, 1 a smooth
// level with small noise around `level` (the noise filter's interesting
// range), 2 extremes only (clamps, saturation).
std::vector<uint8_t> randomBytes(std::mt19937& rng, size_t n, int kind, int level = 128);

// True when an external program (ffmpeg, x264, ...) is on PATH.
bool haveTool(const std::string& name);

} // namespace vorn::test

// Skips the test when an oracle program is missing, unless VORN_REQUIRE_ORACLES
// is set (scripts/test.sh sets it), in which case the test fails.
#define VORN_REQUIRE_TOOL(name)                                                        \
    do {                                                                               \
        if (!::vorn::test::haveTool(name)) {                                           \
            if (std::getenv("VORN_REQUIRE_ORACLES"))                                   \
                FAIL() << "required program missing: " << (name);                      \
            GTEST_SKIP() << "program missing: " << (name);                             \
        }                                                                              \
    } while (0)
