// Accumulation: precision, recall and scores of one category slot from the
// verdicts of its detections, as the reference's accumulate() computes them.
// The engine feeds it its own entries; the drop-in API feeds it the
// per-image records a caller hands back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "zerlin/params.hpp"

namespace zerlin {

// NumPy's spacing of 1.0, added to denominators as the reference does.
constexpr double kSpacingOfOne = 2.220446049250313e-16;

// What a detection counts as at one IoU threshold and area range.
enum class Verdict : uint8_t { Ignored, TruePositive, FalsePositive };

// Fills [T, R, A, M] precision and scores and [T, A, M] recall blocks of one
// category slot (-1 where an area has no ground truth that counts), using the
// thresholds, recall thresholds, area count and caps of `p`.
class Accumulator {
  public:
    // No entry holds more than `entry_limit` detections (a cap at or above it keeps them all).
    Accumulator(const EvalParams& p, uint64_t entry_limit);

    // The slot's detections, entry by entry (dt_off: E + 1 offsets into
    // dt_score), ranked by score; ties keep entry order. Call once.
    void build_sorted(const std::vector<uint64_t>& dt_off, const std::vector<double>& dt_score);

    // Area a's blocks from the detections' verdicts (T per detection, in
    // dt_score's order) and the ignore flags of the ground truths. `mixed`,
    // when given, flags each detection whose verdicts may differ between
    // thresholds; the others' are all their first.
    void accumulate(std::size_t a, const std::vector<Verdict>& status, const std::vector<uint8_t>& gt_ignore,
                    std::span<const uint8_t> mixed = {});

    std::vector<double> prec, rec, score;

  private:
    struct SortedDet {
        double score;
        uint32_t flat;  // position in dt_score
        uint32_t rank;  // position within its entry
    };
    // Precision, recall and scores at threshold t for cap m, from the
    // true and false positive bits of the selected positions in rank order.
    void sample(std::size_t t, std::size_t a, std::size_t m, bool filter, uint64_t npig);

    // Positions in sorted order as bits, 64 to a word: counting false
    // positives a word at a time is what makes the T x A x M passes cheap.
    struct Selection {
        std::vector<uint64_t> bits;  // the positions a cap keeps
        std::size_t count = 0;
        std::size_t first = 0;  // the first kept position (N when none)
    };

    const EvalParams& p_;
    uint64_t limit_;
    std::vector<SortedDet> sorted_;
    std::vector<Selection> selections_;        // per cap below the entry limit
    std::vector<uint64_t> tp_bits_, fp_bits_;  // T x words, area by area
    std::vector<uint64_t> plain_fp_;           // false positive at every threshold
    std::vector<uint64_t> need_;
    std::vector<uint32_t> tp_fp_, tp_pos_;
    std::vector<double> env_;
};

}  // namespace zerlin
