#include "util/errors.h"

#include <cstring>
#include <string_view>
#include <type_traits>

namespace {

// Row of a code of either sign, as the lookup goes: by position, not by the
// code column.
constexpr size_t err_row_of(int32_t code) {
    // Magnitude as unsigned, so INT32_MIN gives 2^31 and falls to "Unknown error".
    uint32_t m = code < 0 ? 0u - static_cast<uint32_t>(code) : static_cast<uint32_t>(code);
    if (m == 0) {
        return 0;
    }
    uint32_t d = m - 100u;
    return d <= 61u ? d + 1u : 63u;
}

// strerror_r comes in two forms: the GNU one (glibc) returns the text, in buf
// or not; the POSIX one (musl) fills buf and returns 0 or an error number.
template <typename R>
const char *strerror_r_text(R ret, char *buf, size_t len) noexcept {
    if constexpr (std::is_same_v<R, int>) {
        if (ret != 0 && len > 0) {
            buf[len - 1] = '\0';  // whatever part of the text fitted
        }
        return buf;
    } else {
        return ret;
    }
}

}  // namespace

#define TW_ERROR_ROW(name, magnitude, message) {magnitude, message},
constexpr std::array<err_row, err_table_len> err_table = {{TW_ERROR_LIST(TW_ERROR_ROW)}};
#undef TW_ERROR_ROW

// The lookup goes by position, so a row out of place would give its code
// another row's text: each name must find its own text.
#define TW_ERROR_CHECK(name, magnitude, message) \
    static_assert(std::string_view(err_table[err_row_of(name)].text) == (message));
TW_ERROR_LIST(TW_ERROR_CHECK)
#undef TW_ERROR_CHECK

const char *tiller_strerror(int32_t code) {
    return err_table[err_row_of(code)].text;
}

const char *errno_text(int err, char *buf, size_t len) noexcept {
    return strerror_r_text(strerror_r(err, buf, len), buf, len);
}
