// Text from a peer or a file, shown safely: line ends and other control
// bytes as C escapes, or as JSON string escapes (json), quotes and
// backslashes escaped.
#pragma once

#include <string>

std::string tool_escape(const std::string &s, bool json);
