#include "dv/CodecWorkers.h"

namespace vorn::dv {

void setWorkerStartFailureForTest(int failingWorker) { setPoolStartFailureForTest(failingWorker); }

bool runWorkers(int workers, const std::function<void(int)>& work, const std::string& failureText)
{
    return forkJoin(workers, work, failureText);
}

bool runWorkersOrInline(int workers, const std::function<void(int)>& work, const std::string& failureText)
{
    if (workers < 2) {
        work(0);
        return true;
    }
    return forkJoin(workers, work, failureText);
}

} // namespace vorn::dv
