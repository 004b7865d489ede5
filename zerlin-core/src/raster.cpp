// Polygon and box rasterisation straight into runs.
//
// The polygon is upsampled 5x and its edges are walked point by point; every
// step of the walk across the centre of a pixel column records where the
// polygon enters or leaves that column. Sorted, these crossings are the run
// boundaries. Every constant and rounding here decides which pixels are set
// and matches the COCO tools bit for bit.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "zerlin/error.hpp"
#include "zerlin/rle.hpp"

namespace zerlin {

namespace {

// double -> int32 as x86 truncation does it: out of range and NaN give INT32_MIN.
inline int32_t to_i32(double v) { return (v > -2147483649.0 && v < 2147483648.0) ? int32_t(v) : INT32_MIN; }

inline int64_t mod5(int64_t d) {
    const int64_t m = d % 5;
    return m < 0 ? m + 5 : m;
}

struct Point {
    int32_t u, v;  // upsampled column and row
};

// Edges longer than this along y are walked by jumping from one column change
// to the next instead of point by point.
constexpr int64_t kLinearWalk = 64;

// With w = 0 the column test compares against w - 1 wrapped to 2^64 - 1, so
// every column counts; any bound beyond the 32-bit range of D serves.
constexpr int64_t kNoColumnLimit = int64_t(1) << 40;

class CrossingCollector {
public:
    CrossingCollector(uint32_t h, uint32_t w, std::vector<uint32_t>& idx)
        : h_(h), hd_(double(h)), wmax_(double(uint64_t(w) - 1)),
          dmax_(w > 0 ? 5 * (int64_t(w) - 1) + 2 : kNoColumnLimit), idx_(idx) {}

    // Upsampled column boundary index D, lowest upsampled row of the step.
    void crossing(int64_t D, int32_t vmin) {
        if (mod5(D) != 2) return;  // not the centre of a pixel column
        const int64_t x = (D - 2) / 5;
        if (x < 0 || double(x) > wmax_) return;
        double yd = (double(vmin) + 0.5) / 5.0 - 0.5;
        if (yd < 0)
            yd = 0;
        else if (yd > hd_)
            yd = hd_;
        yd = std::ceil(yd);
        idx_.push_back(uint32_t(x) * h_ + uint32_t(to_i32(yd)));
    }

    void step(Point p, Point q) {
        if (q.u == p.u) return;
        crossing(q.u < p.u ? int64_t(q.u) : int64_t(q.u) - 1, std::min(p.v, q.v));
    }

    int64_t dmax() const { return dmax_; }

private:
    uint32_t h_;
    double hd_, wmax_;
    int64_t dmax_;
    std::vector<uint32_t>& idx_;
};

// First d in (lo, hi] with pred(d), given !pred(lo) and pred(hi) for a
// predicate monotone in d. Gallops from lo so short distances stay cheap.
template <class Pred>
int64_t first_true(int64_t lo, int64_t hi, Pred&& pred) {
    for (int64_t step = 1;; step *= 2) {
        const int64_t probe = std::min(lo + step, hi);
        if (pred(probe)) {
            hi = probe;
            break;
        }
        lo = probe;
    }
    while (hi - lo > 1) {
        const int64_t mid = lo + (hi - lo) / 2;
        (pred(mid) ? hi : lo) = mid;
    }
    return hi;
}

// Walks one edge, emitting crossings for every step including the one from
// the previous edge's last point; returns this edge's last point.
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
        for (; t <= t_end; t += 5) col.crossing(xs + t, std::min(v_at(t), v_at(t + 1)));
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
        return Point{to_i32(double(xs) + s * double(t) + 0.5), int32_t(ys + t)};
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

    // Long edge: u is monotone in d, so jump straight to each column change
    // and skip stretches whose changes all fall outside the image.
    const Point last = point(dy);
    const bool inc = last.u >= p.u;
    const int64_t dmax = col.dmax();
    auto u_at = [&](int64_t d) { return int64_t(point(d).u); };
    int64_t d = 0;
    int64_t u = p.u;
    while (u != last.u) {
        if (inc ? u > dmax : u <= 2) break;  // every later step lands beyond the image
        if (inc ? u < 2 : u - 1 > dmax) {
            // Steps before the image's first (last) column count for nothing.
            const int64_t target = inc ? 3 : dmax;
            if (inc ? last.u < target : last.u > target) break;
            const int64_t dn = first_true(d, dy, [&](int64_t x) { return inc ? u_at(x) >= target : u_at(x) <= target; });
            if (dn - 1 > d) {
                d = dn - 1;
                u = u_at(d);
            }
        }
        const int64_t uu = u;
        const int64_t dn = first_true(d, dy, [&](int64_t x) { return u_at(x) != uu; });
        const Point q = point(dn);
        col.step(point(dn - 1), q);
        d = dn;
        u = q.u;
    }
    return last;
}

// Sorted crossing indices -> runs, in place; returns the number of runs.
size_t crossings_to_runs(std::vector<uint32_t>& idx) {
    const size_t n = idx.size();
    if (n <= 20) {
        for (size_t i = 1; i < n; ++i) {
            const uint32_t x = idx[i];
            size_t j = i;
            for (; j > 0 && idx[j - 1] > x; --j) idx[j] = idx[j - 1];
            idx[j] = x;
        }
    } else {
        std::sort(idx.begin(), idx.end());
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

// Runs of one polygon, left in scratch.idx[0, returned count).
size_t polygon_runs(std::span<const double> xy, uint32_t h, uint32_t w, RasterScratch& scratch) {
    const size_t k = xy.size() / 2;
    std::vector<uint32_t>& idx = scratch.idx;
    idx.clear();
    if (k > 0) {
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
        CrossingCollector col(h, w, idx);
        Point prev{};
        for (size_t j = 0; j < k; ++j) prev = walk_edge(X[j], Y[j], X[j + 1], Y[j + 1], j ? &prev : nullptr, col);
    }
    idx.push_back(h * w);
    return crossings_to_runs(idx);
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
            Rle r = rle_from_string(std::get<CompressedCounts>(g).bytes, h, w, false);
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
