#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "zerlin/accumulate.hpp"
#include "zerlin/error.hpp"
#include "zerlin/eval.hpp"

namespace zerlin {

namespace {

// NumPy's pairwise summation of a contiguous float64 array (its reduction
// starts from 0.0), so OKS sums round exactly as NumPy's do.
double pairwise_sum(const double* a, std::size_t n) {
    if (n < 8) {
        double res = 0.0;
        for (std::size_t i = 0; i < n; ++i) res += a[i];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (int j = 0; j < 8; ++j) r[j] = a[j];
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (int j = 0; j < 8; ++j) r[j] += a[i + j];
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i];
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

// max(0, v) that keeps NaN, as NumPy's max does.
inline double clamp_low(double v) {
    return (v != v || v > 0) ? v : 0.0;
}

}  // namespace

namespace {

// Below this every exp() is exactly 0.0 (exp underflows to zero from about -745.13).
constexpr double kExpUnderflow = -750.0;

// The extent [lo_x, hi_x] x [lo_y, hi_y] of a list of points, NaN left out.
struct Extent {
    double lo_x = INFINITY, hi_x = -INFINITY, lo_y = INFINITY, hi_y = -INFINITY;
    void add(double x, double y) {
        if (x < lo_x) lo_x = x;
        if (x > hi_x) hi_x = x;
        if (y < lo_y) lo_y = y;
        if (y > hi_y) hi_y = y;
    }
};

// The larger of the gaps between two intervals along one axis (0 where
// they meet or where a bound is NaN): every point of one lies at least this
// far from every point of the other, in rounded arithmetic too, since a
// rounded difference never falls below the rounded difference of the extremes.
inline double gap(double lo_a, double hi_a, double lo_b, double hi_b) {
    double g = 0.0;
    if (lo_a - hi_b > g) g = lo_a - hi_b;
    if (lo_b - hi_a > g) g = lo_b - hi_a;
    return g;
}

}  // namespace

// The similarity of each (detection, ground truth) pair, exactly as the
// reference computes it: per keypoint exp(-(dx^2 + dy^2) / var / area / 2),
// summed by NumPy's pairwise rule and averaged.
//
// A pair so far apart that every exponent is below kExpUnderflow has every
// term exactly 0.0, so its similarity is 0.0 without a single exp: the
// exponent's rounded operations are monotonic, so the distance between the
// two sides' extents (each keypoint at least that far) with the largest
// variance bounds every keypoint's exponent from above.
void oks_records(const RecordSet& dt, const RecordSet& gt, std::span<const uint32_t> dt_idx,
                 std::span<const uint32_t> gt_idx, std::span<const double> sigmas, bool use_area, double* out) {
    const std::size_t S = gt.keypoint_count;
    const std::size_t G = gt_idx.size(), D = dt_idx.size();
    if (dt.keypoint_count != S) throw_internal("keypoint counts of the two sides differ");
    if (sigmas.size() < S) throw_value("kpt_sigmas must have one value per keypoint");
    // var, then per ground truth its visible keypoints' x, y, variance and
    // index, then the exponents of one pair.
    std::vector<double> scratch(6 * S);
    double* var = scratch.data();
    double *vis_x = var + S, *vis_y = vis_x + S, *vis_var = vis_y + S, *terms = vis_var + S;
    std::vector<uint32_t> vis_k(S);
    for (std::size_t k = 0; k < S; ++k) var[k] = (sigmas[k] + sigmas[k]) * (sigmas[k] + sigmas[k]);
    double var_max = 0.0;
    for (std::size_t k = 0; k < S; ++k)
        if (var[k] > var_max) var_max = var[k];
    const bool far_skip = S > 0 && std::isfinite(var_max) && var_max > 0.0;
    std::vector<Extent> dt_extent(far_skip ? D : 0);
    for (std::size_t d = 0; d < dt_extent.size(); ++d) {
        const double* dk = dt.keypoints_of(dt_idx[d]);
        for (std::size_t k = 0; k < S; ++k) dt_extent[d].add(dk[2 * k], dk[2 * k + 1]);
    }
    for (std::size_t g = 0; g < G; ++g) {
        const uint32_t gr = gt_idx[g];
        const double* box = gt.boxes.data() + 4 * std::size_t(gr);
        const double* gk = gt.keypoints_of(gr);
        const uint8_t* vis = gt.visibility.data() + S * gr;
        const double area = use_area ? gt.areas[gr] : box[2] * box[3] * kKeypointBoxScale;
        const double a = area + kSpacingOfOne;
        const double x0 = box[0] - box[2], x1 = box[0] + box[2] * 2;
        const double y0 = box[1] - box[3], y1 = box[1] + box[3] * 2;
        std::size_t k1 = 0;
        Extent region;
        for (std::size_t k = 0; k < S; ++k) {
            if (!vis[k]) continue;
            vis_x[k1] = gk[2 * k];
            vis_y[k1] = gk[2 * k + 1];
            vis_var[k1] = var[k];
            vis_k[k1++] = uint32_t(k);
            region.add(gk[2 * k], gk[2 * k + 1]);
        }
        // Without visible keypoints, distances are to the box grown by its size on each side.
        if (k1 == 0) region = Extent{x0, x1, y0, y1};
        const bool skip_far = far_skip && a > 0.0;
        for (std::size_t d = 0; d < D; ++d) {
            double& sim = out[d * G + g];
            if (skip_far) {
                const Extent& e = dt_extent[d];
                const double gx = gap(e.lo_x, e.hi_x, region.lo_x, region.hi_x);
                const double gy = gap(e.lo_y, e.hi_y, region.lo_y, region.hi_y);
                if ((gx * gx + gy * gy) / var_max / a * -0.5 < kExpUnderflow) {
                    sim = 0.0;
                    continue;
                }
            }
            const double* dk = dt.keypoints_of(dt_idx[d]);
            std::size_t n = k1;
            if (k1 > 0) {
                for (std::size_t j = 0; j < k1; ++j) {
                    const double dx = dk[2 * vis_k[j]] - vis_x[j];
                    const double dy = dk[2 * vis_k[j] + 1] - vis_y[j];
                    terms[j] = (dx * dx + dy * dy) / vis_var[j] / a * -0.5;
                }
            } else {
                n = S;
                for (std::size_t k = 0; k < S; ++k) {
                    const double dx = clamp_low(x0 - dk[2 * k]) + clamp_low(dk[2 * k] - x1);
                    const double dy = clamp_low(y0 - dk[2 * k + 1]) + clamp_low(dk[2 * k + 1] - y1);
                    terms[k] = (dx * dx + dy * dy) / var[k] / a * -0.5;
                }
            }
            // A non-finite keypoint (or box, or area) is nowhere: it adds
            // nothing, and never more than a finite one would.
            for (std::size_t j = 0; j < n; ++j) terms[j] = std::isnan(terms[j]) ? 0.0 : std::exp(terms[j]);
            sim = pairwise_sum(terms, n) / double(n);  // 0/0 = NaN without keypoints
        }
    }
}

}  // namespace zerlin
