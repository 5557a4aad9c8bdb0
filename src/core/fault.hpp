// What the library throws, and checked allocation.
//
// Four things leave a call of an engine or of the core (the random generators
// add one: a failing entropy source, generators.hpp):
//   Fault           a broken precondition or a request that could never succeed
//                   (an index out of range, a zero divisor, a length no address
//                   space could hold), carrying the exact message the caller
//                   will see; the Python binding raises its panic exception.
//   InputError      a caller's value the engine refuses (an unknown name, a
//                   missing argument); Python sees ValueError with the message.
//   std::bad_alloc  memory ran out (Python: MemoryError).
//   Cancelled       the cancellation hook asked long work to stop (cancel.hpp).
// A member's comment, or its header's opening, names what it can raise beyond
// std::bad_alloc and whether a failed change leaves the object as it was;
// whatever happens, the object stays usable.
// Messages that several engines share are built here so that the wording is
// spelled once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace tessarin {

class Fault : public std::runtime_error {
public:
    explicit Fault(const std::string& message) : std::runtime_error(message) {}
};

[[noreturn]] inline void fault(const std::string& message) { throw Fault(message); }

// A refusal of a caller's value that an engine itself detects (as opposed to a
// broken internal precondition); it reaches Python as ValueError.
class InputError : public std::invalid_argument {
public:
    explicit InputError(const std::string& message)
        : std::invalid_argument(message), message_(std::make_shared<const std::string>(message)) {}

    // The whole message. It may quote a caller's text, NUL characters and
    // all, which what() would cut short at the first one.
    const std::string& message() const noexcept { return *message_; }

private:
    std::shared_ptr<const std::string> message_;  // shared: copying an exception must not throw
};

inline constexpr const char* kCapacityOverflow = "capacity overflow";
inline constexpr const char* kRemainderByZero =
    "attempt to calculate the remainder with a divisor of zero";
inline constexpr const char* kDivideByZero = "attempt to divide by zero";
inline constexpr const char* kRotationTooLong = "assertion failed: k <= self.len()";
inline constexpr const char* kUnwrapNone = "called `Option::unwrap()` on a `None` value";

[[noreturn]] inline void index_out_of_bounds(std::uint64_t len, std::uint64_t index) {
    fault("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
          std::to_string(index));
}

// Bounds-checked element access with the system's out-of-range message:
// c[index], or Fault "index out of bounds: the len is L but the index is I".
template <class Container>
decltype(auto) checked_at(Container& c, std::uint64_t index) {
    if (index >= c.size()) index_out_of_bounds(c.size(), index);
    return c[static_cast<std::size_t>(index)];
}

// `a % b` for unsigned operands with the system's message for a zero divisor.
inline std::uint64_t checked_rem(std::uint64_t a, std::uint64_t b) {
    if (b == 0) fault(kRemainderByZero);
    return a % b;
}

// An element count whose byte size cannot be addressed is a fault, not an
// allocation failure: it could never succeed, whatever memory is free.
template <class T>
std::size_t checked_count(std::uint64_t count) {
    constexpr std::uint64_t limit =
        static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(T);
    if (count > limit) fault(kCapacityOverflow);
    return static_cast<std::size_t>(count);
}

// A vector of `count` value-initialised elements (zeros for arithmetic types).
template <class T>
std::vector<T> zeroed(std::uint64_t count) {
    return std::vector<T>(checked_count<T>(count));
}

}  // namespace tessarin
