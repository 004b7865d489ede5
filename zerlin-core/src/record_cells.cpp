#include "zerlin/record_cells.hpp"

#include <algorithm>
#include <exception>

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
    uint64_t longest = 0, dets = 0, gts = 0;
    for (uint32_t r : cell.records) dets += c.dt_at[r + 1] - c.dt_at[r], gts += c.gt_at[r + 1] - c.gt_at[r];
    dt_off.reserve(cell.records.size() + 1), scores.reserve(dets), gt_ignore.reserve(gts);
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

template <class Column>
void reserve_share(Column& column, std::size_t read, std::size_t total) {
    const double projected = double(column.size()) / double(read) * double(total) * 1.25;
    if (projected > double(column.capacity())) column.reserve(std::size_t(projected) + 64);
}

}  // namespace

void RecordColumns::reserve_projected(std::size_t total) {
    const std::size_t read = size();
    if (read == 0 || total <= read) return;
    try {
        dt_at.reserve(total + 1), gt_at.reserve(total + 1);
        reserve_share(scores, read, total);
        reserve_share(matched, read, total);
        reserve_share(ignored, read, total);
        reserve_share(gt_ignore, read, total);
    } catch (const std::exception&) {
        // Refused room (bad_alloc, length_error): growing as needed may still succeed.
    }
}

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
