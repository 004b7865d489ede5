// Column store of one side's annotations, the evaluation parameters and the
// phase timing cells. The engine reads nothing else: the binding layer fills
// these from Python objects (or a snapshot) and hands them over.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "zerlin/rle.hpp"

namespace zerlin {

// The similarity measure of an evaluation ("keypoints_crowd" maps to Keypoints).
enum class IouKind : uint8_t { Segm, Bbox, Keypoints, Boundary };

// What a record set holds per row besides the scalar columns.
enum class GeometryKind : uint8_t { Boxes, Masks, BoundaryMasks, Keypoints };

GeometryKind geometry_for(IouKind kind) noexcept;

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
    std::vector<double> boxes;
    // Keypoints: K (x, y) pairs per row starting at row * K; ground truth also
    // has K visibility bytes per row starting at row * K. Rows without a list
    // hold zeros, so the addressing never shifts.
    uint32_t keypoint_count = 0;  // K; 0 until the first non-empty list
    std::vector<double> keypoints;
    std::vector<uint8_t> visibility;
    // Masks and BoundaryMasks: one mask per row (and its boundary band).
    std::vector<Rle> masks;
    std::vector<Rle> boundaries;

    explicit RecordSet(GeometryKind k = GeometryKind::Boxes) : kind(k) {}

    std::size_t size() const noexcept { return ids.size(); }
    void reserve(std::size_t n);

    // Appends one row of scalar columns; geometry is appended separately.
    void push_scalars(int64_t id, int32_t image, int32_t category, double score, double area,
                      bool is_crowd, bool is_ignored);

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

// Evaluation parameters; dimensions T, R, K, A, M derive from them.
struct EvalParams {
    std::vector<int64_t> img_ids;
    std::vector<int64_t> cat_ids;
    std::vector<double> iou_thrs;
    std::vector<double> rec_thrs;
    std::vector<uint64_t> max_dets;
    std::vector<std::array<double, 2>> area_rng;
    bool use_cats = true;
    IouKind iou_kind = IouKind::Bbox;
    std::vector<double> kpt_sigmas;
    bool use_area = true;
    double boundary_dilation = 0.02;

    std::size_t num_slots() const noexcept { return use_cats ? cat_ids.size() : 1; }
    // L: the per-image detection limit, the last max_dets entry (0 when empty).
    uint64_t det_limit() const noexcept { return max_dets.empty() ? 0 : max_dets.back(); }
};

// Nanosecond phase totals, added to atomically from any thread.
struct TimingCells {
    std::atomic<uint64_t> gt_read{0};
    std::atomic<uint64_t> dt_read{0};
    std::atomic<uint64_t> read_blocked{0};
    std::atomic<uint64_t> rasterise{0};
    std::atomic<uint64_t> group_index{0};
    std::atomic<uint64_t> iou_cpu{0};
    std::atomic<uint64_t> match_cpu{0};
    std::atomic<uint64_t> accumulate_cpu{0};
};

// Monotonic stopwatch in nanoseconds.
class Stopwatch {
public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}
    uint64_t elapsed_ns() const {
        auto d = std::chrono::steady_clock::now() - start_;
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
    }
    void add_to(std::atomic<uint64_t>& cell) const {
        cell.fetch_add(elapsed_ns(), std::memory_order_relaxed);
    }

private:
    std::chrono::steady_clock::time_point start_;
};

}  // namespace zerlin
