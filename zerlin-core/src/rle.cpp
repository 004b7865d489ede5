// RLE codec, set operations and IoU kernels.
#include "zerlin/rle.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#include "zerlin/cancel.hpp"
#include "zerlin/error.hpp"

namespace zerlin {

void require_mask_size(uint64_t h, uint64_t w) {
    if (h == 0 || w <= UINT32_MAX / h) return;
    throw Error(ErrorKind::Overflow, "mask size " + std::to_string(h) + " x " + std::to_string(w) +
                                         " has 2^32 pixels or more, beyond the 32-bit pixel indices of masks");
}

// ---- codec -----------------------------------------------------------------

void rle_to_string_into(const Rle& r, std::string& out) {
    const std::vector<uint32_t>& c = r.counts;
    // A difference of two 32-bit runs needs at most 7 groups of 5 bits.
    out.resize(c.size() * 7);
    char* o = out.data();
    for (size_t i = 0; i < c.size(); ++i) {
        int64_t x = int64_t(c[i]);
        if (i > 2) x -= int64_t(c[i - 2]);
        for (;;) {
            int64_t g = x & 31;
            x >>= 5;  // arithmetic: negative values keep their sign
            const bool more = (g & 16) ? x != -1 : x != 0;
            if (more) g |= 32;
            *o++ = char(g + 48);
            if (!more) break;
        }
    }
    out.resize(size_t(o - out.data()));
}

namespace {

// Eight runs past the third, each written as one character (the common
// case: neighbouring columns differ little), decoded without a branch per
// character. False, with nothing read, when some character continues a value
// (a backslash does too, so escaped text falls back on its own).
template <class F>
bool eight_short_runs(const char* text, uint32_t& before_last, uint32_t& last, F& f) {
    uint8_t c[8];
    uint8_t any = 0;
    for (int k = 0; k < 8; ++k) {
        c[k] = uint8_t(uint8_t(text[k]) - 48);
        any |= c[k];
    }
    if (any & 32) return false;
    for (int k = 0; k < 8; ++k) {
        // A single group is a sign-extended 5-bit difference.
        const uint32_t run = before_last + uint32_t(int32_t((c[k] & 31) ^ 16) - 16);
        before_last = last;
        last = run;
        f(run);
    }
    return true;
}

// Where decoding a compressed counts string stopped: the next byte, how many
// runs came before it and the last two of them (later runs are differences).
struct DecodeState {
    size_t p = 0, i = 0;
    uint32_t before_last = 0, last = 0;  // runs i - 2 and i - 1
};

// Decodes the runs of a compressed counts string, escaped (doubled
// backslashes) or not, from `st` on, calling f(run) for each; Bounded stops
// after max_runs of them. Returns how many were decoded.
template <bool Escaped, bool Bounded, class F>
size_t decode_runs(std::string_view s, DecodeState& st, size_t max_runs, F& f) {
    const size_t n = s.size();
    size_t p = st.p, i = st.i, got = 0;
    uint32_t before_last = st.before_last, last = st.last;
    while (p < n && (!Bounded || got < max_runs)) {
        if (i > 2 && n - p >= 8 && (!Bounded || max_runs - got >= 8) &&
            eight_short_runs(s.data() + p, before_last, last, f)) {
            p += 8;
            i += 8;
            got += 8;
            continue;
        }
        uint64_t x = 0;
        for (size_t k = 0;; ++k) {
            if (Escaped && s[p] == '\\') {
                if (++p == n) throw_value("compressed counts string ends with an unpaired backslash");
            }
            const uint32_t c = uint8_t(uint8_t(s[p]) - 48);
            if (5 * k < 64) x |= uint64_t(c & 31) << (5 * k);
            // Last group of a value with its sign bit set: extend the sign.
            if ((c & 48) == 16 && 5 * (k + 1) <= 63) x |= ~uint64_t(0) << (5 * (k + 1));
            ++p;
            if (!(c & 32) || p == n) break;
        }
        if (i > 2) x += before_last;
        before_last = last;
        last = uint32_t(x);
        f(last);
        ++i;
        ++got;
    }
    st = DecodeState{p, i, before_last, last};
    return got;
}

template <bool Escaped, class F>
void for_each_run_of(std::string_view s, F& f) {
    DecodeState st;
    decode_runs<Escaped, false>(s, st, 0, f);
}

// Calls f(run) for each run length of a compressed counts string, in order.
template <class F>
void for_each_string_run(std::string_view s, bool escaped, F&& f) {
    if (escaped)
        for_each_run_of<true>(s, f);
    else
        for_each_run_of<false>(s, f);
}

// The bounding box of a mask's foreground runs, fed as (background,
// foreground) pairs; a trailing background run is never fed.
class RunBox {
  public:
    RunBox(uint32_t h, uint32_t w) : h_(h), xs_(w), ys_(h) {}

    void add(uint32_t background, uint32_t foreground) {
        ++pairs_;
        if (h_ == 0) return;
        move(background);
        if (foreground == 0) return;  // an empty foreground run covers no pixel
        any_ = true;
        const uint32_t x0 = col_, y0 = row_;
        move(foreground - 1);
        const uint32_t x1 = col_, y1 = row_;
        move(1);
        if (x0 < x1) {  // the run wraps into a later column
            ys_ = 0;
            ye_ = h_ - 1;
        }
        xs_ = std::min(xs_, x0);
        xe_ = std::max(xe_, x1);
        ys_ = std::min({ys_, y0, y1});
        ye_ = std::max({ye_, y0, y1});
    }

    void box(double out[4]) const {
        if (pairs_ != 0 && h_ == 0) {
            out[0] = out[1] = 0;
            out[2] = out[3] = 1;
        } else if (!any_) {
            out[0] = out[1] = out[2] = out[3] = 0;
        } else {
            out[0] = double(xs_);
            out[1] = double(ys_);
            out[2] = double(uint64_t(xe_) - xs_ + 1);
            out[3] = double(uint64_t(ye_) - ys_ + 1);
        }
    }

  private:
    // Advances the pixel counter by n, keeping its column and row without a
    // division for runs shorter than a column. The counter wraps at 2^32 as
    // the reference's does.
    void move(uint32_t n) {
        const uint32_t next = cc_ + n;
        const uint64_t row = uint64_t(row_) + n;
        if (next < cc_) {
            col_ = next / h_;
            row_ = next % h_;
        } else if (row < h_) {
            row_ = uint32_t(row);
        } else if (row < 2 * uint64_t(h_)) {
            ++col_;
            row_ = uint32_t(row - h_);
        } else {
            col_ += uint32_t(row / h_);
            row_ = uint32_t(row % h_);
        }
        cc_ = next;
    }

    uint32_t h_, xs_, ys_, xe_ = 0, ye_ = 0;
    uint32_t cc_ = 0, col_ = 0, row_ = 0;  // cc_ = col_ * h_ + row_ until it wraps
    size_t pairs_ = 0;
    bool any_ = false;
};

}  // namespace

uint32_t rle_string_area(std::string_view s, bool escaped) {
    uint32_t area = 0;
    bool foreground = false;
    for_each_string_run(s, escaped, [&](uint32_t run) {
        if (foreground) area += run;
        foreground = !foreground;
    });
    return area;
}

Rle rle_from_string(std::string_view s, uint32_t h, uint32_t w, bool escaped) {
    Rle r{h, w, {}};
    r.counts.reserve(s.size());
    for_each_string_run(s, escaped, [&](uint32_t run) { r.counts.push_back(run); });
    return r;
}

uint32_t rle_string_area_and_box(std::string_view s, uint32_t h, uint32_t w, bool escaped, double box[4]) {
    RunBox runs(h, w);
    uint32_t area = 0, background = 0;
    bool in_background = true;
    for_each_string_run(s, escaped, [&](uint32_t run) {
        if (in_background) {
            background = run;
        } else {
            area += run;
            runs.add(background, run);
        }
        in_background = !in_background;
    });
    runs.box(box);
    return area;
}

namespace {

// Number of leading bytes of p[0, n) equal to v. Whole 32-byte blocks are
// compared at once; the first differing byte is located word by word.
size_t equal_prefix(const uint8_t* p, size_t n, uint8_t v) {
    size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        const uint64_t pat = 0x0101010101010101ull * v;
        auto word = [&](size_t at) {
            uint64_t x;
            std::memcpy(&x, p + at, 8);
            return x ^ pat;
        };
        while (i + 32 <= n && (word(i) | word(i + 8) | word(i + 16) | word(i + 24)) == 0) i += 32;
        for (; i + 8 <= n; i += 8) {
            const uint64_t x = word(i);
            if (x) return i + size_t(std::countr_zero(x)) / 8;
        }
    }
    while (i < n && p[i] == v) ++i;
    return i;
}

}  // namespace

Rle rle_from_mask(const uint8_t* raster, size_t size, uint32_t h, uint32_t w) {
    thread_local std::vector<uint32_t> runs;
    runs.clear();
    uint8_t prev = 0;
    uint32_t run = 0;
    size_t i = 0;
    while (i < size) {
        const size_t k = equal_prefix(raster + i, size - i, prev);
        run += uint32_t(k);
        i += k;
        if (i == size) break;
        runs.push_back(run);
        run = 0;
        prev = raster[i];
    }
    runs.push_back(run);
    return Rle{h, w, std::vector<uint32_t>(runs.begin(), runs.end())};
}

void rle_decode_into(const Rle& r, uint8_t* dst, size_t n_pixels) {
    const std::vector<uint32_t>& c = r.counts;
    size_t pos = 0;
    for (size_t j = 0; j < c.size() && pos < n_pixels; j += 2) {
        pos = std::min(pos + c[j], n_pixels);
        if (j + 1 == c.size()) break;
        const size_t end = std::min(pos + c[j + 1], n_pixels);
        std::memset(dst + pos, 1, end - pos);
        pos = end;
    }
}

// ---- set operations --------------------------------------------------------

uint32_t rle_area(const Rle& r) {
    uint32_t a = 0;
    for (size_t j = 1; j < r.counts.size(); j += 2) a += r.counts[j];
    return a;
}

void rle_to_bbox(const Rle& r, double out[4]) {
    RunBox runs(r.h, r.w);
    for (size_t j = 0; j + 1 < r.counts.size(); j += 2) runs.add(r.counts[j], r.counts[j + 1]);
    runs.box(out);
}

namespace {

uint64_t run_sum(std::span<const uint32_t> runs) {
    uint64_t s = 0;
    for (uint32_t c : runs) s += c;
    return s;
}

// Run sources: a mask's runs, one at a time. next() gives false at the end,
// leaving its argument as it was.

class SpanRuns {
  public:
    explicit SpanRuns(std::span<const uint32_t> runs) noexcept : p_(runs.data()), end_(runs.data() + runs.size()) {}
    bool next(uint32_t& run) noexcept {
        if (p_ == end_) return false;
        run = *p_++;
        return true;
    }

  private:
    const uint32_t* p_;
    const uint32_t* end_;
};

// The runs of plain compressed counts, decoded a block at a time as they are
// asked for: a walk over two huge masks stores neither.
class StringRuns {
  public:
    explicit StringRuns(std::string_view s) noexcept : s_(s) {}
    bool next(uint32_t& run) {
        if (at_ == filled_ && !refill()) return false;
        run = block_[at_++];
        return true;
    }

  private:
    bool refill() {
        check_cancelled();  // one walk can take tens of millions of runs
        size_t k = 0;
        auto put = [&](uint32_t r) { block_[k++] = r; };
        filled_ = decode_runs<false, true>(s_, state_, kBlock, put);
        at_ = 0;
        return filled_ > 0;
    }

    static constexpr size_t kBlock = 1024;
    std::string_view s_;
    DecodeState state_;
    size_t at_ = 0, filled_ = 0;
    uint32_t block_[kBlock];
};

// A source of `runs` runs summing to `sum`, extended with background up to
// `target` >= sum pixels. Only malformed masks whose runs sum differently
// need it: a mask is background past its end, and a joint walk of two masks
// needs equal sums to stop. A last background run takes the padding where it
// fits; otherwise (background, foreground) pairs follow, the foreground empty.
template <class Source>
class PaddedRuns {
  public:
    PaddedRuns(Source src, uint64_t runs, uint32_t last, uint64_t sum, uint64_t target)
        : src_(std::move(src)), left_(runs), rest_(target - sum), empty_next_(runs % 2 == 1) {
        extend_last_ = runs % 2 == 1 && rest_ <= uint64_t(UINT32_MAX - last);
    }
    bool next(uint32_t& run) {
        if (left_ > 0) {
            if (!src_.next(run)) return false;
            if (--left_ == 0 && extend_last_) {
                run += uint32_t(rest_);
                rest_ = 0;
            }
            return true;
        }
        if (rest_ == 0) return false;
        if (empty_next_) {
            empty_next_ = false;
            run = 0;
            return true;
        }
        run = uint32_t(std::min<uint64_t>(rest_, UINT32_MAX));
        rest_ -= run;
        empty_next_ = true;
        return true;
    }

  private:
    Source src_;
    uint64_t left_, rest_;
    bool empty_next_, extend_last_;
};

// Copy of `runs` (summing to `sum`) padded up to `target`, as PaddedRuns reads them.
void pad_runs(std::span<const uint32_t> runs, uint64_t sum, uint64_t target, std::vector<uint32_t>& out) {
    out.clear();
    PaddedRuns<SpanRuns> src(SpanRuns(runs), runs.size(), runs.empty() ? 0 : runs.back(), sum, target);
    for (uint32_t run; src.next(run);) out.push_back(run);
}

// Reading position in a mask's runs (at least one) during a joint walk of two masks.
template <class Source>
struct RunCursor {
    Source src;
    uint32_t left = 0;  // pixels left in the current run
    bool fg = false;    // the current run is foreground

    explicit RunCursor(Source s) : src(std::move(s)) { src.next(left); }

    void take(uint32_t c) {
        left -= c;
        if (left == 0 && src.next(left)) fg = !fg;
    }
};

// Calls f(a, b) with two run lists of equal sums, padding the shorter one.
template <class F>
auto with_equal_sums(std::span<const uint32_t> a, uint64_t sa, std::span<const uint32_t> b, uint64_t sb, F&& f) {
    if (sa == sb) return f(a, b);
    std::vector<uint32_t> padded;
    if (sa < sb) {
        pad_runs(a, sa, sb, padded);
        return f(std::span<const uint32_t>(padded), b);
    }
    pad_runs(b, sb, sa, padded);
    return f(a, std::span<const uint32_t>(padded));
}

void merge_two(std::span<const uint32_t> a, std::span<const uint32_t> b, bool intersect, std::vector<uint32_t>& out) {
    out.clear();
    RunCursor<SpanRuns> ca(SpanRuns{a}), cb(SpanRuns{b});
    bool v = false;
    uint32_t cc = 0;
    for (;;) {
        const uint32_t c = std::min(ca.left, cb.left);
        cc += c;
        ca.take(c);
        cb.take(c);
        const bool prev = v;
        v = intersect ? (ca.fg && cb.fg) : (ca.fg || cb.fg);
        const bool done = uint32_t(ca.left + cb.left) == 0;
        if (v != prev || done) {
            out.push_back(cc);
            cc = 0;
        }
        if (done) break;
    }
}

}  // namespace

Rle rle_merge(std::span<const Rle* const> rles, bool intersect) {
    const size_t n = rles.size();
    if (n == 0) return Rle{};
    const Rle& r0 = *rles[0];
    if (n == 1) return r0;
    for (size_t i = 1; i < n; ++i)
        if (rles[i]->h != r0.h || rles[i]->w != r0.w) return Rle{};
    for (size_t i = 0; i < n; ++i)
        if (rles[i]->counts.empty()) return Rle{r0.h, r0.w, {}};

    std::vector<uint32_t> acc(r0.counts), next;
    uint64_t acc_sum = run_sum(acc);
    for (size_t i = 1; i < n; ++i) {
        const std::vector<uint32_t>& b = rles[i]->counts;
        const uint64_t b_sum = run_sum(b);
        with_equal_sums(acc, acc_sum, b, b_sum, [&](std::span<const uint32_t> x, std::span<const uint32_t> y) {
            merge_two(x, y, intersect, next);
        });
        acc.swap(next);
        acc_sum = run_sum(acc);
    }
    acc.shrink_to_fit();
    return Rle{r0.h, r0.w, std::move(acc)};
}

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
    size_t fg_begin, fg_end;  // foreground intervals, as [begin, end) pixel pairs in a shared array
};

// Interval lists take 16 bytes a foreground run, four times the mask itself:
// a mask with more runs than this (an adversarial one of tens of millions)
// is compared by walking its runs instead, which gives the same counts and
// needs no memory, so that memory stays bounded by the masks themselves.
constexpr size_t kMaxIntervalRuns = size_t(1) << 20;

bool keeps_intervals(uint64_t runs) {
    return runs / 2 <= kMaxIntervalRuns;
}

bool keeps_intervals(const Rle& r) {
    return keeps_intervals(r.counts.size());
}

// Box, area, run sum and (for all but huge masks) the foreground intervals of a mask.
MaskSummary summarise(const Rle& r, std::vector<uint64_t>& fg) {
    MaskSummary s;
    rle_to_bbox(r, s.box);
    s.h = r.h;
    s.w = r.w;
    s.area = rle_area(r);
    s.no_runs = r.counts.empty();
    s.intervals = keeps_intervals(r);
    s.packed = false;
    s.fg_begin = fg.size();
    uint64_t pos = 0;
    for (size_t j = 0; j < r.counts.size(); ++j) {
        const uint32_t c = r.counts[j];
        if (s.intervals && (j & 1) && c) {
            fg.push_back(pos);
            fg.push_back(pos + c);
        }
        pos += c;
    }
    s.fg_end = fg.size();
    s.sum = pos;
    return s;
}

// A packed mask's summary: it was taken once, and no intervals are kept.
MaskSummary summarise(const MaskRef& m, std::vector<uint64_t>& fg) {
    if (!m.packed) return summarise(*m.rle, fg);
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
    s.fg_begin = s.fg_end = fg.size();
    return s;
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
    if (m.packed) return f(StringRuns(m.packed->counts));
    return f(SpanRuns(m.rle->counts));
}

// Calls f with the runs of a mask summed to `sum` as a source padded to `target` pixels.
template <class F>
Overlap with_padded_runs(const MaskRef& m, uint64_t sum, uint64_t target, F&& f) {
    if (m.packed) {
        const PackedRle& p = *m.packed;
        return f(PaddedRuns<StringRuns>(StringRuns(p.counts), p.runs, p.last, sum, target));
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
uint64_t interval_intersection(const uint64_t* a, const uint64_t* a_end, const uint64_t* b, const uint64_t* b_end,
                               uint64_t lo, uint64_t hi) {
    // Skip the intervals that end at or before lo (ends are ascending).
    auto skip = [lo](const uint64_t* p, const uint64_t* e) {
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
        const uint64_t s = std::max(a[0], b[0]), e = std::min(a[1], b[1]);
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
double pair_iou(const MaskRef& dm, const MaskSummary& sd, const MaskRef& gm, const MaskSummary& sg, bool c, double hint,
                const std::vector<uint64_t>& fg) {
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
        if (sd.packed || sg.packed) {
            // Beyond the boxes' shared columns nothing overlaps: the whole masks give the same count.
            ov.i = uint32_t(with_runs(dm, [&](auto x) {
                return with_runs(gm, [&](auto y) { return streamed_intersection(std::move(x), std::move(y)); });
            }));
        } else {
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
    std::vector<uint64_t> fg;
    size_t intervals = 0;  // reserved at once: growing by doubling would hold up to twice as much
    for (const auto* side : {&dt, &gt})
        for (const MaskRef& m : *side)
            if (!m.packed && keeps_intervals(*m.rle)) intervals += (m.rle->counts.size() + 1) / 2;
    fg.reserve(2 * intervals);
    for (size_t d = 0; d < n_dt; ++d) sum[d] = summarise(dt[d], fg);
    for (size_t g = 0; g < n_gt; ++g) sum[n_dt + g] = summarise(gt[g], fg);

    for (size_t d = 0; d < n_dt; ++d) {
        check_cancelled();
        const MaskSummary& sd = sum[d];
        for (size_t g = 0; g < n_gt; ++g) {
            const MaskSummary& sg = sum[n_dt + g];
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

PackedRle pack_rle(std::string_view counts, uint32_t h, uint32_t w) {
    PackedRle p;
    p.h = h;
    p.w = w;
    p.counts = counts;
    RunBox box(h, w);
    uint32_t background = 0;
    for_each_string_run(counts, false, [&](uint32_t run) {
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
    return rle_from_string(p.counts, p.h, p.w, false);
}

}  // namespace zerlin
