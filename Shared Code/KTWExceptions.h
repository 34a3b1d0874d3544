// The two exceptions that the crash reporter raises: a broken parameter contract, and a missing
// crash-submission address.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace lumsift {

// A caller broke a precondition. what() is "Invalid parameter not satisfying: <condition>".
class InvalidParameterException : public std::invalid_argument {
public:
    explicit InvalidParameterException(std::string_view condition)
        : std::invalid_argument("Invalid parameter not satisfying: " + std::string(condition)),
          condition_(condition) {}
    // The condition as written at the check, e.g. "nil != crashLogPath".
    const std::string& condition() const { return condition_; }

private:
    std::string condition_;
};

// Throws InvalidParameterException with `condition` (a literal of the caller's) unless `holds`.
inline void requireParameter(bool holds, std::string_view condition) {
    if (!holds)
        throw InvalidParameterException(condition);
}

// An exception with a name and a reason; what() is the reason.
class NamedException : public std::runtime_error {
public:
    NamedException(std::string_view name, std::string_view reason)
        : std::runtime_error(std::string(reason)), name_(name) {}
    const std::string& name() const { return name_; }
    std::string reason() const { return what(); }

private:
    std::string name_;
};

} // namespace lumsift
