// Polygon and box rasterisation straight into runs.
//
// The polygon is upsampled 5x and its edges are walked point by point; every
// step of the walk across the centre of a pixel column records where the
// polygon enters or leaves that column. Sorted, these crossings are the run
// boundaries. Every constant and rounding here decides which pixels are set
// and matches the COCO tools bit for bit.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>

#include "zerlin/error.hpp"
#include "zerlin/rle.hpp"

namespace zerlin {

namespace {

// double -> int32 as x86 truncation does it: out of range and NaN give INT32_MIN.
inline int32_t to_i32(double v) {
    return (v > -2147483649.0 && v < 2147483648.0) ? int32_t(v) : INT32_MIN;
}

inline int64_t mod5(int64_t d) {
    const int64_t m = d % 5;
    return m < 0 ? m + 5 : m;
}

struct Point {
    int32_t u, v;  // upsampled column and row
};

// Edges longer than this along y are not walked point by point: only the
// steps that cross a pixel column's centre are looked up.
constexpr int64_t kLinearWalk = 8;

class CrossingCollector {
  public:
    CrossingCollector(uint32_t h, uint32_t w, std::vector<uint32_t>& idx)
        : h_(h), dmax_(5 * (int64_t(w) - 1) + 2), idx_(idx) {}

    // Upsampled column boundary index D, lowest upsampled row of the step.
    void crossing(int64_t D, int32_t vmin) {
        // Only the centre of a pixel column inside the image counts:
        // D = 5x + 2 with 0 <= x < w.
        if (D < 2 || D > dmax_) return;
        const uint64_t x = uint64_t(D - 2) / 5;
        if (uint64_t(D - 2) != 5 * x) return;
        column(uint32_t(x), vmin);
    }

    // A crossing at the centre of pixel column x (inside the image).
    void column(uint32_t x, int32_t vmin) {
        // Row ceil((vmin + 0.5) / 5 - 0.5) = ceil((vmin - 2) / 5), clamped to
        // [0, h]: 0 for vmin <= 2. (vmin - 2) / 5 is exact in doubles.
        uint64_t y = vmin > 2 ? (uint64_t(int64_t(vmin)) + 2) / 5 : 0;
        y = std::min<uint64_t>(y, h_);
        idx_.push_back(x * h_ + (y < 2147483648u ? uint32_t(y) : uint32_t(INT32_MIN)));
    }

    void step(Point p, Point q) {
        if (q.u == p.u) return;
        crossing(q.u < p.u ? int64_t(q.u) : int64_t(q.u) - 1, std::min(p.v, q.v));
    }

    int64_t dmax() const { return dmax_; }

  private:
    uint32_t h_;
    int64_t dmax_;
    std::vector<uint32_t>& idx_;
};

// First d in (lo, hi] with pred(d), given !pred(lo) and pred(hi) for a
// predicate monotone in d. The search starts at `guess` and gallops outward,
// so a good guess costs two or three probes.
template <class Pred>
int64_t first_true_near(int64_t lo, int64_t hi, int64_t guess, Pred&& pred) {
    guess = std::clamp(guess, lo + 1, hi);
    if (pred(guess)) {
        hi = guess;
        for (int64_t step = 1; hi - lo > 1; step *= 2) {
            const int64_t probe = std::max(lo + 1, hi - step);
            if (!pred(probe)) {
                lo = probe;
                break;
            }
            hi = probe;
        }
    } else {
        lo = guess;
        for (int64_t step = 1; hi - lo > 1; step *= 2) {
            const int64_t probe = std::min(hi - 1, lo + step);
            if (pred(probe)) {
                hi = probe;
                break;
            }
            lo = probe;
        }
    }
    while (hi - lo > 1) {
        const int64_t mid = lo + (hi - lo) / 2;
        (pred(mid) ? hi : lo) = mid;
    }
    return hi;
}

// to_i32 of a point on an edge with a finite slope. Narrow: the edge's ends
// lie within +-2^30, so the point does too and needs no range check.
template <bool Narrow>
inline int32_t edge_i32(double v) {
    return Narrow ? int32_t(v) : to_i32(v);
}

// Walks one edge, emitting crossings for every step including the one from
// the previous edge's last point; returns this edge's last point.
template <bool Narrow>
Point walk_edge(int64_t xs, int64_t ys, int64_t xe, int64_t ye, const Point* prev, CrossingCollector& col) {
    const int64_t dx = std::llabs(xe - xs), dy = std::llabs(ye - ys);
    if (dx >= dy) {
        const bool flip = xs > xe;
        if (flip) {
            std::swap(xs, xe);
            std::swap(ys, ye);
        }
        const double s = double(ye - ys) / double(dx);  // NaN for a zero-length edge
        auto v_at = [&](int64_t t) { return to_i32(double(ys) + s * double(t) + 0.5); };
        const int64_t t_first = flip ? dx : 0, t_last = flip ? 0 : dx;
        if (prev) col.step(*prev, Point{int32_t(xs + t_first), v_at(t_first)});
        // Consecutive points t, t + 1 always change column, at D = xs + t in
        // either direction; only D = 2 (mod 5) inside the image can count.
        int64_t t = std::max<int64_t>(0, 2 - xs);
        t += mod5(2 - (xs + t));
        const int64_t t_end = std::min(dx - 1, col.dmax() - xs);
        // xs + t = 5x + 2 inside the image here.
        // dx > 0 here: the slope is finite.
        auto v_in = [&](int64_t t) { return edge_i32<Narrow>(double(ys) + s * double(t) + 0.5); };
        for (uint32_t x = uint32_t((xs + t - 2) / 5); t <= t_end; t += 5, ++x)
            col.column(x, std::min(v_in(t), v_in(t + 1)));
        return Point{int32_t(xs + t_last), v_at(t_last)};
    }

    const bool flip = ys > ye;
    if (flip) {
        std::swap(xs, xe);
        std::swap(ys, ye);
    }
    const double s = double(xe - xs) / double(dy);
    // Point number d of the walk, which runs from the original start.
    auto point = [&](int64_t d) {
        const int64_t t = flip ? dy - d : d;
        return Point{edge_i32<Narrow>(double(xs) + s * double(t) + 0.5), int32_t(ys + t)};
    };
    Point p = point(0);
    if (prev) col.step(*prev, p);
    if (dy <= kLinearWalk) {
        for (int64_t d = 1; d <= dy; ++d) {
            const Point q = point(d);
            col.step(p, q);
            p = q;
        }
        return p;
    }

    // Longer edge: u is monotone along the walk and changes by at most one
    // or two per step, so only the steps where u passes a column centre
    // (D = 2 mod 5, inside the image) can count. Each is located from the
    // line equation and confirmed with the exact point formula.
    const Point last = point(dy);
    if (last.u == p.u) return last;
    const bool inc = last.u > p.u;
    // u along the walk is trunc(a + b * d) with a, b as below.
    const double a = flip ? double(xs) + s * double(dy) + 0.5 : double(xs) + 0.5;
    const double b = flip ? -s : s;
    // Increasing: the step reaching u >= D + 1 crosses D. Decreasing: the
    // step reaching u <= D does.
    int64_t lo_d = inc ? p.u : last.u, hi_d = inc ? int64_t(last.u) - 1 : int64_t(p.u) - 1;
    lo_d = std::max<int64_t>(lo_d, 2);
    hi_d = std::min(hi_d, col.dmax());
    if (lo_d > hi_d) return last;
    int64_t first = lo_d + mod5(2 - lo_d), final = hi_d - mod5(hi_d - 2);
    if (first > final) return last;
    const int64_t n_targets = (final - first) / 5 + 1;
    int64_t lo = 0, prev_found = -1;
    for (int64_t k = 0; k < n_targets; ++k) {
        const int64_t D = inc ? first + 5 * k : final - 5 * k;
        auto reached = [&](int64_t d) { return inc ? point(d).u >= D + 1 : point(d).u <= D; };
        const double exact = (double(D) + 1.0 - a) / b;
        const int64_t guess = exact > double(dy) ? dy : exact < 0 ? 1 : int64_t(std::ceil(exact));
        const int64_t d = first_true_near(lo, dy, guess, reached);
        if (d != prev_found) col.step(point(d - 1), point(d));
        prev_found = d;
        lo = d - 1;
    }
    return last;
}

// LSD radix sort on bytes; a byte that all keys share costs no pass (image
// indices rarely use the top byte).
void radix_sort(std::vector<uint32_t>& v, std::vector<uint32_t>& tmp) {
    const size_t n = v.size();
    tmp.resize(n);
    uint32_t hist[4][256] = {};
    for (uint32_t x : v)
        for (int b = 0; b < 4; ++b) ++hist[b][(x >> (8 * b)) & 255];
    uint32_t* src = v.data();
    uint32_t* dst = tmp.data();
    for (int b = 0; b < 4; ++b) {
        const int shift = 8 * b;
        if (hist[b][(src[0] >> shift) & 255] == n) continue;
        uint32_t offset[256];
        uint32_t sum = 0;
        for (int d = 0; d < 256; ++d) {
            offset[d] = sum;
            sum += hist[b][d];
        }
        for (size_t i = 0; i < n; ++i) dst[offset[(src[i] >> shift) & 255]++] = src[i];
        std::swap(src, dst);
    }
    if (src != v.data()) std::copy(src, src + n, v.data());
}

// Sorts by the top bits of each key's offset from the least, one bucket per
// two keys or so, then finishes with an insertion sort. A polygon's crossings
// spread over its columns, so buckets hold a key or two and the pass is
// nearly linear; false (nothing changed) when some bucket is crowded, for the
// radix sort to take.
bool bucket_sort(std::vector<uint32_t>& v, std::vector<uint32_t>& tmp, std::vector<uint32_t>& count) {
    constexpr uint32_t kCrowded = 32;
    const size_t n = v.size();
    const auto [lo_it, hi_it] = std::minmax_element(v.begin(), v.end());
    const uint32_t lo = *lo_it, range = *hi_it - lo;
    const int want_bits = int(std::bit_width(n / 2));
    const int shift = std::max(0, int(std::bit_width(range)) - want_bits);
    const size_t buckets = size_t(range >> shift) + 1;
    count.assign(buckets + 1, 0);
    for (uint32_t x : v) ++count[((x - lo) >> shift) + 1];
    uint32_t crowd = 0;
    for (size_t b = 1; b <= buckets; ++b) {
        crowd = std::max(crowd, count[b]);
        count[b] += count[b - 1];
    }
    if (crowd > kCrowded) return false;
    tmp.resize(n);
    for (uint32_t x : v) tmp[count[(x - lo) >> shift]++] = x;
    for (size_t i = 1; i < n; ++i) {
        const uint32_t x = tmp[i];
        size_t j = i;
        for (; j > 0 && tmp[j - 1] > x; --j) tmp[j] = tmp[j - 1];
        tmp[j] = x;
    }
    v.swap(tmp);
    return true;
}

// Sorted crossing indices -> runs, in place; returns the number of runs.
size_t crossings_to_runs(std::vector<uint32_t>& idx, RasterScratch& scratch) {
    std::vector<uint32_t>& tmp = scratch.sort_tmp;
    const size_t n = idx.size();
    if (n <= 20) {
        for (size_t i = 1; i < n; ++i) {
            const uint32_t x = idx[i];
            size_t j = i;
            for (; j > 0 && idx[j - 1] > x; --j) idx[j] = idx[j - 1];
            idx[j] = x;
        }
    } else if (n <= 128) {
        std::sort(idx.begin(), idx.end());
    } else if (!bucket_sort(idx, tmp, scratch.buckets)) {
        radix_sort(idx, tmp);
    }
    uint32_t last = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t x = idx[i];
        idx[i] = x - last;
        last = x;
    }
    // Two crossings at one pixel cancel: drop the empty run and join its neighbours.
    size_t m = 1;
    for (size_t i = 1; i < n; ++i) {
        if (idx[i] > 0) {
            idx[m++] = idx[i];
        } else if (++i < n) {
            idx[m - 1] += idx[i];
        }
    }
    return m;
}

// Most crossings the walk can record for the upsampled vertices X (closed:
// X[k] = X[0]): per edge the column centres (D = 2 mod 5) it spans inside
// the image, plus the step joining it to the previous edge.
uint64_t crossing_bound(const std::vector<int32_t>& X, size_t k, uint32_t w) {
    const int64_t dmax = 5 * (int64_t(w) - 1) + 2;
    uint64_t n = 0;
    for (size_t j = 0; j < k; ++j) {
        const int64_t lo = std::max<int64_t>(std::min(X[j], X[j + 1]), 2);
        const int64_t hi = std::min<int64_t>(std::max(X[j], X[j + 1]), dmax);
        n += (hi >= lo ? uint64_t(hi - lo) / 5 + 1 : 0) + 1;
    }
    return n;
}

// Runs of one polygon, left in scratch.idx[0, returned count). An empty
// image, or a polygon with a non-finite coordinate, gives the empty mask:
// such geometry covers no pixel.
size_t polygon_runs(std::span<const double> xy, uint32_t h, uint32_t w, RasterScratch& scratch) {
    const size_t k = xy.size() / 2;
    std::vector<uint32_t>& idx = scratch.idx;
    idx.clear();
    const bool finite =
        std::all_of(xy.begin(), xy.begin() + std::ptrdiff_t(2 * k), [](double v) { return std::isfinite(v); });
    if (k > 0 && h > 0 && w > 0 && finite) {
        std::vector<int32_t>& X = scratch.xs;
        std::vector<int32_t>& Y = scratch.ys;
        X.resize(k + 1);
        Y.resize(k + 1);
        for (size_t j = 0; j < k; ++j) {
            X[j] = to_i32(5.0 * xy[2 * j] + 0.5);
            Y[j] = to_i32(5.0 * xy[2 * j + 1] + 0.5);
        }
        X[k] = X[0];
        Y[k] = Y[0];
        // The crossings, their sort buffer and buckets.
        require_memory(12 * crossing_bound(X, k, w), "the crossings of a polygon");
        CrossingCollector col(h, w, idx);
        Point prev{};
        constexpr int32_t kNarrow = int32_t(1) << 30;
        auto narrow = [&](int32_t v) { return v >= -kNarrow && v <= kNarrow; };
        const bool all_narrow = std::all_of(X.begin(), X.end(), narrow) && std::all_of(Y.begin(), Y.end(), narrow);
        for (size_t j = 0; j < k; ++j) {
            const Point* last = j ? &prev : nullptr;
            prev = all_narrow ? walk_edge<true>(X[j], Y[j], X[j + 1], Y[j + 1], last, col)
                              : walk_edge<false>(X[j], Y[j], X[j + 1], Y[j + 1], last, col);
        }
    }
    idx.push_back(h * w);
    return crossings_to_runs(idx, scratch);
}

}  // namespace

Rle rle_from_polygon(std::span<const double> xy, uint32_t h, uint32_t w, RasterScratch& scratch) {
    const size_t m = polygon_runs(xy, h, w, scratch);
    return Rle{h, w, std::vector<uint32_t>(scratch.idx.begin(), scratch.idx.begin() + m)};
}

Rle rle_from_bbox(const double box[4], uint32_t h, uint32_t w, RasterScratch& scratch) {
    const double x0 = box[0], y0 = box[1], x1 = box[0] + box[2], y1 = box[1] + box[3];
    const double xy[8] = {x0, y0, x0, y1, x1, y1, x1, y0};
    return rle_from_polygon(xy, h, w, scratch);
}

Rle rle_from_bbox(const double box[4], uint32_t h, uint32_t w) {
    RasterScratch scratch;
    return rle_from_bbox(box, h, w, scratch);
}

Rle rle_from_polygons(const Polygons& poly, uint32_t h, uint32_t w, RasterScratch& scratch) {
    const size_t n = poly.ends.size();
    uint32_t begin = 0;
    for (uint32_t end : poly.ends) {
        if (end < begin || end > poly.coords.size()) throw_internal("polygon ring offsets out of order");
        begin = end;
    }
    if (n == 0) return Rle{};
    std::span<const double> all(poly.coords);
    if (n == 1) return rle_from_polygon(all.first(poly.ends[0]), h, w, scratch);

    if (scratch.rings.size() < n) scratch.rings.resize(n);
    scratch.ring_ptrs.clear();
    begin = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t end = poly.ends[i];
        const size_t m = polygon_runs(all.subspan(begin, end - begin), h, w, scratch);
        Rle& ring = scratch.rings[i];
        ring.h = h;
        ring.w = w;
        ring.counts.assign(scratch.idx.begin(), scratch.idx.begin() + m);
        scratch.ring_ptrs.push_back(&ring);
        begin = end;
    }
    return rle_merge(scratch.ring_ptrs, false);
}

Rle geometry_to_rle(const Geometry& g, uint32_t h, uint32_t w, RasterScratch& scratch) {
    switch (g.index()) {
        case 1:
            return rle_from_polygons(std::get<Polygons>(g), h, w, scratch);
        case 2:
            return Rle{h, w, std::get<UncompressedCounts>(g).runs};
        case 3: {
            const CompressedCounts& c = std::get<CompressedCounts>(g);
            Rle r = rle_from_string(c.text(), h, w, c.escaped);
            r.counts.shrink_to_fit();
            return r;
        }
        case 4:
            return rle_from_bbox(std::get<BoxGeom>(g).box, h, w, scratch);
        default:
            return Rle{};
    }
}

}  // namespace zerlin
