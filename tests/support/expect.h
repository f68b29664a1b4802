// Expectations that several tests share, each written once.
#pragma once

#include <string>

#include "trapwatch_version.h"
#include "util/errors.h"

namespace tw_test {

// The version the build generates from project(VERSION).
inline const std::string version = TRAPWATCH_VERSION;
// A full refresh as the stand-in records it, "cmd(param) " each: begin, mid
// and apply with param 1, then the closing begin with 0.
inline const std::string refresh_sequence = "382(1) 308(1) 407(1) 382(0) ";
// The exit status of a daemon that ends with the error code (-1..-255).
constexpr int exit_status_of(int code) {
    return 256 + code;
}
// A start refused because a daemon runs (or the launcher's parent is
// process 1).
inline constexpr int exit_already_loaded = exit_status_of(TW_ERR_ALREADY_LOADED);
static_assert(exit_already_loaded == 138);

}  // namespace tw_test
