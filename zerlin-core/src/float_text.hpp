// Decimal text to and from double, the same on every platform.
//
// std::from_chars(double) is missing from libc++ before LLVM 20, and
// to_chars(double) needs macOS 13.3 and newer libstdc++ symbols than older
// Linux systems carry, so neither is used: reading goes through fast_float
// (exactly rounded, as from_chars), writing through the C library's
// correctly rounded printf.
#pragma once

#include <fast_float/fast_float.h>

#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

namespace zerlin {

namespace float_text_detail {

// Whether the significand of the literal [first, last) has a nonzero digit.
inline bool nonzero_significand(const char* first, const char* last) noexcept {
    for (; first != last && *first != 'e' && *first != 'E'; ++first)
        if (*first >= '1' && *first <= '9') return true;
    return false;
}

inline bool infinity_literal(const char* first, const char* last) noexcept {
    if (first != last && *first == '-') ++first;
    return first != last && (*first == 'i' || *first == 'I');
}

}  // namespace float_text_detail

// std::from_chars(first, last, out) for a double in general format, with its
// contract: a literal whose value overflows to infinity or underflows to zero
// gives result_out_of_range and leaves `out` alone (fast_float's own versions
// disagree on both points).
inline std::from_chars_result parse_double(const char* first, const char* last, double& out) noexcept {
    double v = 0.0;
    auto r = fast_float::from_chars(first, last, v);
    if (r.ec == std::errc::invalid_argument) return {r.ptr, r.ec};
    if ((v == 0.0 && float_text_detail::nonzero_significand(first, r.ptr)) ||
        (std::isinf(v) && !float_text_detail::infinity_literal(first, r.ptr)))
        return {r.ptr, std::errc::result_out_of_range};
    out = v;
    return {r.ptr, std::errc()};
}

// The shortest decimal digits that read back as `v` (finite), laid out in
// fixed notation with no exponent: 1e20 -> "100000000000000000000",
// 1.5e-7 -> "0.00000015", as to_chars(v, chars_format::fixed) writes them.
std::string shortest_fixed(double v);

}  // namespace zerlin
