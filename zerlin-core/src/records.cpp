#include "zerlin/records.hpp"

#include <algorithm>
#include <functional>
#include <vector>

#include "zerlin/error.hpp"
#include "zerlin/pool.hpp"

namespace zerlin {

GeometryKind geometry_for(IouKind kind) noexcept {
    switch (kind) {
        case IouKind::Segm:
            return GeometryKind::Masks;
        case IouKind::Boundary:
            return GeometryKind::BoundaryMasks;
        case IouKind::Keypoints:
            return GeometryKind::Keypoints;
        case IouKind::Bbox:
            break;
    }
    return GeometryKind::Boxes;
}

// Calls f on each scalar column of rs.
template <class F>
static void for_each_scalar_column(RecordSet& rs, F&& f) {
    f(rs.ids);
    f(rs.image_index);
    f(rs.category_index);
    f(rs.scores);
    f(rs.areas);
    f(rs.crowd);
    f(rs.ignore);
    f(rs.non_exhaustive);
}

void RecordSet::reserve(std::size_t n) {
    for_each_scalar_column(*this, [n](auto& column) { column.reserve(n); });
    if (kind == GeometryKind::Boxes) boxes.reserve(4 * n);
}

void RecordSet::push_scalars(int64_t id, int32_t image, int32_t category, double score, double area, bool is_crowd,
                             bool is_ignored) {
    ids.push_back(id);
    image_index.push_back(image);
    category_index.push_back(category);
    scores.push_back(score);
    areas.push_back(area);
    crowd.push_back(is_crowd ? 1 : 0);
    ignore.push_back(is_ignored ? 1 : 0);
    non_exhaustive.push_back(0);
}

void RecordSet::resize_scalars(std::size_t n) {
    // A whole side at once: the columns' first touches (their zeroing) are
    // shared out, a column to a task, rather than made on one thread.
    constexpr std::size_t kParallelRows = std::size_t(1) << 16;
    if (n < size() + kParallelRows) {
        for_each_scalar_column(*this, [n](auto& column) { column.resize(n); });
        return;
    }
    std::vector<std::function<void()>> columns;
    for_each_scalar_column(*this, [&](auto& column) { columns.push_back([&column, n] { column.resize(n); }); });
    parallel_for(columns.size(), 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t c = b; c < e; ++c) columns[c]();
    });
}

void RecordSet::set_scalars(std::size_t row, int64_t id, int32_t image, int32_t category, double score, double area,
                            bool is_crowd, bool is_ignored) noexcept {
    ids[row] = id;
    image_index[row] = image;
    category_index[row] = category;
    scores[row] = score;
    areas[row] = area;
    crowd[row] = is_crowd ? 1 : 0;
    ignore[row] = is_ignored ? 1 : 0;
    non_exhaustive[row] = 0;
}

static const char* kTripletMessage = "keypoints must contain the same number of x/y/visibility triplets";

void RecordSet::check_keypoint_length(std::size_t n) const {
    if (n % 3 != 0) throw_value(kTripletMessage);
    if (keypoint_count != 0 && n != 3 * std::size_t(keypoint_count)) throw_value(kTripletMessage);
}

void RecordSet::pad_keypoints(uint32_t k, bool with_visibility) {
    if (keypoint_count != 0 && keypoint_count != k) throw_value(kTripletMessage);
    keypoint_count = k;
    // Rows appended before K was known (or without a list) get zeros; with
    // slots, the slots are the rows stored.
    std::size_t rows = size();
    if (!keypoint_slot.empty()) rows = std::size_t(*std::max_element(keypoint_slot.begin(), keypoint_slot.end())) + 1;
    keypoints.resize(2 * std::size_t(k) * rows, 0.0);
    if (with_visibility) visibility.resize(std::size_t(k) * rows, 0);
}

void RecordSet::push_missing_keypoints(bool with_visibility) {
    if (!with_visibility) scored.push_back(0);
    // Before K is fixed nothing is stored: the first list back-fills.
    if (keypoint_count == 0) return;
    keypoints.resize(2 * std::size_t(keypoint_count) * size(), 0.0);
    if (with_visibility) visibility.resize(std::size_t(keypoint_count) * size(), 0);
}

void RecordSet::push_keypoints(const double* xyv, std::size_t n, bool with_visibility) {
    check_keypoint_length(n);
    if (n == 0) {
        push_missing_keypoints(with_visibility);
        return;
    }
    const std::size_t row = size() - 1;  // push_scalars has counted this row
    if (keypoint_count == 0) {
        keypoint_count = static_cast<uint32_t>(n / 3);
        std::size_t rows_total = std::max(ids.capacity(), size());
        keypoints.reserve(2 * std::size_t(keypoint_count) * rows_total);
        if (with_visibility) visibility.reserve(std::size_t(keypoint_count) * rows_total);
    }
    const std::size_t k = keypoint_count;
    keypoints.resize(2 * k * row, 0.0);
    if (with_visibility) visibility.resize(k * row, 0);
    bool any_scored = false;
    for (std::size_t j = 0; j < k; ++j) {
        keypoints.push_back(xyv[3 * j]);
        keypoints.push_back(xyv[3 * j + 1]);
        if (with_visibility) visibility.push_back(xyv[3 * j + 2] > 0 ? 1 : 0);
        any_scored = any_scored || xyv[3 * j + 2] > 0;
    }
    if (!with_visibility) scored.push_back(any_scored ? 1 : 0);
}

}  // namespace zerlin
