// IoU kernels of boxes and masks, and masks kept compressed.
#include <algorithm>
#include <cmath>
#include <string>
#include <unordered_map>
#include <vector>

#include "rle_runs.hpp"
#include "zerlin/cancel.hpp"
#include "zerlin/error.hpp"
#include "zerlin/rle.hpp"

namespace zerlin {

using namespace detail;

// ---- IoU -------------------------------------------------------------------

namespace {

// A box with a non-finite coordinate or size covers nothing and overlaps
// nothing. (The reference lets a NaN through its min/max and may give such
// a box IoU 1; that would count it a true positive.)
inline bool finite_box(const double* b) {
    return std::isfinite(b[0]) && std::isfinite(b[1]) && std::isfinite(b[2]) && std::isfinite(b[3]);
}

inline double box_pair_iou(const double* d, const double* g, bool crowd) {
    if (!finite_box(d) || !finite_box(g)) return 0;
    const double iw = std::min(d[0] + d[2], g[0] + g[2]) - std::max(d[0], g[0]);
    if (!(iw > 0)) return 0;
    const double ih = std::min(d[1] + d[3], g[1] + g[3]) - std::max(d[1], g[1]);
    if (!(ih > 0)) return 0;
    const double i = iw * ih;
    const double da = d[2] * d[3];
    return crowd ? i / da : i / (da + g[2] * g[3] - i);
}

inline bool is_crowd(std::span<const uint8_t> crowd, size_t g) {
    return g < crowd.size() && crowd[g] != 0;
}

}  // namespace

void box_iou(const double* dt, size_t n_dt, const double* gt, size_t n_gt, std::span<const uint8_t> crowd,
             double* out) {
    if (n_dt == 0 || n_gt == 0) return;
    // Ground-truth corners and areas once, in columns, so the inner loop over
    // a row is straight-line code the compiler vectorises; every value is
    // computed by the same operations, in the same order, as box_pair_iou.
    std::vector<double> cols(5 * n_gt);
    double *gx1 = cols.data(), *gy1 = gx1 + n_gt, *gx2 = gy1 + n_gt, *gy2 = gx2 + n_gt, *ga = gy2 + n_gt;
    std::vector<uint8_t> gc(n_gt), gf(n_gt);
    for (size_t g = 0; g < n_gt; ++g) {
        const double* b = gt + 4 * g;
        gf[g] = finite_box(b);
        gx1[g] = b[0];
        gy1[g] = b[1];
        gx2[g] = b[0] + b[2];
        gy2[g] = b[1] + b[3];
        ga[g] = b[2] * b[3];
        gc[g] = is_crowd(crowd, g);
    }
    for (size_t d = 0; d < n_dt; ++d) {
        check_cancelled();
        const double* b = dt + 4 * d;
        const double dx1 = b[0], dy1 = b[1], dx2 = b[0] + b[2], dy2 = b[1] + b[3], da = b[2] * b[3];
        double* row = out + d * n_gt;
        if (!finite_box(b)) {
            std::fill(row, row + n_gt, 0.0);
            continue;
        }
        for (size_t g = 0; g < n_gt; ++g) {
            const double iw = std::min(dx2, gx2[g]) - std::max(dx1, gx1[g]);
            const double ih = std::min(dy2, gy2[g]) - std::max(dy1, gy1[g]);
            const double i = iw * ih;
            const double v = i / (gc[g] ? da : da + ga[g] - i);
            row[g] = (iw > 0 && ih > 0 && gf[g]) ? v : 0.0;
        }
    }
}

void box_iou_indexed(std::span<const double> dt_boxes, std::span<const double> gt_boxes,
                     std::span<const uint32_t> dt_idx, std::span<const uint32_t> gt_idx,
                     std::span<const uint8_t> crowd_by_gt_record, double* out) {
    const size_t n_dt_table = dt_boxes.size() / 4, n_gt_table = gt_boxes.size() / 4;
    for (uint32_t d : dt_idx)
        if (d >= n_dt_table) throw_internal("box_iou_indexed: detection index out of range");
    for (uint32_t g : gt_idx)
        if (g >= n_gt_table || g >= crowd_by_gt_record.size())
            throw_internal("box_iou_indexed: ground-truth index out of range");
    const size_t n_gt = gt_idx.size();
    for (size_t i = 0; i < dt_idx.size(); ++i) {
        const double* d = dt_boxes.data() + 4 * size_t(dt_idx[i]);
        for (size_t j = 0; j < n_gt; ++j) {
            const uint32_t g = gt_idx[j];
            out[i * n_gt + j] = box_pair_iou(d, gt_boxes.data() + 4 * size_t(g), crowd_by_gt_record[g] != 0);
        }
    }
}

namespace {

struct MaskSummary {
    double box[4];
    uint32_t h, w, area;
    uint64_t sum;
    bool no_runs;
    bool intervals;           // compared by its foreground intervals (below) rather than by a walk
    bool packed;              // intervals are read from its runs as they are needed, not held
    bool listed;              // its intervals are in the shared array (made on first use)
    size_t fg_begin, fg_end;  // foreground intervals, as [begin, end) pixel pairs in a shared array
};

// Interval lists take 8 bytes a foreground run, twice the mask itself: a
// mask with more runs than this (an adversarial one of tens of millions) is
// compared by walking its runs instead, which gives the same counts and
// needs no memory, so that memory stays bounded by the masks themselves.
constexpr size_t kMaxIntervalRuns = size_t(1) << 20;

bool keeps_intervals(uint64_t runs) {
    return runs / 2 <= kMaxIntervalRuns;
}

bool keeps_intervals(const Rle& r) {
    return keeps_intervals(r.counts.size());
}

// Area, run sum and box of runs fed one at a time (background first) in
// one pass, tracking only the row (no division per run), for images with
// rows. finish() is false for runs summing to 2^32 or more: rle_to_bbox's
// wrapping counter then decides the box.
class RunSummary {
  public:
    explicit RunSummary(uint32_t h) : h_(h), y_min_(h) {}

    void background(uint32_t bg) {
        pos_ += bg;
        row_ = advance(row_, bg);
    }

    void foreground(uint32_t fg) {
        pos_ += fg;
        if (fg == 0) return;
        area_ += fg;
        first_ = std::min(first_, pos_ - fg);
        last_ = pos_ - 1;
        const uint64_t end_row = uint64_t(row_) + fg - 1;
        if (end_row < h_) {
            y_min_ = std::min(y_min_, row_);
            y_max_ = std::max(y_max_, uint32_t(end_row));
            row_ = end_row + 1 == h_ ? 0 : uint32_t(end_row + 1);
        } else {
            wraps_ = true;
            row_ = advance(row_, fg);
        }
    }

    bool finish(uint32_t w, MaskSummary& s) const {
        if (pos_ > UINT32_MAX) return false;
        s.area = area_;
        s.sum = pos_;
        if (first_ == UINT64_MAX) {
            std::fill_n(s.box, 4, 0.0);
            return true;
        }
        const uint32_t y0 = wraps_ ? 0 : y_min_, y1 = wraps_ ? h_ - 1 : y_max_;
        const uint64_t x0 = std::min<uint64_t>(w, first_ / h_), x1 = last_ / h_;
        s.box[0] = double(x0);
        s.box[1] = double(y0);
        s.box[2] = double(x1 - x0 + 1);
        s.box[3] = double(uint64_t(y1) - y0 + 1);
        return true;
    }

  private:
    uint32_t advance(uint32_t row, uint32_t n) const {
        const uint64_t r = uint64_t(row) + n;
        if (r < h_) return uint32_t(r);
        return r - h_ < h_ ? uint32_t(r - h_) : uint32_t(r % h_);
    }

    uint32_t h_, y_min_, y_max_ = 0, row_ = 0, area_ = 0;
    uint64_t pos_ = 0, first_ = UINT64_MAX, last_ = 0;
    bool wraps_ = false;  // some foreground run spans two columns
};

bool summarise_runs(const uint32_t* c, size_t n, uint32_t h, uint32_t w, MaskSummary& s) {
    if (h == 0) return false;
    RunSummary runs(h);
    size_t j = 0;
    for (; j + 1 < n; j += 2) {
        runs.background(c[j]);
        runs.foreground(c[j + 1]);
    }
    if (j < n) runs.background(c[j]);
    return runs.finish(w, s);
}

// Box, area and run sum of a mask; its intervals wait for a pair that needs them.
MaskSummary summarise(const Rle& r) {
    MaskSummary s;
    s.h = r.h;
    s.w = r.w;
    s.no_runs = r.counts.empty();
    s.intervals = keeps_intervals(r);
    s.packed = false;
    s.listed = false;
    s.fg_begin = s.fg_end = 0;
    if (!summarise_runs(r.counts.data(), r.counts.size(), r.h, r.w, s)) {
        rle_to_bbox(r, s.box);
        s.area = rle_area(r);
        s.sum = 0;
        for (uint32_t c : r.counts) s.sum += c;
    }
    return s;
}

// A packed mask's summary: it was taken once, and no intervals are kept.
MaskSummary summarise(const MaskRef& m) {
    if (!m.packed) return summarise(*m.rle);
    const PackedRle& p = *m.packed;
    MaskSummary s;
    std::copy_n(p.box, 4, s.box);
    s.h = p.h;
    s.w = p.w;
    s.area = p.area;
    s.sum = p.sum;
    s.no_runs = p.runs == 0;
    s.intervals = keeps_intervals(p.runs);
    s.packed = true;
    s.listed = false;
    s.fg_begin = s.fg_end = 0;
    return s;
}

// A mask compared by its interval list: decoded, or kept compressed but
// short enough that its list stays small.
bool listable(const MaskRef& m) {
    return !m.packed || m.packed->counts.size() < kPackedMaskBytes;
}

// list_intervals for compressed counts, a (background, foreground) pair a step.
template <bool Escaped>
void list_text_intervals(std::string_view counts, std::vector<uint32_t>& fg) {
    RunReader<Escaped> runs(counts);
    uint32_t pos = 0;
    while (!runs.done()) {
        pos += runs.next();
        if (runs.done()) break;
        const uint32_t run = runs.next();
        if (run) {
            fg.push_back(pos);
            fg.push_back(pos + run);
        }
        pos += run;
    }
}

// Appends the foreground intervals of a listable mask whose runs sum below 2^32.
void list_intervals(const MaskRef& m, MaskSummary& s, std::vector<uint32_t>& fg) {
    s.fg_begin = fg.size();
    uint32_t pos = 0;
    bool foreground = false;
    auto add = [&](uint32_t run) {
        if (foreground && run) {
            fg.push_back(pos);
            fg.push_back(pos + run);
        }
        pos += run;
        foreground = !foreground;
    };
    if (m.packed)
        (m.packed->escaped ? list_text_intervals<true> : list_text_intervals<false>)(m.packed->counts, fg);
    else
        for (uint32_t c : m.rle->counts) add(c);
    s.fg_end = fg.size();
    s.listed = true;
}

struct Overlap {
    uint32_t i, u;  // intersection and union, in wrapping 32-bit arithmetic
};

// The joint run walk over two masks of one size with non-empty runs of equal sums.
template <class A, class B>
Overlap walk_overlap(A a, B b) {
    RunCursor<A> ca(std::move(a));
    RunCursor<B> cb(std::move(b));
    uint32_t u = 0, i = 0;
    for (;;) {
        const uint32_t c = std::min(ca.left, cb.left);
        if (ca.fg || cb.fg) {
            u += c;
            if (ca.fg && cb.fg) i += c;
        }
        ca.take(c);
        cb.take(c);
        if (uint32_t(ca.left + cb.left) == 0) break;
    }
    return {i, u};
}

// The foreground intervals of a run source, in order: [begin, end) pixel
// positions of its non-empty foreground runs, without wrapping.
template <class Source>
class ForegroundIntervals {
  public:
    explicit ForegroundIntervals(Source src) : src_(std::move(src)) {}
    bool next(uint64_t& begin, uint64_t& end) {
        for (uint32_t run; src_.next(run);) {
            const bool fg = fg_next_;
            fg_next_ = !fg_next_;
            pos_ += run;
            if (fg && run) {
                begin = pos_ - run;
                end = pos_;
                return true;
            }
        }
        return false;
    }

  private:
    Source src_;
    uint64_t pos_ = 0;
    bool fg_next_ = false;  // runs start with background
};

// Pixels in the foreground of both sources: interval_intersection over the
// whole masks, with the intervals read as they are needed.
template <class A, class B>
uint64_t streamed_intersection(A a, B b) {
    ForegroundIntervals<A> ia(std::move(a));
    ForegroundIntervals<B> ib(std::move(b));
    uint64_t a0, a1, b0, b1, n = 0;
    if (!ia.next(a0, a1) || !ib.next(b0, b1)) return 0;
    for (;;) {
        const uint64_t s = std::max(a0, b0), e = std::min(a1, b1);
        if (s < e) n += e - s;
        if (a1 < b1 ? !ia.next(a0, a1) : !ib.next(b0, b1)) return n;
    }
}

// Calls f with the runs of a mask as a source.
template <class F>
auto with_runs(const MaskRef& m, F&& f) {
    if (m.packed) return f(StringRuns(m.packed->counts, m.packed->escaped));
    return f(SpanRuns(m.rle->counts));
}

// Calls f with the runs of a mask summed to `sum` as a source padded to `target` pixels.
template <class F>
Overlap with_padded_runs(const MaskRef& m, uint64_t sum, uint64_t target, F&& f) {
    if (m.packed) {
        const PackedRle& p = *m.packed;
        return f(PaddedRuns<StringRuns>(StringRuns(p.counts, p.escaped), p.runs, p.last, sum, target));
    }
    const std::vector<uint32_t>& c = m.rle->counts;
    return f(PaddedRuns<SpanRuns>(SpanRuns(c), c.size(), c.back(), sum, target));
}

// The walk over two masks of one size with runs, whatever their form.
Overlap walk_overlap(const MaskRef& a, const MaskSummary& sa, const MaskRef& b, const MaskSummary& sb) {
    const uint64_t target = std::max(sa.sum, sb.sum);
    return with_padded_runs(a, sa.sum, target, [&](auto x) {
        return with_padded_runs(b, sb.sum, target, [&](auto y) { return walk_overlap(std::move(x), std::move(y)); });
    });
}

// Pixels in both interval lists within [lo, hi). Equals the walk's
// intersection whenever both masks' foreground lies in [lo, hi).
uint64_t interval_intersection(const uint32_t* a, const uint32_t* a_end, const uint32_t* b, const uint32_t* b_end,
                               uint64_t lo, uint64_t hi) {
    // Skip the intervals that end at or before lo (ends are ascending).
    auto skip = [lo](const uint32_t* p, const uint32_t* e) {
        size_t first = 0, count = size_t(e - p) / 2;
        while (count > 0) {
            const size_t half = count / 2;
            if (p[2 * (first + half) + 1] <= lo) {
                first += half + 1;
                count -= half + 1;
            } else {
                count = half;
            }
        }
        return p + 2 * first;
    };
    a = skip(a, a_end);
    b = skip(b, b_end);
    uint64_t n = 0;
    while (a != a_end && b != b_end && a[0] < hi && b[0] < hi) {
        const uint32_t s = std::max(a[0], b[0]), e = std::min(a[1], b[1]);
        if (s < e) n += e - s;
        if (a[1] < b[1])
            a += 2;
        else
            b += 2;
    }
    return n;
}

}  // namespace

namespace {

// The IoU of one pair with overlapping boxes (box_iou > 0), as rle_iou gives it.
double pair_iou(const MaskRef& dm, MaskSummary& sd, const MaskRef& gm, MaskSummary& sg, bool c, double hint,
                std::vector<uint32_t>& fg) {
    if (sd.h != sg.h || sd.w != sg.w) return -1;
    if (sd.no_runs || sg.no_runs) return 0;
    if (hint > 0) {
        // Largest intersection the areas and boxes allow bounds the IoU.
        const double ix =
            std::max(0.0, std::min(sd.box[0] + sd.box[2], sg.box[0] + sg.box[2]) - std::max(sd.box[0], sg.box[0]));
        const double iy =
            std::max(0.0, std::min(sd.box[1] + sd.box[3], sg.box[1] + sg.box[3]) - std::max(sd.box[1], sg.box[1]));
        const double a = std::min({double(sd.area), double(sg.area), ix * iy});
        const double u = c ? double(sd.area) : double(sd.area) + double(sg.area) - a;
        if (u > 0 && hint > a / u) return 0;
    }
    Overlap ov;
    if (sd.sum <= UINT32_MAX && sg.sum <= UINT32_MAX && sd.intervals && sg.intervals) {
        // Without 32-bit wrap-around the boxes bound the foreground,
        // so only the columns both boxes share need visiting.
        uint64_t lo = 0, hi = UINT64_MAX;
        if (sd.h > 0) {
            lo = uint64_t(std::max(sd.box[0], sg.box[0])) * sd.h;
            hi = uint64_t(std::min(sd.box[0] + sd.box[2], sg.box[0] + sg.box[2])) * sd.h;
        }
        if (!listable(dm) || !listable(gm)) {
            // Beyond the boxes' shared columns nothing overlaps: the whole masks give the same count.
            ov.i = uint32_t(with_runs(dm, [&](auto x) {
                return with_runs(gm, [&](auto y) { return streamed_intersection(std::move(x), std::move(y)); });
            }));
        } else {
            if (!sd.listed) list_intervals(dm, sd, fg);
            if (!sg.listed) list_intervals(gm, sg, fg);
            // data() + offset: the interval list may be empty.
            ov.i = uint32_t(interval_intersection(fg.data() + sd.fg_begin, fg.data() + sd.fg_end,
                                                  fg.data() + sg.fg_begin, fg.data() + sg.fg_end, lo, hi));
        }
        ov.u = sd.area + sg.area - ov.i;
    } else {
        ov = walk_overlap(dm, sd, gm, sg);
    }
    const uint32_t u = ov.i == 0 ? 1 : c ? sd.area : ov.u;
    return double(ov.i) / double(u);
}

}  // namespace

void rle_iou(std::span<const MaskRef> dt, std::span<const MaskRef> gt, std::span<const uint8_t> crowd, double hint,
             double* out) {
    const size_t n_dt = dt.size(), n_gt = gt.size();
    if (n_dt == 0 || n_gt == 0) return;
    std::vector<MaskSummary> sum(n_dt + n_gt);
    std::vector<uint32_t> fg;
    size_t intervals = 0;  // reserved at once: growing by doubling would hold up to twice as much
    for (const auto* side : {&dt, &gt})
        for (const MaskRef& m : *side)
            if (m.packed ? listable(m) : keeps_intervals(*m.rle))
                intervals += m.packed ? (m.packed->runs + 1) / 2 : (m.rle->counts.size() + 1) / 2;
    fg.reserve(2 * intervals);
    for (size_t d = 0; d < n_dt; ++d) sum[d] = summarise(dt[d]);
    for (size_t g = 0; g < n_gt; ++g) sum[n_dt + g] = summarise(gt[g]);

    for (size_t d = 0; d < n_dt; ++d) {
        check_cancelled();
        MaskSummary& sd = sum[d];
        for (size_t g = 0; g < n_gt; ++g) {
            MaskSummary& sg = sum[n_dt + g];
            const bool c = is_crowd(crowd, g);
            double& o = out[d * n_gt + g];
            o = box_pair_iou(sd.box, sg.box, c);
            if (o > 0) o = pair_iou(dt[d], sd, gt[g], sg, c, hint, fg);
        }
    }
}

void rle_iou(std::span<const Rle* const> dt, std::span<const Rle* const> gt, std::span<const uint8_t> crowd,
             double hint, double* out) {
    std::vector<MaskRef> refs(dt.size() + gt.size());
    for (size_t i = 0; i < dt.size(); ++i) refs[i].rle = dt[i];
    for (size_t i = 0; i < gt.size(); ++i) refs[dt.size() + i].rle = gt[i];
    const std::span<const MaskRef> all(refs);
    rle_iou(all.first(dt.size()), all.subspan(dt.size()), crowd, hint, out);
}

// ---- masks kept compressed -------------------------------------------------

namespace {

// pack_rle's one pass for images with rows: false where the runs sum to
// 2^32 or more (the wrapping box then needs the general pass).
template <bool Escaped>
bool summarise_text(std::string_view counts, uint32_t w, PackedRle& p) {
    RunSummary summary(p.h);
    RunReader<Escaped> runs(counts);
    uint32_t last = 0;
    while (!runs.done()) {
        last = runs.next();
        summary.background(last);
        if (runs.done()) break;
        last = runs.next();
        summary.foreground(last);
    }
    MaskSummary s;
    if (!summary.finish(w, s)) return false;
    p.area = s.area;
    p.sum = s.sum;
    p.runs = runs.count();
    p.last = last;
    std::copy_n(s.box, 4, p.box);
    return true;
}

}  // namespace

PackedRle pack_rle(std::string_view counts, uint32_t h, uint32_t w, bool escaped) {
    PackedRle p;
    p.h = h;
    p.w = w;
    p.counts = counts;
    p.escaped = escaped;
    if (h > 0 && (escaped ? summarise_text<true>(counts, w, p) : summarise_text<false>(counts, w, p))) return p;
    RunBox box(h, w);
    uint32_t background = 0;
    for_each_string_run(counts, escaped, [&](uint32_t run) {
        if (p.runs % 2 == 0) {
            background = run;
        } else {
            p.area += run;
            box.add(background, run);
        }
        ++p.runs;
        p.sum += run;
        p.last = run;
    });
    box.box(p.box);
    return p;
}

Rle unpack_rle(const PackedRle& p) {
    return rle_from_string(p.counts, p.h, p.w, p.escaped);
}

}  // namespace zerlin
