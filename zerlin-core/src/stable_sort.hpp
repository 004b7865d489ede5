// Stable sort on a caller-owned scratch buffer: insertion sort for short runs,
// bottom-up merging above, so steady-state sorting allocates nothing.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

namespace zerlin::detail {

// Descending score order with NaN last; a strict weak order, so stable sorts
// keep ties in their input order.
inline bool score_before(double a, double b) noexcept {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a > b;
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

}  // namespace zerlin::detail
