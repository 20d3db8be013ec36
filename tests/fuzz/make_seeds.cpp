// Writes the seed corpora of the fuzz targets, built from the test fixtures:
//   fuzz_seeds --list            the targets, one a line, with what they cover
//   fuzz_seeds DIR [TARGET...]   DIR/TARGET/seed-N for every (or each named) target
#include "FuzzTargets.h"

#include <cstdio>
#include <cstring>
#include <fstream>

namespace fs = std::filesystem;
using namespace vorn::fuzz;

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "--list") == 0) {
        for (const FuzzTarget& t : fuzzTargets())
            std::printf("%-12s %s\n", t.name, t.summary);
        return 0;
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: fuzz_seeds --list | fuzz_seeds DIR [TARGET...]\n");
        return 2;
    }
    std::vector<const FuzzTarget*> chosen;
    for (int i = 2; i < argc; ++i) {
        const FuzzTarget* t = findFuzzTarget(argv[i]);
        if (!t) {
            std::fprintf(stderr, "fuzz_seeds: no target named %s\n", argv[i]);
            return 2;
        }
        chosen.push_back(t);
    }
    if (chosen.empty())
        for (const FuzzTarget& t : fuzzTargets())
            chosen.push_back(&t);
    prepareFuzzing();
    for (const FuzzTarget* t : chosen) {
        const fs::path dir = fs::path(argv[1]) / t->name;
        fs::create_directories(dir);
        const auto seeds = t->seeds();
        for (size_t i = 0; i < seeds.size(); ++i) {
            std::ofstream out(dir / ("seed-" + std::to_string(i)), std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(seeds[i].data()), std::streamsize(seeds[i].size()));
            if (!out) {
                std::fprintf(stderr, "fuzz_seeds: cannot write %s\n", dir.c_str());
                return 1;
            }
        }
        std::printf("%s: %zu seeds\n", t->name, seeds.size());
    }
    return 0;
}
