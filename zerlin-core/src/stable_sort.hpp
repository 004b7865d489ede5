// Stable sorts on a caller-owned scratch buffer, so steady-state sorting
// allocates nothing: insertion sort for short runs, bottom-up merging above
// (any order), or bytes of an integer key (radix_sort).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace zerlin::detail {

// Descending score order with NaN last; a strict weak order, so stable sorts
// keep ties in their input order.
inline bool score_before(double a, double b) noexcept {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a > b;
}

// An integer whose ascending order is score_before's order, equal for
// scores neither orders (NaNs; 0.0 and -0.0), so sorting by it stably keeps
// the ties in input order just as sorting by score_before does.
inline std::uint64_t score_key(double a) noexcept {
    if (std::isnan(a)) return ~std::uint64_t(0);
    if (a == 0.0) a = 0.0;
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(a), sign = std::uint64_t(1) << 63;
    const std::uint64_t ascending = (bits & sign) ? ~bits : (bits | sign);
    return ~ascending;  // descending; -inf's key stays below NaN's
}

template <class T, class Less>
void insertion_sort(T* a, std::size_t n, Less less) {
    for (std::size_t i = 1; i < n; ++i) {
        T v = a[i];
        std::size_t j = i;
        while (j > 0 && less(v, a[j - 1])) {
            a[j] = a[j - 1];
            --j;
        }
        a[j] = v;
    }
}

template <class T, class Less>
void stable_sort(std::span<T> a, std::vector<T>& scratch, Less less) {
    constexpr std::size_t kRun = 20;
    const std::size_t n = a.size();
    if (n <= kRun) {
        insertion_sort(a.data(), n, less);
        return;
    }
    for (std::size_t b = 0; b < n; b += kRun) insertion_sort(a.data() + b, std::min(kRun, n - b), less);
    if (scratch.size() < n) scratch.resize(n);
    T* src = a.data();
    T* dst = scratch.data();
    for (std::size_t width = kRun; width < n; width *= 2) {
        for (std::size_t lo = 0; lo < n; lo += 2 * width) {
            std::size_t mid = std::min(lo + width, n), hi = std::min(lo + 2 * width, n);
            std::size_t i = lo, j = mid, k = lo;
            while (i < mid && j < hi) dst[k++] = less(src[j], src[i]) ? src[j++] : src[i++];
            while (i < mid) dst[k++] = src[i++];
            while (j < hi) dst[k++] = src[j++];
        }
        std::swap(src, dst);
    }
    if (src != a.data()) std::copy(src, src + n, a.data());
}

// Stable sort by key(x), a 64-bit integer: least significant byte first,
// passing over the bytes all keys share. Cheaper than comparing for the
// thousands of detections of a category.
template <class T, class Key>
void radix_sort(std::span<T> a, std::vector<T>& scratch, Key key) {
    constexpr std::size_t kRun = 20;
    const std::size_t n = a.size();
    if (n <= kRun) {
        insertion_sort(a.data(), n, [&](const T& x, const T& y) { return key(x) < key(y); });
        return;
    }
    std::array<std::array<std::size_t, 256>, 8> count{};
    for (const T& x : a) {
        const std::uint64_t k = key(x);
        for (int b = 0; b < 8; ++b) ++count[b][(k >> (8 * b)) & 255];
    }
    if (scratch.size() < n) scratch.resize(n);
    T* src = a.data();
    T* dst = scratch.data();
    for (int b = 0; b < 8; ++b) {
        std::array<std::size_t, 256>& at = count[b];
        if (at[(key(src[0]) >> (8 * b)) & 255] == n) continue;  // one value: the order stands
        std::size_t sum = 0;
        for (std::size_t& c : at) sum += std::exchange(c, sum);
        for (std::size_t i = 0; i < n; ++i) dst[at[(key(src[i]) >> (8 * b)) & 255]++] = src[i];
        std::swap(src, dst);
    }
    if (src != a.data()) std::copy(src, src + n, a.data());
}

}  // namespace zerlin::detail
