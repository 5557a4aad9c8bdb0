// Stopping long work on request.
//
// Loops whose length a caller controls count the work they do on a
// `CancelPoll`. Once about a millisecond of work has gone by, the poll asks the
// process-wide cancellation hook whether to go on; when the hook says stop, the
// poll throws `Cancelled` and the work unwinds like any other failure. The core
// knows nothing about who answers: the Python binding connects a hook that runs
// the interpreter's pending signal handlers, so Ctrl-C reaches a long call.
//
// Work is counted in units of roughly a nanosecond of single-thread time (one
// float component added or multiplied, one link compared), so a loop ticks
// with its own cost per item and every loop polls at about the same interval.
// Ticking is a compare and a subtraction; tick once per block of items (a row,
// a block of records times components), not per element, and a loop stays
// vectorised and the poll costs nothing measurable.
//
// A changing operation computes everything that can poll before it changes
// any state, so that a cancelled call leaves its object as it was.
//
// With no hook connected (the default for a C++ program) nothing is ever
// cancelled and a poll costs one atomic load per interval. Members
// that poll say "may unwind with Cancelled" or name a helper here; everything
// else runs to the end once started. A poll is local to its call, so polling
// is safe from any number of threads at once.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/fault.hpp"

namespace tessarin {

// Answers true when the work under way should stop. It may leave a reason
// behind where its connector can find it (the binding: a pending Python
// exception); the core only unwinds.
using CancelHook = bool (*)();

// Connects `hook` for the whole process (null disconnects). The hook is called
// on the thread doing the work, from inside that work, and may be called from
// several threads at once.
void connect_cancel_hook(CancelHook hook) noexcept;
CancelHook connected_cancel_hook() noexcept;

// Thrown out of the work when the hook asked to stop. Deliberately not a
// std::exception, so that no handler meant for faults takes it for one.
struct Cancelled {};

// Units of work between two questions to the hook: about a millisecond.
inline constexpr std::uint64_t kCancelPollInterval = std::uint64_t{1} << 20;

// Items per block for `for_each_block`: small enough that a block of costly
// items (a hash each) still stays well inside one poll interval.
inline constexpr std::uint64_t kCancelBlockItems = 4096;

// Estimates of work multiply and add counts that callers control (rows,
// lengths, iterations); one that wrapped would take a long call for a short
// one, so they saturate at the most there can be.
constexpr std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b) {
    std::uint64_t p = 0;
    return __builtin_mul_overflow(a, b, &p) ? UINT64_MAX : p;
}
constexpr std::uint64_t saturating_sum(std::uint64_t a, std::uint64_t b) {
    std::uint64_t s = 0;
    return __builtin_add_overflow(a, b, &s) ? UINT64_MAX : s;
}

class CancelPoll {
public:
    // Counts `units` of work just done; asks the hook when an interval is used
    // up. True when an interval was used up and the work goes on: the hook
    // may have run code that changed anything outside the work itself, so a
    // caller reading memory that others own looks again before it reads on.
    bool tick(std::uint64_t units) {
        if (units < budget_) {
            budget_ -= units;
            return false;
        }
        poll_now();
        return true;
    }

    // Asks the hook at once (for the boundary between computing and committing
    // a change, or before a step that cannot be split).
    void poll_now();

private:
    std::uint64_t budget_ = kCancelPollInterval;
};

// Calls body(first, last) for consecutive ranges that cover [0, n) in order,
// and ticks `poll` with units_per_item for each item after each range.
template <class Body>
void for_each_block(CancelPoll& poll, std::uint64_t n, std::uint64_t units_per_item, Body&& body) {
    for (std::uint64_t first = 0; first < n;) {
        const std::uint64_t last = first + std::min(n - first, kCancelBlockItems);
        body(first, last);
        poll.tick((last - first) * units_per_item);
        first = last;
    }
}

// v.resize(n), any new elements value-initialised a block at a time with a
// tick of `poll` after each: the first touch of a large buffer's pages takes
// long enough (about a second for 400 MB) that a request to stop must reach it.
template <class T>
void resize_in_blocks(CancelPoll& poll, std::vector<T>& v, std::uint64_t n) {
    const std::size_t have = v.size();
    if (n <= have) {
        v.resize(static_cast<std::size_t>(n));
        return;
    }
    v.reserve(static_cast<std::size_t>(n));  // one allocation, its pages untouched until filled
    for_each_block(poll, n - have, 1, [&](std::uint64_t, std::uint64_t last) {
        v.resize(have + static_cast<std::size_t>(last));
    });
}

// A new vector of n elements made block by block: fill(out, first, last)
// writes out[first] ... out[last - 1], each block after the ones before it.
// Memory is touched as it is filled, so a huge result that is cancelled has
// not first spent its time zeroing all of it.
template <class T, class Fill>
std::vector<T> filled_in_blocks(std::uint64_t n, std::uint64_t units_per_item, Fill&& fill) {
    std::vector<T> out;
    out.reserve(checked_count<T>(n));
    CancelPoll poll;
    for_each_block(poll, n, units_per_item, [&](std::uint64_t first, std::uint64_t last) {
        out.resize(static_cast<std::size_t>(last));
        fill(out, static_cast<std::size_t>(first), static_cast<std::size_t>(last));
    });
    return out;
}

}  // namespace tessarin
