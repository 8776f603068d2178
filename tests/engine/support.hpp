// Helpers shared by the engine tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "kelvane/fault.hpp"

namespace kelvane::testing_support {

// The message of the fault `call` raises, with the report on standard error
// swallowed; "<no fault>" when it returns normally.
template <class Call>
std::string fault_message(Call&& call) {
    testing::internal::CaptureStderr();
    std::string message = "<no fault>";
    try {
        call();
    } catch (const Fault& fault) {
        message = fault.what();
    }
    testing::internal::GetCapturedStderr();
    return message;
}

}  // namespace kelvane::testing_support
