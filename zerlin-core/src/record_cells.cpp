#include "zerlin/record_cells.hpp"

#include <algorithm>

#include "stable_sort.hpp"
#include "zerlin/accumulate.hpp"
#include "zerlin/cancel.hpp"

namespace zerlin {

namespace {

// Per detection, per threshold: ignored where the ignore flag is set, else
// matched where the match flag is; then accumulated.
void accumulate_cell(const EvalParams& p, const RecordColumns& c, RecordCell& cell) {
    check_cancelled();
    const std::size_t T = c.T;
    std::vector<uint64_t> dt_off{0};
    std::vector<double> scores;
    std::vector<uint8_t> gt_ignore;
    uint64_t longest = 0;
    for (uint32_t r : cell.records) {
        scores.insert(scores.end(), c.scores.begin() + std::ptrdiff_t(c.dt_at[r]),
                      c.scores.begin() + std::ptrdiff_t(c.dt_at[r + 1]));
        dt_off.push_back(scores.size());
        gt_ignore.insert(gt_ignore.end(), c.gt_ignore.begin() + std::ptrdiff_t(c.gt_at[r]),
                         c.gt_ignore.begin() + std::ptrdiff_t(c.gt_at[r + 1]));
        longest = std::max<uint64_t>(longest, c.dt_at[r + 1] - c.dt_at[r]);
    }
    std::vector<Verdict> status(scores.size() * T);
    for (std::size_t e = 0; e < cell.records.size(); ++e) {
        const uint32_t r = cell.records[e];
        const std::size_t first = dt_off[e], D = dt_off[e + 1] - first;
        const uint8_t* m = c.matched.data() + c.dt_at[r] * T;  // the record's T x D flags
        const uint8_t* ig = c.ignored.data() + c.dt_at[r] * T;
        for (std::size_t d = 0; d < D; ++d)
            for (std::size_t t = 0; t < T; ++t)
                status[(first + d) * T + t] = ig[t * D + d]  ? Verdict::Ignored
                                              : m[t * D + d] ? Verdict::TruePositive
                                                             : Verdict::FalsePositive;
    }
    Accumulator acc(p, longest);
    acc.build_sorted(dt_off, scores);
    acc.accumulate(0, status, gt_ignore);
    cell.prec = std::move(acc.prec), cell.rec = std::move(acc.rec), cell.score = std::move(acc.score);
}

}  // namespace

void accumulate_cells(const EvalParams& p, const RecordColumns& columns, std::span<RecordCell> cells, Pool& pool) {
    pool.for_range(cells.size(), 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i)
            if (!cells[i].records.empty()) accumulate_cell(p, columns, cells[i]);
    });
}

void sort_by_key(std::vector<KeyedIndex>& items) {
    std::vector<KeyedIndex> scratch;
    detail::radix_sort(std::span<KeyedIndex>(items), scratch, [](const KeyedIndex& k) { return k.key; });
}

}  // namespace zerlin
