// The one way rows enter an evaluation side's record set, whichever input
// they come from (Python dicts in the binding, a compact handle in the core).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "zerlin/cancel.hpp"
#include "zerlin/error.hpp"
#include "zerlin/hashmap.hpp"
#include "zerlin/pipeline.hpp"
#include "zerlin/pool.hpp"
#include "zerlin/records.hpp"
#include "zerlin/timing.hpp"

namespace zerlin {

// Image id -> (height, width).
using ImageSizes = HashMap<std::int64_t, std::pair<std::uint32_t, std::uint32_t>>;

// id -> position, the later position winning for a repeated id.
class PositionTable {
  public:
    explicit PositionTable(const std::vector<std::int64_t>& ids);
    std::int32_t find(std::int64_t id) const {
        if (dense_) {
            const std::uint64_t k = std::uint64_t(id) - std::uint64_t(low_);
            return k < direct_.size() ? direct_[k] : -1;
        }
        const std::int32_t* p = map_.find(id);
        return p ? *p : -1;
    }

  private:
    // Ids within a few times their count of each other (categories, most
    // image ids) are looked up directly, by id - low_; others are hashed.
    bool dense_ = false;
    std::int64_t low_ = 0;
    std::vector<std::int32_t> direct_;
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

// Masks of rows of one or both sides, rasterised on their own thread while
// rows are still being read, then placed into their rows. Work not finished
// (the reading failed) is abandoned.
class PendingMasks {
  public:
    // `boundary_dilation` set: boundary bands are computed too.
    PendingMasks(std::optional<double> boundary_dilation, TimingCells& cells)
        : rasteriser_(boundary_dilation, cells), with_boundaries_(boundary_dilation.has_value()) {}
    ~PendingMasks();
    PendingMasks(const PendingMasks&) = delete;
    PendingMasks& operator=(const PendingMasks&) = delete;

    void submit(RecordSet& rs, std::uint32_t row, MaskJob job);

    // Each of `sides` (every set submitted to among them) gets one mask per
    // row, empty for rows never submitted; with `areas_from_masks` the
    // submitted rows take their areas from their masks.
    void finish(std::initializer_list<RecordSet*> sides, bool areas_from_masks);

  private:
    MaskRasteriser rasteriser_;
    bool with_boundaries_;
    bool finished_ = false;
    std::vector<std::pair<RecordSet*, std::uint32_t>> destinations_;
};

// The rows of one side in reading order, with the geometry each brings.
class SideBuilder {
  public:
    // `masks` receives the rows' mask jobs on mask kinds.
    SideBuilder(RecordSet& rs, bool is_gt, const Lookups& lk, PendingMasks* masks = nullptr)
        : rs_(rs), is_gt_(is_gt), lk_(lk), masks_(masks) {}

    void reserve(std::size_t rows);

    // Appends the row: ids mapped to positions (-1 when unknown), a ground
    // truth ignored when crowd (or, for keypoints, without any), the box kept
    // where the side's kind uses it (unless the side shares a whole box
    // column). Geometry other than boxes comes with the overloads below, or
    // apart (a handle's, once the rows that need it are known).
    void add(const AnnotationRow& row);
    // With its mask to rasterise.
    void add(const AnnotationRow& row, MaskJob job);
    // With its keypoints, flat (x, y, v); std::nullopt when it has none.
    void add(const AnnotationRow& row, std::optional<std::span<const double>> keypoints);

    // Rows 0..n-1 of a side still empty, row i being row_of(i), called on
    // the pool's workers (several at once: it must only read). The columns
    // are sized first and each row written in place, so that a side whose
    // rows are all at hand (a handle's) is not built a row at a time on one
    // thread. Its boxes must be shared or of no use to the side.
    template <class RowOf>
    void fill(std::size_t n, const RowOf& row_of) {
        if (rs_.size() != 0 || (keeps_boxes() && !rs_.boxes.shared()))
            throw_internal("rows filled in place into a side with rows or boxes of its own");
        rs_.resize_scalars(n);
        parallel_for(n, 4096, [&](std::size_t b, std::size_t e) {
            ImageCursor cursor;
            for (std::size_t i = b; i < e; ++i) {
                if (i % 1024 == 0) check_cancelled();
                set(i, row_of(i), cursor);
            }
        });
    }

    // ValueError unless a keypoint list of n values fits the side (checked
    // before its values are read, so a wrong length is reported first).
    void check_keypoint_length(std::size_t n) const { rs_.check_keypoint_length(n); }

  private:
    // The last image looked up: rows mostly come image by image.
    struct ImageCursor {
        std::int64_t id = 0;
        std::int32_t index = -2;
    };
    bool keeps_boxes() const noexcept {
        return rs_.kind == GeometryKind::Boxes || (rs_.kind == GeometryKind::Keypoints && is_gt_);
    }
    // Writes row i's scalar columns.
    void set(std::size_t i, const AnnotationRow& row, ImageCursor& cursor) const noexcept;

    RecordSet& rs_;
    bool is_gt_;
    const Lookups& lk_;
    PendingMasks* masks_;
    ImageCursor cursor_;
};

}  // namespace zerlin
