#pragma once

// vboard-init's side of the control socket (control.hpp).

#include "control.hpp"

#include <string_view>

namespace vboard::init {

// Sends one report, with `fd` passed along unless it is -1. False if the
// run has gone.
bool report(control::Kind kind, int value = 0, int count = 0, int fd = -1);

// Says what could not be set up, and ends this process with status 125.
[[noreturn]] void fail(std::string_view what);
// The same, with the errno of the call that failed.
[[noreturn]] void fail_with_errno(std::string_view what);

} // namespace vboard::init
