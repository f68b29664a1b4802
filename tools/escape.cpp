#include "tools/escape.h"

#include <cstdio>

// Log text with line ends and other control bytes shown as C escapes.
std::string tool_escape(const std::string &s, bool json) {
    std::string out;
    for (char ch : s) {
        auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            default:
                if (c < 0x20 || c >= 0x7f) {
                    char b[8];
                    std::snprintf(b, sizeof b, json ? "\\u%04x" : "\\x%02x", c);
                    out += b;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}
