#include "zerlin/side_builder.hpp"

namespace zerlin {

PositionTable::PositionTable(const std::vector<std::int64_t>& ids) : map_(ids.size()) {
    for (std::size_t i = 0; i < ids.size(); ++i) *map_.insert(ids[i], std::int32_t(i)).first = std::int32_t(i);
}

void append_row(RecordSet& rs, const AnnotationRow& row, bool is_gt, const Lookups& lk) {
    const bool keypoints = rs.kind == GeometryKind::Keypoints;
    const bool ignore = is_gt && (row.crowd || (keypoints && row.no_keypoints));
    rs.push_scalars(row.id, lk.images.find(row.image_id), lk.categories.find(row.category_id), row.score, row.area,
                    row.crowd, ignore);
    if ((rs.kind == GeometryKind::Boxes || (keypoints && is_gt)) && !rs.boxes.shared()) rs.boxes.append(row.box);
}

}  // namespace zerlin
