// Checking that a call faults with an exact message: the message is what the
// caller sees, so it is compared whole.
#pragma once

#include <gtest/gtest.h>

#include <string>

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

}  // namespace tessarin
