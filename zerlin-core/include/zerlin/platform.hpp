// What differs between compilers and processors, decided in one place.
#pragma once

#include <bit>
#include <cstdint>

// SSE2 paths: every x86-64 processor has SSE2, but MSVC announces it through
// _M_X64/_M_AMD64 (or _M_IX86_FP on 32-bit x86), not __SSE2__.
#if defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define ZERLIN_SSE2 1
#include <emmintrin.h>
#endif

namespace zerlin {

// Index of the lowest set bit of a nonzero mask.
inline unsigned lowest_bit(std::uint32_t mask) noexcept {
    return unsigned(std::countr_zero(mask));
}

// 10 * acc + digit into `out`; false (and `out` untouched) when that exceeds
// 64 bits. One comparison in the common case, so decimal loops stay fast.
inline bool append_decimal_digit(std::uint64_t acc, unsigned digit, std::uint64_t& out) noexcept {
    constexpr std::uint64_t kLimit = UINT64_MAX / 10;  // 1844674407370955161
    if (acc > kLimit || (acc == kLimit && digit > UINT64_MAX % 10)) return false;
    out = acc * 10 + digit;
    return true;
}

}  // namespace zerlin
