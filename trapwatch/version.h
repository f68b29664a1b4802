// Version of the daemon.
#pragma once

inline constexpr const char *trapwatch_version_number = "0.0.12.19";  // answered by GET_VER

// "0.0.12.19 (Mon dd yyyy hh:mm:ss)": the number and the build's date and time.
extern const char trapwatch_version_text[];
