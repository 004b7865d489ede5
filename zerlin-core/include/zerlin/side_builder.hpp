// The one way rows enter an evaluation side's record set, whichever input
// they come from (Python dicts in the binding, a compact handle in the core).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "zerlin/hashmap.hpp"
#include "zerlin/records.hpp"

namespace zerlin {

// Image id -> (height, width).
using ImageSizes = HashMap<std::int64_t, std::pair<std::uint32_t, std::uint32_t>>;

// id -> position, the later position winning for a repeated id.
class PositionTable {
public:
    explicit PositionTable(const std::vector<std::int64_t>& ids);
    std::int32_t find(std::int64_t id) const {
        const std::int32_t* p = map_.find(id);
        return p ? *p : -1;
    }

private:
    HashMap<std::int64_t, std::int32_t> map_;
};

// The tables every side's rows are mapped through.
struct Lookups {
    PositionTable images;
    PositionTable categories;
    const ImageSizes& sizes;
};

// One annotation as the record set keeps it.
struct AnnotationRow {
    std::int64_t id = 0;
    std::int64_t image_id = 0;
    std::int64_t category_id = -1;
    double score = 0.0;
    double area = 0.0;
    const double* box = nullptr;  // x, y, w, h
    bool crowd = false;
    bool no_keypoints = false;  // num_keypoints absent, null or zero
};

// Appends the row: ids mapped to positions (-1 when unknown), a ground
// truth ignored when crowd (or, for keypoints, without any), the box kept
// where the side's kind uses it (unless the side shares a whole box column).
// Geometry other than boxes is added apart.
void append_row(RecordSet& rs, const AnnotationRow& row, bool is_gt, const Lookups& lk);

}  // namespace zerlin
