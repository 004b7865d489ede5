#include "zerlin/federated.hpp"

#include <algorithm>
#include <cmath>

#include "stable_sort.hpp"

namespace zerlin {

namespace {

// Rows of each image (by image index), in input order.
std::vector<std::vector<std::uint32_t>> rows_by_image(const RecordSet& dt) {
    std::int32_t images = 0;
    for (std::int32_t im : dt.image_index) images = std::max(images, im + 1);
    std::vector<std::vector<std::uint32_t>> rows(static_cast<std::size_t>(images));
    for (std::size_t r = 0; r < dt.size(); ++r)
        if (dt.image_index[r] >= 0) rows[std::size_t(dt.image_index[r])].push_back(std::uint32_t(r));
    return rows;
}

// Sorted (image index, category index) pairs an image verifies.
std::vector<std::pair<std::int32_t, std::int32_t>> verified_pairs(
    const RecordSet& gt, const std::vector<std::pair<std::int32_t, std::int32_t>>& negative) {
    std::vector<std::pair<std::int32_t, std::int32_t>> pairs;
    pairs.reserve(gt.size() + negative.size());
    for (std::size_t r = 0; r < gt.size(); ++r)
        if (gt.image_index[r] >= 0 && gt.category_index[r] >= 0)
            pairs.emplace_back(gt.image_index[r], gt.category_index[r]);
    for (const auto& p : negative)
        if (p.first >= 0 && p.second >= 0) pairs.push_back(p);
    std::sort(pairs.begin(), pairs.end());
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
    return pairs;
}

}  // namespace

void drop_outside_area(RecordSet& records) {
    for (std::size_t r = 0; r < records.size(); ++r)
        if (!(records.areas[r] > 0.0 && records.areas[r] < INFINITY)) records.image_index[r] = -1;
}

void select_federated(RecordSet& dt, RecordSet& gt, const std::vector<std::pair<std::int32_t, std::int32_t>>& negative,
                      std::uint64_t max_det) {
    drop_outside_area(gt);
    std::vector<std::uint8_t> kept(dt.size(), 0);
    for (std::vector<std::uint32_t>& rows : rows_by_image(dt)) {
        if (rows.size() > max_det) {
            std::stable_sort(rows.begin(), rows.end(), [&](std::uint32_t a, std::uint32_t b) {
                return detail::score_before(dt.scores[a], dt.scores[b]);
            });
            rows.resize(std::size_t(max_det));
        }
        for (std::uint32_t r : rows) kept[r] = 1;
    }
    const auto verified = verified_pairs(gt, negative);
    for (std::size_t r = 0; r < dt.size(); ++r) {
        const std::pair<std::int32_t, std::int32_t> pair(dt.image_index[r], dt.category_index[r]);
        if (!kept[r] || pair.second < 0 || !std::binary_search(verified.begin(), verified.end(), pair))
            dt.image_index[r] = -1;
    }
}

}  // namespace zerlin
