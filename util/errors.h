// Error codes and their texts.
//
// Functions return 0 for success or a negative code whose magnitude indexes
// err_table by position (row 0 = 0, row i = 99 + i).
#pragma once

#include <array>
#include <cstdint>

struct err_row {
    int32_t code;      // magnitude; the system uses it negated
    const char *text;  // constant, shared
};

extern const std::array<err_row, 64> err_table;

// Text of a code of either sign; never null.
const char *tiller_strerror(int32_t code);

// Codes the daemon produces itself.
enum : int32_t {
    TW_OK = 0,
    TW_ERR_FAILED = -100,
    TW_ERR_WRONG_PARAMS = -103,
    TW_ERR_SOCKET_CREATE = -116,
    TW_ERR_SOCKET_BIND = -117,
    TW_ERR_ALREADY_LOADED = -118,
    TW_ERR_KEELSON_LINK = -121,
    TW_ERR_CHILD_FAILED = -133,
};
