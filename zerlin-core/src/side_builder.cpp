#include "zerlin/side_builder.hpp"

namespace zerlin {

PositionTable::PositionTable(const std::vector<std::int64_t>& ids) : map_(ids.size()) {
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
    for (RecordSet* rs : sides) {
        rs->masks.assign(rs->size(), Rle{});
        if (with_boundaries_) rs->boundaries.assign(rs->size(), Rle{});
    }
    for (std::size_t j = 0; j < done.size(); ++j) {
        auto [rs, row] = destinations_[j];
        if (areas_from_masks) rs->areas[row] = double(rle_area(done[j].mask));
        rs->masks[row] = std::move(done[j].mask);
        if (with_boundaries_) rs->boundaries[row] = std::move(done[j].boundary);
    }
    for (auto& [j, packed] : rasteriser_.take_packed()) {
        auto [rs, row] = destinations_[j];
        if (areas_from_masks) rs->areas[row] = double(packed.area);
        rs->packed_masks.emplace(row, std::move(packed));
    }
}

void SideBuilder::reserve(std::size_t rows) {
    rs_.reserve(rows);
    if (rs_.kind == GeometryKind::Keypoints && is_gt_ && !rs_.boxes.shared()) rs_.boxes.reserve(4 * rows);
}

void SideBuilder::add(const AnnotationRow& row) {
    const bool keypoints = rs_.kind == GeometryKind::Keypoints;
    const bool ignore = is_gt_ && (row.crowd || (keypoints && row.no_keypoints));
    rs_.push_scalars(row.id, lk_.images.find(row.image_id), lk_.categories.find(row.category_id), row.score, row.area,
                     row.crowd, ignore);
    if ((rs_.kind == GeometryKind::Boxes || (keypoints && is_gt_)) && !rs_.boxes.shared()) rs_.boxes.append(row.box);
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
