// Matching of recorded lines whose numbers vary from run to run (source
// lines, pids, time stamps): in a pattern, each "{N}" stands for one or more
// decimal digits; everything else must match exactly.  (std::regex trips
// GCC 12's uninitialized-use warnings under the sanitizers.)
#pragma once

#include <cctype>
#include <string>

namespace tw_test {

inline bool text_matches(const std::string &s, const std::string &pattern) {
    size_t i = 0;
    for (size_t p = 0; p < pattern.size(); ++p) {
        const size_t start = i;
        if (pattern.compare(p, 3, "{N}") != 0) {
            if (i >= s.size() || s[i++] != pattern[p]) {
                return false;
            }
            continue;
        }
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])) != 0) {
            ++i;
        }
        if (i == start) {
            return false;
        }
        p += 2;
    }
    return i == s.size();
}

}  // namespace tw_test
