// Version of the daemon.
#pragma once

#include "trapwatch_version.h"

inline constexpr const char *trapwatch_version_number = TRAPWATCH_VERSION;  // answered by GET_VER

// The number, a blank and the build's date and time in parentheses, as in
// "1.2.3 (Mon dd yyyy hh:mm:ss)".
extern const char trapwatch_version_text[];
