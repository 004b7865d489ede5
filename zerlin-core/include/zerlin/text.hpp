// Text helpers shared by error messages.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace zerlin {

// The text as a double-quoted literal: quotes, backslashes and control
// characters escaped, so a message shows exactly what was given.
inline std::string quote_literal(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char buf[16];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", unsigned(c));
                    out += buf;
                } else {
                    out += char(c);
                }
        }
    }
    return out + "\"";
}

}  // namespace zerlin
