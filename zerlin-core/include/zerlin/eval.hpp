// The evaluation engine: per-category IoU, greedy matching and accumulation
// of precision, recall and scores over record sets, scheduled on the worker
// pool. Results never depend on the number of worker threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "zerlin/group.hpp"
#include "zerlin/params.hpp"
#include "zerlin/pool.hpp"
#include "zerlin/records.hpp"
#include "zerlin/timing.hpp"

namespace zerlin {

// Without use_area, a ground truth's keypoint scale is this share of its box area.
inline constexpr double kKeypointBoxScale = 0.53;

// Object keypoint similarity of the listed records, [d][g] at
// d * gt_idx.size() + g. Sums follow NumPy's pairwise order so that values
// agree with NumPy-based reference implementations.
void oks_records(const RecordSet& dt, const RecordSet& gt, std::span<const uint32_t> dt_idx,
                 std::span<const uint32_t> gt_idx, std::span<const double> sigmas, bool use_area, double* out);

// One evaluation-image record (category slot, area range, image): views
// into the columns of the EvalRecords it was read from.
struct EvalImage {
    int64_t image_id = 0;
    int64_t category_id = 0;  // -1 when categories are pooled
    uint32_t area_index = 0;
    uint64_t max_det = 0;
    std::span<const int64_t> dt_ids;      // D, score order
    std::span<const int64_t> gt_ids;      // G, non-ignored first
    std::span<const double> dt_scores;    // D
    std::span<const uint8_t> gt_ignore;   // G
    std::span<const int64_t> dt_matches;  // T x D: id of the GT taken, or 0
    std::span<const int64_t> gt_matches;  // T x G: id of the DT that took it, or 0
    std::span<const uint8_t> dt_ignore;   // T x D
};

// Evaluation-image records as columns: record r's detections are rows
// [dt_off[r], dt_off[r + 1]) of the detection columns and its ground truths
// rows [gt_off[r], gt_off[r + 1]); its T x D and T x G matrices start at T
// times those offsets. A per-batch loop makes millions of small records:
// a few growing buffers, not seven allocations each.
struct EvalRecords {
    struct Head {
        int64_t image_id = 0;
        int64_t category_id = 0;
        uint32_t area_index = 0;
        uint64_t max_det = 0;
    };
    std::size_t T = 0;
    std::vector<Head> heads;
    std::vector<uint32_t> dt_off{0}, gt_off{0};
    std::vector<int64_t> dt_ids, gt_ids, dt_matches, gt_matches;
    std::vector<double> dt_scores;
    std::vector<uint8_t> gt_ignore, dt_ignore;

    std::size_t size() const { return heads.size(); }
    EvalImage operator[](std::size_t r) const;
    // Room for this many records, detection rows and ground-truth rows (T set).
    void reserve(std::size_t records, std::size_t dts, std::size_t gts);
};

// The records of a run in one numbering, kept in the parts they were made in
// (one per category slot): joining them would copy every record into fresh
// memory once more, which a per-batch loop pays at every batch.
struct EvalRecordList {
    struct Place {
        uint32_t part = 0, row = 0;
    };
    std::vector<EvalRecords> parts;
    std::vector<Place> places;  // record r is row places[r].row of parts[places[r].part]

    std::size_t size() const { return places.size(); }
    EvalImage operator[](std::size_t r) const { return parts[places[r].part][places[r].row]; }
};

struct RunResult {
    std::size_t T = 0, R = 0, K = 0, A = 0, M = 0;
    std::vector<double> precision;  // [T, R, K, A, M]
    std::vector<double> recall;     // [T, K, A, M]
    std::vector<double> scores;     // [T, R, K, A, M]
    // When collected: one slot per (category slot, area range, image) in that
    // order, holding an index into eval_imgs or kNoRecord.
    static constexpr uint32_t kNoRecord = UINT32_MAX;
    std::vector<uint32_t> eval_slots;
    EvalRecordList eval_imgs;
};

// Per-instance verdicts as columns (bool columns as 0/1 bytes).
struct InstanceRows {
    std::vector<int64_t> dt_image_id, dt_category_id, dt_id, dt_gt_id;
    std::vector<double> dt_score, dt_iou;
    std::vector<uint8_t> dt_ignore;
    std::vector<int64_t> gt_image_id, gt_category_id, gt_id;
    std::vector<uint8_t> gt_ignore, gt_matched;
};

class Engine {
  public:
    // Builds both group indexes (timed into `group_index`). Keypoint sides
    // are brought to a common K. `timings` may carry the conversion figures;
    // a fresh set is made when null.
    Engine(EvalParams params, RecordSet gt, RecordSet dt, std::unique_ptr<TimingCells> timings = nullptr);
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    RunResult run(bool collect_eval_imgs, Pool& pool = Pool::global()) const;
    // The evaluation-image records alone (eval_imgs and eval_slots; the
    // precision, recall and score arrays stay empty): no accumulation and no
    // output arrays, for callers that read only the records.
    RunResult eval_records(Pool& pool = Pool::global()) const;

    // Verdicts at one (threshold index, area index, detection count); the
    // indices must lie inside iou_thrs and area_rng (ValueError otherwise).
    InstanceRows per_instance(std::size_t t_idx, std::size_t a_idx, uint64_t max_det,
                              Pool& pool = Pool::global()) const;

    // LVIS federated flags: ground-truth ignore (one byte per GT record),
    // non-exhaustive (image id, category id) pairs, whether crowd flags stay.
    void configure_lvis(std::span<const uint8_t> gt_ignore, std::span<const std::pair<int64_t, int64_t>> non_exhaustive,
                        bool preserve_crowds);

    const EvalParams& params() const noexcept { return params_; }
    const RecordSet& gt() const noexcept { return gt_; }
    const RecordSet& dt() const noexcept { return dt_; }
    const GroupIndex& gt_index() const noexcept { return gt_index_; }
    const GroupIndex& dt_index() const noexcept { return dt_index_; }
    const TimingCells& timings() const noexcept { return *timings_; }

  private:
    struct Category;
    struct Scratch;
    struct MaskScratch {
        std::vector<MaskRef> dt, gt;
        std::vector<uint8_t> crowd;
        std::vector<double> second;
    };
    void mask_iou(std::span<const uint32_t> di, std::span<const uint32_t> gi, double* out, MaskScratch& s) const;
    void box_ious(std::span<const uint32_t> di, std::span<const uint32_t> gi, double* out, MaskScratch& s) const;
    void keypoint_ious(std::span<const uint32_t> di, std::span<const uint32_t> gi, double* out, MaskScratch& s) const;
    void kinds_disagree(std::span<const uint32_t> di, std::span<const uint32_t> gi, double* out, MaskScratch& s) const;
    // The IoU of one image's detections (rows) and ground truths (columns),
    // by the geometry kind chosen once at construction.
    using IouFn = void (Engine::*)(std::span<const uint32_t>, std::span<const uint32_t>, double*, MaskScratch&) const;
    void lay_out(Category& c) const;
    void gather_entry(Category& c, std::size_t e, std::vector<uint32_t>& buf, std::vector<uint32_t>& tmp) const;
    void compute_ious(Category& c, Pool& pool) const;
    void match_area(Category& c, std::size_t a, Pool& pool) const;
    void match_entry(Category& c, std::size_t e, double lo, double hi, Scratch& s) const;
    // The one walk over evaluation entries: every category slot (in parallel
    // over slots) matched at area ranges [first_area, end_area), with
    // visit(category, slot, area) after each; each entry's matches kept
    // (Category::dt_match) only when asked.
    template <class F>
    void walk(std::size_t first_area, std::size_t end_area, Pool& pool, F&& visit, bool keep_matches) const;
    // Appends the evaluation-image record of entry e after matching at area a.
    void eval_image(const Category& c, std::size_t e, std::size_t a, EvalRecords& out) const;
    // Appends the records of a matched category's entries at area a, noting
    // their places among its A x I slots.
    void add_records(const Category& c, std::size_t a, EvalRecords& records, std::vector<uint32_t>& slots) const;
    // The per-instance rows of a matched category at one threshold.
    void instance_rows(const Category& c, std::size_t t_idx, uint64_t max_det, InstanceRows& o) const;

    EvalParams params_;
    RecordSet gt_;
    RecordSet dt_;
    GroupIndex gt_index_;
    GroupIndex dt_index_;
    // Each row's place in its side's packed_masks (kNotPacked when its mask
    // is not kept compressed); empty for a side that keeps none so.
    static constexpr uint32_t kNotPacked = ~uint32_t(0);
    std::vector<uint32_t> gt_packed_at_;
    std::vector<uint32_t> dt_packed_at_;
    std::unique_ptr<TimingCells> timings_;
    double mask_hint_ = 0;
    IouFn iou_ = nullptr;
};

}  // namespace zerlin
