// Checking that a call faults with an exact message (the message is what the
// caller sees, so it is compared whole), or that long work stops when asked.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/cancel.hpp"
#include "core/fault.hpp"

namespace tessarin {

template <class Call>
void expect_fault(Call&& call, const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "expected the fault \"" << message << "\"";
    } catch (const Fault& f) {
        EXPECT_EQ(std::string(f.what()), message);
    }
}

// Connects a cancellation hook for one scope and counts how often it is
// asked. It answers "stop" from its `stop_at`-th call on (0: never).
class TestCancelHook {
public:
    explicit TestCancelHook(int stop_at) {
        calls_ = 0;
        stop_at_ = stop_at;
        connect_cancel_hook(&ask);
    }
    ~TestCancelHook() { connect_cancel_hook(nullptr); }
    TestCancelHook(const TestCancelHook&) = delete;
    TestCancelHook& operator=(const TestCancelHook&) = delete;
    int calls() const { return calls_; }

private:
    static bool ask() {
        ++calls_;
        return stop_at_ != 0 && calls_ >= stop_at_;
    }
    inline static int calls_ = 0;
    inline static int stop_at_ = 0;
};

// The call polls while it works and stops at the first "stop".
template <class Call>
void expect_cancelled(Call&& call) {
    const TestCancelHook hook(1);
    EXPECT_THROW(call(), Cancelled);
    EXPECT_EQ(hook.calls(), 1);
}

}  // namespace tessarin
