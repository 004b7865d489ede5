// Column store of one side's annotations. With the evaluation parameters
// (params.hpp) it is all the engine reads: the binding layer fills it from
// Python objects, or the core from a compact handle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "zerlin/rle.hpp"

namespace zerlin {

// The similarity measure of an evaluation ("keypoints_crowd" maps to Keypoints).
enum class IouKind : uint8_t { Segm, Bbox, Keypoints, Boundary };

// What a record set holds per row besides the scalar columns.
enum class GeometryKind : uint8_t { Boxes, Masks, BoundaryMasks, Keypoints };

GeometryKind geometry_for(IouKind kind) noexcept;

// COCO-WholeBody's keypoint lists: the body's ("keypoints") and the parts'
// ("foot_kpts", "face_kpts", "lefthand_kpts", "righthand_kpts").
enum class KeypointPart : uint8_t { Body, Foot, Face, LeftHand, RightHand };
inline constexpr std::size_t kKeypointPartCount = 5;
// COCO-WholeBody's result scores beside "score": "foot_score", "face_score",
// "lefthand_score", "righthand_score", "wholebody_score".
enum class PartScore : uint8_t { Foot, Face, LeftHand, RightHand, WholeBody };
inline constexpr std::size_t kPartScoreCount = 5;

// Boxes, four values [x, y, w, h] per row: appended row by row, or a
// compact handle's column shared as it stands (never copied).
class BoxColumn {
  public:
    void reserve(std::size_t values) { own_.reserve(values); }
    void append(const double* box) { own_.insert(own_.end(), box, box + 4); }
    // Every row's box at once, kept alive with its owner.
    void share(std::shared_ptr<const std::vector<double>> column) {
        own_.clear();
        shared_ = std::move(column);
    }
    bool shared() const noexcept { return shared_ != nullptr; }
    std::span<const double> values() const noexcept {
        return shared_ ? std::span<const double>(*shared_) : std::span<const double>(own_);
    }
    const double* data() const noexcept { return values().data(); }
    std::size_t size() const noexcept { return values().size(); }
    bool empty() const noexcept { return size() == 0; }

  private:
    std::vector<double> own_;
    std::shared_ptr<const std::vector<double>> shared_;
};

struct RecordSet {
    std::vector<int64_t> ids;
    std::vector<int32_t> image_index;     // position in img_ids, -1 when absent
    std::vector<int32_t> category_index;  // position in cat_ids, -1 when absent
    std::vector<double> scores;
    std::vector<double> areas;
    std::vector<uint8_t> crowd;
    std::vector<uint8_t> ignore;
    std::vector<uint8_t> non_exhaustive;

    GeometryKind kind = GeometryKind::Boxes;
    // [x, y, w, h] per row: the geometry for Boxes, the ground-truth box for
    // Keypoints (empty on a keypoint detection side).
    BoxColumn boxes;
    // Keypoints: K (x, y) pairs per row starting at row * K; ground truth also
    // has K visibility bytes per row starting at row * K. Rows without a list
    // hold zeros, so the addressing never shifts.
    uint32_t keypoint_count = 0;  // K; 0 until the first non-empty list
    std::vector<double> keypoints;
    std::vector<uint8_t> visibility;
    // Where a row's pairs start, in rows of `keypoints`, when not every row
    // holds its own: detections outside the evaluation (beyond the first L
    // of their group) share the zeros of slot 0. Empty: row r at slot r.
    std::vector<uint32_t> keypoint_slot;
    // Keypoint detections, one byte per row: whether any keypoint has a
    // positive confidence (xtcocotools leaves the others out).
    std::vector<uint8_t> scored;
    // Keypoint detections ranked by "score" because they lacked the part
    // score the evaluation asked for (xtcocotools warns of them).
    std::size_t score_fallbacks = 0;
    // Masks and BoundaryMasks: one mask per row (and its boundary band).
    std::vector<Rle> masks;
    std::vector<Rle> boundaries;
    // Rows whose mask is kept compressed (a huge one, or a detection's read
    // from a file): their compressed counts by row, rows ascending (masks[row]
    // holds only the size). A vector: a file's detections make many.
    std::vector<std::pair<uint32_t, PackedRle>> packed_masks;

    explicit RecordSet(GeometryKind k = GeometryKind::Boxes) : kind(k) {}

    std::size_t size() const noexcept { return ids.size(); }
    // A row's K (x, y) pairs.
    const double* keypoints_of(std::size_t row) const noexcept {
        const std::size_t slot = keypoint_slot.empty() ? row : keypoint_slot[row];
        return keypoints.data() + 2 * std::size_t(keypoint_count) * slot;
    }
    void reserve(std::size_t n);

    // Appends one row of scalar columns; geometry is appended separately.
    void push_scalars(int64_t id, int32_t image, int32_t category, double score, double area, bool is_crowd,
                      bool is_ignored);
    // Sizes the scalar columns to n rows, for set_scalars() to fill.
    void resize_scalars(std::size_t n);
    // Writes row `row` of the scalar columns (rows apart may be written from
    // several threads at once).
    void set_scalars(std::size_t row, int64_t id, int32_t image, int32_t category, double score, double area,
                     bool is_crowd, bool is_ignored) noexcept;

    // Throws ValueError unless a keypoints list of n values fits this side:
    // a multiple of 3, and 3K once K is fixed.
    void check_keypoint_length(std::size_t n) const;

    // Keypoint rows: call once per row, after push_scalars, with the row's
    // flat (x, y, v) list; checks its length first. Fixes K on the first
    // non-empty list and back-fills earlier rows with zeros.
    void push_keypoints(const double* xyv, std::size_t n, bool with_visibility);
    // A row whose keypoints are absent: zeros once K is known.
    void push_missing_keypoints(bool with_visibility);

    // Brings the keypoint storage to K for every row (zeros where a row had
    // none); used when the other side fixed K.
    void pad_keypoints(uint32_t k, bool with_visibility);
};

}  // namespace zerlin
