// Error codes and their texts, and the system's text for an errno value.
//
// Functions return 0 for success or a negative code whose magnitude indexes
// err_table by position (row 0 = 0, row i = 99 + i).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Every code once, in table order: its name (the negated code), its magnitude
// and its text.  Most rows belong to the appliance's control tool family and
// are never produced here; the table is kept whole.
// clang-format off
#define TW_ERROR_LIST(X)                                                                   \
    X(TW_OK, 0, "Success")                                                                 \
    X(TW_ERR_FAILED, 100, "Failed")                                                        \
    X(TW_ERR_UNSUPPORTED, 101, "Unsupported")                                              \
    X(TW_ERR_CONN_TERMINATED, 102, "Connection terminated")                                \
    X(TW_ERR_WRONG_PARAMS, 103, "Wrong parameters")                                        \
    X(TW_ERR_INIT, 104, "Init failed")                                                     \
    X(TW_ERR_PROBE, 105, "Probe failed")                                                   \
    X(TW_ERR_ATTACH, 106, "Attach failed")                                                 \
    X(TW_ERR_SYSTEM_INIT, 107, "System init failed")                                       \
    X(TW_ERR_NO_MEMORY, 108, "Insufficient memory")                                        \
    X(TW_ERR_CANCELED, 109, "Canceled")                                                    \
    X(TW_ERR_CONN_BREACHED, 110, "Connection breached")                                    \
    X(TW_ERR_PASSIVE_UNIT, 111, "Passive unit failed")                                     \
    X(TW_ERR_MODE_UNSUPPORTED, 112, "Operation unsupported in current mode")               \
    X(TW_ERR_REBOOT_FORCED, 113, "Reboot forced")                                          \
    X(TW_ERR_PARAMS_FILE, 114, "Zelta parameters file error")                              \
    X(TW_ERR_HARDWARE, 115, "Hardware error")                                              \
    X(TW_ERR_SOCKET_CREATE, 116, "Socket creating failed")                                 \
    X(TW_ERR_SOCKET_BIND, 117, "Socket bind failed")                                       \
    X(TW_ERR_ALREADY_LOADED, 118, "Daemon already loaded")                                 \
    X(TW_ERR_WRONG_VALUE, 119, "Wrong parameter value")                                    \
    X(TW_ERR_DEVICE_MEMORY, 120, "Device memory not initialized")                          \
    X(TW_ERR_KEELSON_LINK, 121, "Daemon - tiller connection failed")                       \
    X(TW_ERR_PARAM_ALREADY_SET, 122, "parameter already set")                              \
    X(TW_ERR_PARAM_NOT_SET, 123, "parameter not set")                                      \
    X(TW_ERR_SNMP_NOT_STARTED, 124, "snmp not started.")                                   \
    X(TW_ERR_COOKIE_OUT_OF_DATE, 125, "cookie out of date")                                \
    X(TW_ERR_TFTP, 126, "tftp failed")                                                     \
    X(TW_ERR_UPDATE_CORRUPTED, 127, "update file corrupted")                               \
    X(TW_ERR_FILE_TOO_BIG, 128, "File too big")                                            \
    X(TW_ERR_ALREADY_STARTED, 129, "already started")                                      \
    X(TW_ERR_REBOOT_REQUIRED, 130, "reboot required")                                      \
    X(TW_ERR_NO_RESOURCE, 131,                                                             \
      "insufficient either free ram, flash space or other resource")                       \
    X(TW_ERR_NO_MORE_DATA, 132, "no more data")                                            \
    X(TW_ERR_CHILD_FAILED, 133, "child failed")                                            \
    X(TW_ERR_NTPCLIENT, 134, "ntpclient failed")                                           \
    X(TW_ERR_NOT_FOUND, 135, "Not found")                                                  \
    X(TW_ERR_INTERNAL, 136, "Internal")                                                    \
    X(TW_ERR_TRY_LATER, 137,                                                               \
      "Service is temporarily not available - Please try again later")                     \
    X(TW_ERR_ALREADY_EXIST, 138, "already exist")                                          \
    X(TW_ERR_NOT_EXIST, 139, "not exist")                                                  \
    X(TW_ERR_TACACS_NEXT_STAGE, 140, "Tacacs next stage will be performed")                \
    X(TW_ERR_TACACS_WRONG_KEY, 141, "Tacacs wrong key value")                              \
    X(TW_ERR_INCORRECT_PASSWORD, 142, "Incorrect password")                                \
    X(TW_ERR_RESPOND_FILE, 143, "internal - incorrect respond file")                       \
    X(TW_ERR_WEAK_PASSWORD, 144, "Weak password")                                          \
    X(TW_ERR_MAX_VALUES, 145, "Maximal amount of values for this parameter was reached.")  \
    X(TW_ERR_TRAP_ACCOUNT_PASSWORD, 146, "All SNMPv3 trap accounts must have password")    \
    X(TW_ERR_ALREADY_ENABLED, 147, "already enabled")                                      \
    X(TW_ERR_ALREADY_DISABLED, 148, "already disabled")                                    \
    X(TW_ERR_SESSION_EXPIRED, 149, "session expired")                                      \
    X(TW_ERR_SHUTDOWN_FORCED, 150, "Shutdown forced")                                      \
    X(TW_ERR_WRONG_PARAMS_NUMBER, 151, "Wrong parameters number")                          \
    X(TW_ERR_NOT_INSERTED, 152, "Does not inserted")                                       \
    X(TW_ERR_CPU_OVERLOADED, 153, "CPU overloaded")                                        \
    X(TW_ERR_BUSY, 154, "Resource is busy, please try again later!")                       \
    X(TW_ERR_PERMISSION_CHECK, 155, "Check permission failed")                             \
    X(TW_ERR_IP_CONFLICT_CHECK, 156, "Check ip conflict failed")                           \
    X(TW_ERR_UPDATE_IN_PROGRESS, 157, "Update in progress")                                \
    X(TW_ERR_ACCESS_DENIED, 158, "Access denied")                                          \
    X(TW_ERR_WRONG_CONFIG, 159, "Wrong configuration")                                     \
    X(TW_ERR_MODULE_NOT_INSERTED, 160, "Specified module not inserted")                    \
    X(TW_ERR_FILE_TOO_SMALL, 161, "File too small")                                        \
    X(TW_ERR_UNKNOWN, 162, "Unknown error")
// clang-format on

#define TW_ERROR_NAME(name, magnitude, message) name = -(magnitude),
enum : int32_t { TW_ERROR_LIST(TW_ERROR_NAME) };
#undef TW_ERROR_NAME

struct err_row {
    int32_t code;      // magnitude; the system uses it negated
    const char *text;  // constant, shared
};

// One row per entry of the list.
// NOLINTNEXTLINE(bugprone-macro-parentheses): each row adds one term of a sum
#define TW_ERROR_COUNT(name, magnitude, message) +1
inline constexpr size_t err_table_len = 0 TW_ERROR_LIST(TW_ERROR_COUNT);
#undef TW_ERROR_COUNT

extern const std::array<err_row, err_table_len> err_table;

// Text of a code of either sign; never null.
const char *tiller_strerror(int32_t code);

// The system's text for an errno value, for any thread and the signal
// handler: it never uses strerror's shared buffer.  The text is in buf or is
// a constant of the C library; either way it is what the call returns.
inline constexpr size_t errno_text_len = 128;  // a buffer size that holds every text
const char *errno_text(int err, char *buf, size_t len) noexcept;
