// Matching of recorded lines whose numbers vary from run to run (source
// lines, pids, time stamps): in a pattern, each "{N}" stands for one or more
// decimal digits; everything else must match exactly.  (std::regex trips
// GCC 12's uninitialized-use warnings under the sanitizers.)
#pragma once

#include <algorithm>
#include <string>

namespace tw_test {

inline bool text_matches(const std::string &s, const std::string &pattern) {
    size_t i = 0;
    for (size_t p = 0; p < pattern.size(); ++p) {
        if (pattern.compare(p, 3, "{N}") == 0) {
            const size_t end = std::min(s.find_first_not_of("0123456789", i), s.size());
            if (end == i) {
                return false;
            }
            i = end;
            p += 2;
        } else if (i >= s.size() || s[i++] != pattern[p]) {
            return false;
        }
    }
    return i == s.size();
}

}  // namespace tw_test
