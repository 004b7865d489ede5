#include "zerlin/compact.hpp"

#include <algorithm>
#include <cmath>

#include "zerlin/hashmap.hpp"
#include "zerlin/results_geometry.hpp"

namespace zerlin {

std::size_t CompactData::column_bytes() const noexcept {
    const AnnotationColumns& c = *columns;
    std::size_t per_row = 16 + 32;
    if (c.has_pose) per_row += 16;
    if (c.has_parts) per_row += 8 * (kKeypointPartCount - 1);
    if (c.has_part_scores) per_row += 8 * kPartScoreCount;
    if (c.ground_truth) per_row += 25;
    if (c.wide_ids) per_row += 16;
    if (!c.derived_areas.empty()) per_row += 8;
    if (c.has_missing_boxes) per_row += 1;
    return per_row * c.size();
}

std::int64_t CompactData::row_id(std::size_t row) const noexcept {
    return results ? std::int64_t(row) + 1 : columns->gt_ids[row];
}

double CompactData::row_area(std::size_t row) const noexcept {
    if (!results) return columns->gt_areas[row];
    if (!columns->derived_areas.empty()) return columns->derived_areas[row];
    if (mask_areas_deferred()) return std::nan("");
    const double* b = &columns->boxes[4 * row];
    return b[2] * b[3];
}

bool CompactData::mask_areas_deferred() const noexcept {
    return results && columns->shape == ResultsShape::Masks && columns->derived_areas.empty();
}

std::shared_ptr<const AnnotationColumns> CompactData::completed_columns() const {
    if (!mask_areas_deferred()) return columns;
    auto completed = std::make_shared<AnnotationColumns>(*columns);
    complete_results_geometry(*completed, *snapshot);
    return completed;
}

bool CompactData::row_crowd(std::size_t row) const noexcept {
    return !results && columns->gt_crowd[row] != 0;
}

bool CompactData::row_ignore(std::size_t row) const noexcept {
    return !results && columns->gt_ignore[row] != 0;
}

AnnotationColumns columns_from_rows(const double* rows, std::size_t n) {
    // Truncation must land in [-2^63, 2^63): compare before converting.
    auto to_id = [](double v, std::int64_t* out) {
        if (!std::isfinite(v)) return false;
        double t = std::trunc(v);
        if (t < -9223372036854775808.0 || t >= 9223372036854775808.0) return false;
        *out = static_cast<std::int64_t>(t);
        return true;
    };
    AnnotationColumns cols;
    cols.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double* r = rows + 7 * i;
        std::int64_t image, category;
        if (!to_id(r[0], &image) || !to_id(r[6], &category))
            throw Error(ErrorKind::Value, "image and category IDs must be finite int64 values");
        cols.push(r + 1, r[5], image, category);
    }
    return cols;
}

std::vector<double> rows_of(const AnnotationColumns& cols) {
    std::size_t n = cols.size();
    std::vector<double> out(7 * n);
    for (std::size_t i = 0; i < n; ++i) {
        double* r = &out[7 * i];
        r[0] = double(cols.image_id(i));
        std::copy_n(&cols.boxes[4 * i], 4, r + 1);
        r[5] = cols.scores[i];
        r[6] = double(cols.category_id(i));
    }
    return out;
}

bool images_cover(const AnnotationColumns& cols, const std::vector<std::int64_t>& images) {
    HashMap<std::int64_t, char> known(images.size());
    for (std::int64_t id : images) known.insert(id, 0);
    // Results come grouped by image: a row of the previous row's image needs no look-up.
    for (std::size_t i = 0; i < cols.size(); ++i)
        if ((i == 0 || cols.image_id(i) != cols.image_id(i - 1)) && !known.contains(cols.image_id(i))) return false;
    return true;
}

std::vector<std::vector<std::uint32_t>> rows_per_image(const AnnotationColumns& cols,
                                                       const std::vector<std::int64_t>& image_ids,
                                                       const std::uint64_t* max_det) {
    // Rows grouped by image, each group in file order.
    HashMap<std::int64_t, std::uint32_t> group_of(image_ids.size());
    for (std::size_t k = 0; k < image_ids.size(); ++k) group_of.insert(image_ids[k], std::uint32_t(k));
    std::vector<std::vector<std::uint32_t>> out(image_ids.size());
    for (std::size_t i = 0; i < cols.size(); ++i)
        if (const std::uint32_t* g = group_of.find(cols.image_id(i))) out[*g].push_back(std::uint32_t(i));
    // An image listed twice gets its rows both times.
    for (std::size_t k = 0; k < image_ids.size(); ++k)
        if (*group_of.find(image_ids[k]) != k) out[k] = out[*group_of.find(image_ids[k])];
    if (max_det) {
        for (auto& rows : out) {
            if (rows.size() <= *max_det) continue;
            std::stable_sort(rows.begin(), rows.end(), [&](std::uint32_t a, std::uint32_t b) {
                double sa = cols.scores[a], sb = cols.scores[b];
                if (std::isnan(sb)) return !std::isnan(sa);
                return sa > sb;
            });
            rows.resize(std::size_t(*max_det));
            std::sort(rows.begin(), rows.end());
        }
    }
    return out;
}

}  // namespace zerlin
