#include "foundation/Status.h"

#include <system_error>

namespace vorn {

std::string Status::text() const
{
    if (systemError_ == 0)
        return message_;
    const std::string reason = std::generic_category().message(systemError_);
    if (message_.empty())
        return reason;
    return message_ + ": " + reason;
}

Status Status::withContext(const std::string& context) const
{
    if (ok())
        return *this;
    return failure(message_.empty() ? context : context + ": " + message_, systemError_);
}

} // namespace vorn
