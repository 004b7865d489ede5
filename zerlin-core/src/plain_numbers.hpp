// Flat JSON arrays of plain numbers ("[377.3, 385.4, 2, ...]"), the shape
// nearly every keypoint list has, walked in one tight pass. Anything else
// (nested values, literals, strings, bad syntax) makes the walk give up with
// nullptr, and the caller's general reader reads the text instead (and
// words any error), so the two agree on every input.
#pragma once

#include <bit>
#include <cmath>
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

// The number the eight digit values (0..9, the first in the lowest byte)
// of v spell: neighbouring pairs, fours and eights joined in place, no lane
// ever carrying into the next.
inline std::uint32_t eight_digits(std::uint64_t v) noexcept {
    v = (v * 10 + (v >> 8)) & 0x00FF00FF00FF00FFu;
    v = (v * 100 + (v >> 16)) & 0x0000FFFF0000FFFFu;
    return std::uint32_t(v * 10000 + (v >> 32));
}

// Past the digits at p, their value appended to `value` (it wraps past 19
// digits: the caller counts them). Eight bytes at a time: the digits before
// the first other byte are moved to the top of the eight, zeros below them.
inline const char* read_digits(const char* p, const char* end, std::uint64_t& value) noexcept {
    static constexpr std::uint32_t kPow10[8] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};
    // Most numbers in these lists are short ("377.3"): their first digits cost
    // less one byte at a time than a word's set-up; longer runs go on by words.
    for (int i = 0; i < 4; ++i, ++p) {
        if (!digit(p, end)) return p;
        value = value * 10 + unsigned(*p - '0');
    }
    if constexpr (std::endian::native == std::endian::little) {
        while (end - p >= 8) {
            std::uint64_t d;
            const std::uint64_t other = json_detail::non_digit_bytes(p, d);
            if (other == 0) {
                value = value * 100000000u + eight_digits(d);
                p += 8;
                continue;
            }
            const int n = std::countr_zero(other) / 8;
            if (n != 0) value = value * kPow10[n] + eight_digits(d << (64 - 8 * n));
            return p + n;
        }
    }
    for (; p != end && unsigned(static_cast<unsigned char>(*p)) - '0' <= 9; ++p)
        value = value * 10 + unsigned(*p - '0');
    return p;
}

// Past the JSON number at p with its value in v, exactly as the full
// conversion rounds it, when the number is plain: at most 19 digits, no
// exponent (keypoint and box files write nothing else). Else nullptr, with
// v unspecified, for the caller's general reader. The digits are read once,
// into an integer w with the number w / 10^k; an exact w (at most 2^53)
// over an exact power of ten is one correctly rounded division, any other w
// goes to fast_float's exact scaling step, and a scaling the step leaves
// undecided gives nullptr too.
inline const char* plain_number(const char* p, const char* end, double& v) noexcept {
    const bool negative = p != end && *p == '-';
    p += negative;
    std::uint64_t w = 0;
    const char* const whole_end = read_digits(p, end, w);
    const bool point = whole_end != end && *whole_end == '.';
    const char* const fraction = whole_end + point;
    const char* const fraction_end = point ? read_digits(fraction, end, w) : fraction;
    const std::size_t whole_digits = std::size_t(whole_end - p), fraction_digits = std::size_t(fraction_end - fraction);
    const bool plain = whole_digits != 0 && (*p != '0' || whole_digits == 1) && (!point || fraction_digits != 0) &&
                       whole_digits + fraction_digits <= 19 && (fraction_end == end || (*fraction_end | 0x20) != 'e');
    if (!plain) return nullptr;
    if (w <= (std::uint64_t(1) << 53)) {
        v = double(w) / json_detail::kExactPow10[fraction_digits];
    } else {
        using Double = fast_float::binary_format<double>;
        const fast_float::adjusted_mantissa am = fast_float::compute_float<Double>(-int(fraction_digits), w);
        if (am.power2 < 0) return nullptr;
        fast_float::to_float(false, am, v);
    }
    if (negative) v = -v;
    return fraction_end;
}

// Past the JSON number at p with its value in v, exactly as the full
// conversion rounds it, or nullptr for text that is no finite number:
// plain_number, any other form through the full conversion.
inline const char* number(const char* p, const char* end, double& v) noexcept {
    if (const char* q = plain_number(p, end, v)) return q;
    auto res = parse_double(p, end, v);
    if (res.ec != std::errc() || !std::isfinite(v)) return nullptr;
    return res.ptr;
}

// Past the JSON number at p (its form checked), or nullptr: `number`
// without the digits' value, for a check alone.
inline const char* skip_number(const char* p, const char* end) noexcept {
    if (p != end && *p == '-') ++p;
    if (p == end) return nullptr;
    if (*p == '0')
        ++p;
    else if (digit(p, end))
        p = json_detail::skip_digits(p + 1, end);
    else
        return nullptr;
    if (p != end && *p == '.') {
        if (!digit(++p, end)) return nullptr;
        p = json_detail::skip_digits(p + 1, end);
    }
    if (p != end && (*p | 0x20) == 'e') {
        ++p;
        if (p != end && (*p == '+' || *p == '-')) ++p;
        if (!digit(p, end)) return nullptr;
        p = json_detail::skip_digits(p + 1, end);
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
    // Keypoint lists are mostly short numbers ("377.3"), each found in one word.
    return walk_array(p, end, [end](const char* q) {
        const char* e = json_detail::short_plain_number_end(q, end);
        return e != nullptr ? e : skip_number(q, end);
    });
}

}  // namespace zerlin::plain_numbers
