#include "float_text.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace zerlin {

std::string shortest_fixed(double v) {
    // An integer is written out exactly: no shorter text reads back as it,
    // and of texts as short the exact one is chosen (1e23 ->
    // "99999999999999991611392"). printf writes exact digits.
    if (std::floor(v) == v) {
        char buf[400];
        const int n = std::snprintf(buf, sizeof buf, "%.0f", v);
        if (n > 0 && n < int(sizeof buf)) return std::string(buf, std::size_t(n));
    }
    // printf rounds correctly; the first precision that reads back as v gives
    // the shortest digits. Only digits and the exponent are taken from its
    // text, so the locale's decimal point does not matter.
    std::string digits;
    int exp10 = 0;
    bool neg = std::signbit(v);
    for (int precision = 1; precision <= 17; ++precision) {
        char buf[64];
        const int n = std::snprintf(buf, sizeof buf, "%.*e", precision - 1, v);
        if (n <= 0 || n >= int(sizeof buf)) break;
        digits.clear();
        const char* p = buf;
        for (; *p != 'e' && *p != '\0'; ++p)
            if (*p >= '0' && *p <= '9') digits += *p;
        exp10 = *p == 'e' ? std::atoi(p + 1) : 0;
        char canonical[64];
        const int m = std::snprintf(canonical, sizeof canonical, "%s%c.%se%d", neg ? "-" : "", digits[0],
                                    digits.c_str() + 1, exp10);
        double back = 0.0;
        if (parse_double(canonical, canonical + m, back).ec == std::errc() && back == v) break;
    }
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    std::string out;
    if (neg) out.push_back('-');
    const std::size_t count = digits.size();
    if (exp10 >= 0) {
        const std::size_t whole = std::size_t(exp10) + 1;
        out.append(digits, 0, std::min(count, whole));
        if (count < whole) out.append(whole - count, '0');
        if (count > whole) {
            out.push_back('.');
            out.append(digits, whole, std::string::npos);
        }
    } else {
        out.append("0.");
        out.append(std::size_t(-exp10 - 1), '0');
        out.append(digits);
    }
    return out;
}

}  // namespace zerlin
