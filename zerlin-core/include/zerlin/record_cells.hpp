// accumulate() over per-image records a caller hands back (merged from
// several processes or batches): the records' values as columns, grouped
// into (category, area) cells, each cell accumulated as the reference does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "zerlin/params.hpp"
#include "zerlin/pool.hpp"

namespace zerlin {

// Records' values in the order they were read. Record r's detections are
// rows [dt_at[r], dt_at[r + 1]) of `scores`, and its T x D matched and
// ignored flags (threshold-major, as the records hold them) start at T times
// dt_at[r]; its ground truths' ignore flags are rows [gt_at[r], gt_at[r + 1]).
struct RecordColumns {
    std::size_t T = 0;
    std::vector<uint64_t> dt_at{0}, gt_at{0};
    std::vector<double> scores;
    std::vector<uint8_t> matched, ignored, gt_ignore;

    std::size_t size() const { return dt_at.size() - 1; }
    // Room for `total` records in all, projected (with a quarter's margin)
    // from the size() read so far: grown by doubling, each column would be
    // copied into fresh memory at every step, and on a long list of records
    // fresh memory (the kernel clearing its pages) is much of the cost. Room
    // never written stays address space only; a hint, so a refused request
    // is let go.
    void reserve_projected(std::size_t total);
    // Closes the record whose values were appended last.
    void close_record() {
        dt_at.push_back(scores.size());
        gt_at.push_back(gt_ignore.size());
    }
};

// One (category, area) cell: its records (indices into the columns) in the
// order the reference concatenates them, and, once accumulated, its
// [T, R, M] precision and scores and [T, M] recall.
struct RecordCell {
    std::size_t k = 0, a = 0;
    std::vector<uint32_t> records;
    std::vector<double> prec, rec, score;
};

// Accumulates every cell with records, side by side on the pool. `p` gives
// the recall thresholds and caps, and T through its iou_thrs' count.
void accumulate_cells(const EvalParams& p, const RecordColumns& columns, std::span<RecordCell> cells,
                      Pool& pool = Pool::global());

// A key and what it stands for.
struct KeyedIndex {
    uint64_t key;
    uint32_t index;
};

// Sorts by ascending key, keeping equal keys in their order.
void sort_by_key(std::vector<KeyedIndex>& items);

}  // namespace zerlin
