// Processor facts the codecs need.
#pragma once

namespace vorn {

// Number of set bits among the low 16 bits of the process affinity mask (at least 1).
int affinityProcessorCount();

// True when the processor has MMX, SSE and SSE2 (always true off x86).
bool processorHasSse2();

} // namespace vorn
