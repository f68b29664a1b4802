#include "util/errors.h"

// Looked up by position: the rows must stay in this order.
const std::array<err_row, 64> err_table = {{
    {0, "Success"},
    {100, "Failed"},
    {101, "Unsupported"},
    {102, "Connection terminated"},
    {103, "Wrong parameters"},
    {104, "Init failed"},
    {105, "Probe failed"},
    {106, "Attach failed"},
    {107, "System init failed"},
    {108, "Insufficient memory"},
    {109, "Canceled"},
    {110, "Connection breached"},
    {111, "Passive unit failed"},
    {112, "Operation unsupported in current mode"},
    {113, "Reboot forced"},
    {114, "Zelta parameters file error"},
    {115, "Hardware error"},
    {116, "Socket creating failed"},
    {117, "Socket bind failed"},
    {118, "Daemon already loaded"},
    {119, "Wrong parameter value"},
    {120, "Device memory not initialized"},
    {121, "Daemon - tiller connection failed"},
    {122, "parameter already set"},
    {123, "parameter not set"},
    {124, "snmp not started."},
    {125, "cookie out of date"},
    {126, "tftp failed"},
    {127, "update file corrupted"},
    {128, "File too big"},
    {129, "already started"},
    {130, "reboot required"},
    {131, "insufficient either free ram, flash space or other resource"},
    {132, "no more data"},
    {133, "child failed"},
    {134, "ntpclient failed"},
    {135, "Not found"},
    {136, "Internal"},
    {137, "Service is temporarily not available - Please try again later"},
    {138, "already exist"},
    {139, "not exist"},
    {140, "Tacacs next stage will be performed"},
    {141, "Tacacs wrong key value"},
    {142, "Incorrect password"},
    {143, "internal - incorrect respond file"},
    {144, "Weak password"},
    {145, "Maximal amount of values for this parameter was reached."},
    {146, "All SNMPv3 trap accounts must have password"},
    {147, "already enabled"},
    {148, "already disabled"},
    {149, "session expired"},
    {150, "Shutdown forced"},
    {151, "Wrong parameters number"},
    {152, "Does not inserted"},
    {153, "CPU overloaded"},
    {154, "Resource is busy, please try again later!"},
    {155, "Check permission failed"},
    {156, "Check ip conflict failed"},
    {157, "Update in progress"},
    {158, "Access denied"},
    {159, "Wrong configuration"},
    {160, "Specified module not inserted"},
    {161, "File too small"},
    {162, "Unknown error"},
}};

const char *tiller_strerror(int32_t code) {
    // Magnitude as unsigned, so INT32_MIN gives 2^31 and falls to "Unknown error".
    uint32_t m = code < 0 ? 0u - static_cast<uint32_t>(code) : static_cast<uint32_t>(code);
    if (m == 0) {
        return err_table[0].text;
    }
    uint32_t d = m - 100u;
    return err_table[d <= 61u ? d + 1u : 63u].text;
}
