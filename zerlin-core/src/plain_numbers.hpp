// Flat JSON arrays of plain numbers ("[377.3, 385.4, 2, ...]"), the shape
// nearly every keypoint list has, walked in one tight pass. Anything else
// (nested values, literals, strings, bad syntax) makes the walk give up with
// nullptr, and the caller's general reader reads the text instead (and
// words any error), so the two agree on every input.
#pragma once

#include <cstdint>

#include "float_text.hpp"
#include "zerlin/json.hpp"

namespace zerlin::plain_numbers {

inline bool digit(const char* p, const char* end) noexcept {
    return p != end && unsigned(static_cast<unsigned char>(*p)) - '0' <= 9;
}

inline bool space(char c) noexcept {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

// A short number's significant digits as an integer and how many of them
// follow the decimal point.
struct Token {
    const char* first;
    std::uint64_t mant = 0;
    int fraction_digits = 0;
    bool negative = false;
};

// Past the short plain number at p (-?digits(.digits)?, at most 15
// significant digits, no exponent: exact as an integer over a power of ten),
// or nullptr for any other text, which the full conversion then reads.
inline const char* short_number(const char* p, const char* end, Token& t) noexcept {
    t = Token{p};
    int digits = 0;
    if (p != end && *p == '-') t.negative = true, ++p;
    if (!digit(p, end)) return nullptr;
    while (digit(p, end)) {
        if (++digits > 15) return nullptr;
        t.mant = t.mant * 10 + unsigned(*p++ - '0');
    }
    if (p != end && *p == '.') {
        ++p;
        if (!digit(p, end)) return nullptr;
        while (digit(p, end)) {
            if (++digits > 15) return nullptr;
            t.mant = t.mant * 10 + unsigned(*p++ - '0');
            ++t.fraction_digits;
        }
    }
    if (p != end && (*p | 0x20) == 'e') return nullptr;
    return p;
}

// The short number's value as from_chars reads it: the digits and the power
// of ten are exact doubles, so one IEEE division rounds the quotient
// correctly, as the full conversion does.
inline double short_value(const Token& t) noexcept {
    const double v = double(t.mant) / json_detail::kExactPow10[t.fraction_digits];
    return t.negative ? -v : v;
}

// Past the JSON number at p (its form checked), or nullptr: `number`
// without the digits' value, for a check alone.
inline const char* skip_number(const char* p, const char* end) noexcept {
    if (p != end && *p == '-') ++p;
    if (p == end) return nullptr;
    if (*p == '0')
        ++p;
    else if (digit(p, end))
        while (digit(++p, end)) {
        }
    else
        return nullptr;
    if (p != end && *p == '.') {
        if (!digit(++p, end)) return nullptr;
        while (digit(++p, end)) {
        }
    }
    if (p != end && (*p | 0x20) == 'e') {
        ++p;
        if (p != end && (*p == '+' || *p == '-')) ++p;
        if (!digit(p, end)) return nullptr;
        while (digit(++p, end)) {
        }
    }
    return p;
}

// Walks the array whose '[' is at p, read_element(p) reading each element
// (past it, or nullptr to give up). Past the closing ']', or nullptr where
// the text is not a flat array of such elements.
template <class F>
const char* walk_array(const char* p, const char* end, F&& read_element) {
    if (p == end || *p != '[') return nullptr;
    ++p;
    while (p != end && space(*p)) ++p;
    if (p != end && *p == ']') return p + 1;
    for (;;) {
        p = read_element(p);
        if (p == nullptr) return nullptr;
        // ", " is how writers separate values: one test for both bytes.
        if (end - p >= 2 && p[0] == ',' && p[1] == ' ') {
            p += 2;
            continue;
        }
        while (p != end && space(*p)) ++p;
        if (p == end) return nullptr;
        const char c = *p++;
        if (c == ']') return p;
        if (c != ',') return nullptr;
        while (p != end && space(*p)) ++p;
    }
}

// Past the flat array of numbers at p (its syntax checked), or nullptr.
inline const char* skip_array(const char* p, const char* end) noexcept {
    return walk_array(p, end, [end](const char* q) { return skip_number(q, end); });
}

}  // namespace zerlin::plain_numbers
