// The engine's one mechanism for broken internal invariants.
//
// A fault is not an error value: bad input comes back as `ModelError` or
// `SimError`. A fault means the engine met a state its own code promises never
// to reach (or a request it cannot represent). At detection `fault` writes a
// report to standard error naming the thread, the source location (file, line,
// column) and the message, then abandons the operation by throwing `Fault`.
// The Python module turns a `Fault` into `PanicException`; native callers may
// catch it, and nothing the abandoned operation owned is leaked.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <utility>

#include "kelvane/format.hpp"

namespace kelvane {

class Fault : public std::exception {
public:
    Fault(std::string message, std::source_location where);

    // The message alone, without location: what a caller shows to a user.
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

// Writes the fault report for `message` to standard error, detected at `where`.
// Exposed for the module, which reports faults it detects itself the same way.
void report_fault(const std::string& message, const std::source_location& where,
                  const std::string& detail = {});

// Reports and abandons: never returns.
[[noreturn]] void fault(std::string message,
                        std::source_location where = std::source_location::current());

// Equality assertion: when `left` differs from `right`, reports `message` with
// both values compared and abandons. The `Fault` carries `message` alone.
template <class L, class R>
void fault_unless_equal(const L& left, const R& right, const std::string& message,
                        std::source_location where = std::source_location::current()) {
    if (left == right) return;
    const std::string detail = "  left: " + to_text(left) + "\n right: " + to_text(right);
    report_fault(message, where, detail);
    throw Fault(message, where);
}

// Checks an invariant; `message` is only built when the check fails.
#define KELVANE_CHECK(condition, ...)                                   \
    do {                                                                \
        if (!(condition)) [[unlikely]] ::kelvane::fault(__VA_ARGS__);   \
    } while (0)

}  // namespace kelvane
