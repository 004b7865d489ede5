#include "zerlin/records.hpp"

#include <algorithm>

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

void RecordSet::reserve(std::size_t n) {
    ids.reserve(n);
    image_index.reserve(n);
    category_index.reserve(n);
    scores.reserve(n);
    areas.reserve(n);
    crowd.reserve(n);
    ignore.reserve(n);
    non_exhaustive.reserve(n);
    if (kind == GeometryKind::Boxes) boxes.reserve(4 * n);
}

void RecordSet::push_scalars(int64_t id, int32_t image, int32_t category, double score, double area, bool is_crowd,
                             bool is_ignored) {
    const std::size_t row = size();
    resize_scalars(row + 1);
    set_scalars(row, id, image, category, score, area, is_crowd, is_ignored);
}

void RecordSet::resize_scalars(std::size_t n) {
    auto resize = [&](std::size_t column) {
        switch (column) {
            case 0:
                ids.resize(n);
                break;
            case 1:
                image_index.resize(n);
                break;
            case 2:
                category_index.resize(n);
                break;
            case 3:
                scores.resize(n);
                break;
            case 4:
                areas.resize(n);
                break;
            case 5:
                crowd.resize(n);
                break;
            case 6:
                ignore.resize(n);
                break;
            default:
                non_exhaustive.resize(n);
                break;
        }
    };
    constexpr std::size_t kColumns = 8;
    // A whole side at once: the columns' first touches (their zeroing) are
    // shared out, a column to a task, rather than made on one thread.
    constexpr std::size_t kParallelRows = std::size_t(1) << 16;
    if (n >= size() + kParallelRows) {
        parallel_for(kColumns, 1, [&](std::size_t b, std::size_t e) {
            for (std::size_t c = b; c < e; ++c) resize(c);
        });
    } else {
        for (std::size_t c = 0; c < kColumns; ++c) resize(c);
    }
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
