// Group index: which records of a side belong to which (category slot, image),
// in the order evaluation sees them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zerlin {

struct Group {
    uint32_t image;   // image index
    uint32_t start;   // first position in GroupIndex::order
    uint32_t length;  // number of records
};

struct CategoryRange {
    uint32_t first = 0;  // half-open range into GroupIndex::groups
    uint32_t end = 0;
};

struct GroupIndex {
    // Participating record indices sorted by (slot, image, category when
    // categories are pooled), stable in record index.
    std::vector<uint32_t> order;
    std::vector<Group> groups;
    std::vector<CategoryRange> category_ranges;  // one per category slot
};

// Records with image index or category index -1 take no part. With
// use_cats false every record falls into slot 0.
GroupIndex build_group_index(std::span<const int32_t> image_index, std::span<const int32_t> category_index,
                             std::size_t num_slots, bool use_cats);

// One image of a category slot with ground truths, detections or both.
struct ImageEntry {
    uint32_t image;
    uint32_t gt_start, gt_length;  // into the GT index's order; length 0 when absent (and so for dt)
    uint32_t dt_start, dt_length;
};

// The images of slot `slot` in ascending image index; `out` is overwritten.
void pair_images(const GroupIndex& gt, const GroupIndex& dt, std::size_t slot, std::vector<ImageEntry>& out);

enum class TopSelection { Automatic, DenseCells, GroupSort };

// One byte per detection record: 1 when it is among the first `limit` of its
// (image, slot) in score order (ties: category index when pooled, then
// record index), or when it does not participate; 0 otherwise.
std::vector<uint8_t> select_top_detections(std::span<const int32_t> image_index,
                                           std::span<const int32_t> category_index, std::span<const double> scores,
                                           std::size_t num_slots, bool use_cats, uint64_t limit,
                                           TopSelection how = TopSelection::Automatic);

}  // namespace zerlin
