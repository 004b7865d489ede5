#include "zerlin/side_builder.hpp"

#include <algorithm>

namespace zerlin {

PositionTable::PositionTable(const std::vector<std::int64_t>& ids) : map_(0) {
    if (!ids.empty()) {
        const auto [lo, hi] = std::minmax_element(ids.begin(), ids.end());
        const std::uint64_t span = std::uint64_t(*hi) - std::uint64_t(*lo);
        dense_ = span < 16 * std::uint64_t(ids.size()) + 64;
        low_ = *lo;
    }
    if (dense_) {
        direct_.assign(std::size_t(std::uint64_t(*std::max_element(ids.begin(), ids.end())) - std::uint64_t(low_)) + 1,
                       -1);
        for (std::size_t i = 0; i < ids.size(); ++i)
            direct_[std::uint64_t(ids[i]) - std::uint64_t(low_)] = std::int32_t(i);
        return;
    }
    map_ = HashMap<std::int64_t, std::int32_t>(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) *map_.insert(ids[i], std::int32_t(i)).first = std::int32_t(i);
}

PendingMasks::~PendingMasks() {
    if (!finished_) rasteriser_.abandon();
}

void PendingMasks::submit(RecordSet& rs, std::uint32_t row, MaskJob job) {
    destinations_.emplace_back(&rs, row);
    rasteriser_.submit(std::move(job));
}

void PendingMasks::finish(std::initializer_list<RecordSet*> sides, bool areas_from_masks) {
    finished_ = true;
    std::vector<RasterResult> done = rasteriser_.finish();
    // A side none of whose rows was submitted keeps no mask column: a row
    // without a mask of its own reads as the empty mask (the column would
    // take 32 bytes a row, most of a file's detections kept compressed apart).
    for (RecordSet* rs : sides) {
        const bool submitted =
            std::any_of(destinations_.begin(), destinations_.end(), [rs](const auto& d) { return d.first == rs; });
        if (!submitted) continue;
        rs->masks.assign(rs->size(), Rle{});
        if (with_boundaries_) rs->boundaries.assign(rs->size(), Rle{});
    }
    for (std::size_t j = 0; j < done.size(); ++j) {
        auto [rs, row] = destinations_[j];
        if (areas_from_masks) rs->areas[row] = double(rle_area(done[j].mask));
        rs->masks[row] = std::move(done[j].mask);
        if (with_boundaries_) rs->boundaries[row] = std::move(done[j].boundary);
    }
    done = std::vector<RasterResult>();
    // The kept-compressed masks by row. Where one side takes them all, their
    // vector itself moves there: a second copy would add to the peak.
    std::vector<std::pair<uint32_t, PackedRle>> packed = rasteriser_.take_packed();
    RecordSet* only = packed.empty() ? nullptr : destinations_[packed.front().first].first;
    for (const auto& [j, p] : packed) {
        auto [rs, row] = destinations_[j];
        if (areas_from_masks) rs->areas[row] = double(p.area);
        if (rs != only) only = nullptr;
    }
    if (only && only->packed_masks.empty()) {
        for (auto& e : packed) e.first = destinations_[e.first].second;
        only->packed_masks = std::move(packed);
    } else {
        for (auto& [j, p] : packed) {
            auto [rs, row] = destinations_[j];
            rs->packed_masks.emplace_back(row, std::move(p));
        }
    }
    auto by_row = [](const auto& a, const auto& b) { return a.first < b.first; };
    for (RecordSet* rs : sides)
        if (!std::is_sorted(rs->packed_masks.begin(), rs->packed_masks.end(), by_row))
            std::sort(rs->packed_masks.begin(), rs->packed_masks.end(), by_row);
}

void SideBuilder::reserve(std::size_t rows) {
    rs_.reserve(rows);
    if (rs_.kind == GeometryKind::Keypoints && is_gt_ && !rs_.boxes.shared()) rs_.boxes.reserve(4 * rows);
}

void SideBuilder::set(std::size_t i, const AnnotationRow& row, ImageCursor& cursor) const noexcept {
    const bool ignore = is_gt_ && (row.crowd || (rs_.kind == GeometryKind::Keypoints && row.no_keypoints));
    if (cursor.index == -2 || row.image_id != cursor.id) {
        cursor.id = row.image_id;
        cursor.index = lk_.images.find(row.image_id);
    }
    rs_.set_scalars(i, row.id, cursor.index, lk_.categories.find(row.category_id), row.score, row.area, row.crowd,
                    ignore);
}

void SideBuilder::add(const AnnotationRow& row) {
    const std::size_t i = rs_.size();
    rs_.resize_scalars(i + 1);
    set(i, row, cursor_);
    if (keeps_boxes() && !rs_.boxes.shared()) rs_.boxes.append(row.box);
}

void SideBuilder::add(const AnnotationRow& row, MaskJob job) {
    add(row);
    masks_->submit(rs_, std::uint32_t(rs_.size() - 1), std::move(job));
}

void SideBuilder::add(const AnnotationRow& row, std::optional<std::span<const double>> keypoints) {
    add(row);
    if (keypoints)
        rs_.push_keypoints(keypoints->data(), keypoints->size(), is_gt_);
    else
        rs_.push_missing_keypoints(is_gt_);
}

}  // namespace zerlin
