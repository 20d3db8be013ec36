// libFuzzer entry of one target; VORN_FUZZ_TARGET names it (see FuzzTargets.h).
#include "FuzzTargets.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (!vorn::fuzz::findFuzzTarget(VORN_FUZZ_TARGET)) {
        std::fprintf(stderr, "no fuzz target named %s\n", VORN_FUZZ_TARGET);
        std::abort();
    }
    vorn::fuzz::prepareFuzzing();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    vorn::fuzz::findFuzzTarget(VORN_FUZZ_TARGET)->run(data, size);
    return 0;
}
