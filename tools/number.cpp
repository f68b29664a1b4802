#include "tools/number.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

bool read_number(const char *s, long lo, long hi, long *out) {
    const char *digits = s + (*s == '-' || *s == '+' ? 1 : 0);
    const bool hex = digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    const auto first = static_cast<unsigned char>(digits[hex ? 2 : 0]);
    if ((hex ? std::isxdigit(first) : std::isdigit(first)) == 0) {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    const long v = std::strtol(s, &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) {
        return false;
    }
    *out = v;
    return true;
}
