#include "zerlin/summary.hpp"

#include <cstring>

#include "zerlin/error.hpp"

namespace zerlin {

namespace {

bool aligned(const StridedView& a) {
    if (reinterpret_cast<std::uintptr_t>(a.data) % alignof(double) != 0) return false;
    for (std::size_t i = 0; i < a.shape.size(); ++i)
        if (a.shape[i] > 1 && a.strides[i] % std::ptrdiff_t(alignof(double)) != 0) return false;
    return true;
}

double at(const char* p) {
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

std::vector<double> summary_select(const StridedView& a, std::span<const uint64_t> thresholds,
                                   std::span<const uint64_t> categories, uint64_t area, uint64_t max_det) {
    if (!aligned(a)) throw_value("summary array must be aligned");
    const std::size_t n = a.shape.size();
    if (n != 4 && n != 5) throw_value("summary array must have four or five axes");
    auto dim = [&](std::size_t i) { return uint64_t(a.shape[i]); };
    for (uint64_t t : thresholds)
        if (t >= dim(0)) throw_value("summary selection is outside the array");
    for (uint64_t k : categories)
        if (k >= dim(n - 3)) throw_value("summary selection is outside the array");
    if (area >= dim(n - 2) || max_det >= dim(n - 1)) throw_value("summary selection is outside the array");

    const std::ptrdiff_t tail = std::ptrdiff_t(area) * a.strides[n - 2] + std::ptrdiff_t(max_det) * a.strides[n - 1];
    const std::ptrdiff_t k_stride = a.strides[n - 3];
    std::vector<double> out;
    for (uint64_t t : thresholds) {
        const char* base = a.data + std::ptrdiff_t(t) * a.strides[0] + tail;
        const std::size_t recalls = n == 5 ? std::size_t(dim(1)) : 1;
        for (std::size_t r = 0; r < recalls; ++r) {
            const char* row = n == 5 ? base + std::ptrdiff_t(r) * a.strides[1] : base;
            for (uint64_t k : categories) {
                double v = at(row + std::ptrdiff_t(k) * k_stride);
                if (v > -1.0) out.push_back(v);  // drops the -1 placeholders and NaN
            }
        }
    }
    return out;
}

}  // namespace zerlin
