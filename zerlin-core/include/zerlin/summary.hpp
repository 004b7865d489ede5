// Selection of the precision or recall values that one summary line averages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zerlin {

// A read-only float64 array of any strides (in bytes), as NumPy lays it out.
struct StridedView {
    const char* data;
    std::span<const std::ptrdiff_t> shape;
    std::span<const std::ptrdiff_t> strides;
};

// Returns the selected values greater than -1, in selection order. Throws
// Error(Value) for a misaligned array, a wrong axis count or an index outside
// the array.
std::vector<double> summary_select(const StridedView& a, std::span<const uint64_t> thresholds,
                                   std::span<const uint64_t> categories, uint64_t area, uint64_t max_det);

}  // namespace zerlin
