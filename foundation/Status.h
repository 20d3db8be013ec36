// The outcome of an operation that can fail. Codecs, MXF and card code return
// a Status (or a Result<T>) and never show or print anything themselves; the
// engine turns a failed status into the log line, the report entry and the
// verdict, and only the programs (cli/, ui/) show it to the user.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace vorn {

class [[nodiscard]] Status {
public:
    // Success.
    Status() = default;

    // A failure: `message` says what failed in the user's terms ("Could not
    // write /x/0001AB.MXF"); `systemError` is the errno of the system call
    // that failed, 0 when the cause is not a system error.
    static Status failure(std::string message, int systemError = 0)
    {
        Status s;
        s.failed_ = true;
        s.message_ = std::move(message);
        s.systemError_ = systemError;
        return s;
    }

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }

    const std::string& message() const { return message_; }
    int systemError() const { return systemError_; }

    // The message with the system's reason appended ("...: No space left on device").
    std::string text() const;

    // The same failure with `context` put before its message ("clip 0001AB: ...").
    Status withContext(const std::string& context) const;

    // Marks a status as looked at where dropping it is a decision, not an oversight.
    void ignore() const {}

private:
    bool failed_ = false;
    std::string message_;
    int systemError_ = 0;
};

inline Status okStatus() { return Status(); }

// A value, or the failure that stopped it from being made.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(Status failure) : v_(std::move(failure)) {}

    bool ok() const { return std::holds_alternative<T>(v_); }
    explicit operator bool() const { return ok(); }

    // Only when ok().
    T& value() & { return std::get<T>(v_); }
    const T& value() const& { return std::get<T>(v_); }
    T&& value() && { return std::get<T>(std::move(v_)); }

    // Success when ok(), else the failure.
    Status status() const { return ok() ? Status() : std::get<Status>(v_); }

private:
    std::variant<T, Status> v_;
};

// Returns from the calling function with the failure of `expr`, if it failed.
#define VORN_RETURN_IF_ERROR(expr)                  \
    do {                                            \
        ::vorn::Status vorn_status_ = (expr);       \
        if (!vorn_status_.ok())                     \
            return vorn_status_;                    \
    } while (0)

} // namespace vorn
