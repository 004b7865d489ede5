#include "zerlin/eval.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>

#include "os/os.hpp"
#include "stable_sort.hpp"
#include "zerlin/accumulate.hpp"
#include "zerlin/cancel.hpp"
#include "zerlin/error.hpp"
#include "zerlin/rle.hpp"

namespace zerlin {

namespace {

constexpr double kMaxThreshold = 1.0 - 1e-10;
constexpr std::size_t kMinPiece = 64;
// Detection x ground-truth pairs matched between two checks for a cancel.
constexpr uint64_t kCancelWork = 4096;

// n verdicts set to v, eight at a time: n is small (the thresholds), too
// small for a call to memset to pay.
inline void fill_verdicts(Verdict* out, std::size_t n, Verdict v) {
    const uint64_t pattern = uint64_t(0x0101010101010101) * uint8_t(v);
    if (n < 8) {
        for (std::size_t t = 0; t < n; ++t) out[t] = v;
        return;
    }
    for (std::size_t t = 0; t + 8 <= n; t += 8) std::memcpy(out + t, &pattern, 8);
    std::memcpy(out + n - 8, &pattern, 8);  // the tail, overlapping
}

// The position in [0, G) of the largest IoU at or above thr among those not
// taken, the first of equals (-1 if none), looking at [kept, G) only when
// [0, kept) has none. NaN is taken by any comparison, as in the reference.
inline std::ptrdiff_t best_match(const double* row, const uint8_t* taken, std::size_t kept, double thr, std::size_t G) {
    std::ptrdiff_t m = -1;
    double best = thr;
    for (std::size_t q = 0; q < G; ++q) {
        if (q == kept && m >= 0) break;
        if (taken[q]) continue;
        const double v = row[q];
        if (v < best) continue;
        best = v;
        m = static_cast<std::ptrdiff_t>(q);
    }
    return m;
}

}  // namespace

// Per-category working set: image entries, their IoU results (flat, with
// per-entry offsets) and the match results of the current area range.

// What matching needs to know of a ground truth besides its area.
struct GtFlags {
    bool ignored;  // ignored whatever the area range (crowd, or no keypoints)
    bool crowd;    // may be matched by any number of detections
};

struct Engine::Category {
    std::size_t slot = 0;
    std::vector<ImageEntry> entries;
    std::vector<uint64_t> dt_off, gt_off, mat_off;  // E + 1 prefix sums of D, G, D*G
    std::vector<uint32_t> dt_rec;                   // retained detections, score order
    std::vector<uint32_t> gt_rec;                   // ground truths, group order
    std::vector<double> iou;                        // D x G per entry
    std::vector<double> row_max;                    // D per entry
    // Record columns gathered in retained / group order, so that matching
    // and accumulation read them sequentially.
    std::vector<double> dt_area, dt_score, gt_area;
    std::vector<uint8_t> dt_flagged;  // non-exhaustive
    std::vector<GtFlags> gt_flags;
    // Match results of one area range, rewritten for the next.
    std::vector<Verdict> status;     // D x T per entry ([d][t])
    std::vector<uint8_t> mixed;      // D per entry: matched at some threshold
    std::vector<uint8_t> gt_ignore;  // G per entry, GT order
    std::vector<int32_t> gt_order;   // G per entry: position in group order
    std::vector<int32_t> dt_match;   // T x D per entry ([t][d]): GT order position or -1
    bool keep_matches = true;        // dt_match is wanted (records, per-instance rows)
    // The detection columns gathering reads, at the category's positions in
    // dt_index_.order from dt_first on (boxes only for box IoU).
    uint32_t dt_first = 0;
    std::vector<double> at_score, at_area, at_box;

    std::size_t D(std::size_t e) const { return dt_off[e + 1] - dt_off[e]; }
    std::size_t G(std::size_t e) const { return gt_off[e + 1] - gt_off[e]; }
};

// Per-piece scratch, reused across the entries of a piece.
struct Engine::Scratch {
    std::vector<uint32_t> sort_buf, sort_tmp;
    std::vector<uint8_t> gt_taken;  // T x G
    std::vector<uint8_t> group_ignore;
    std::vector<double> thr;        // the IoU thresholds, capped
    double lowest = 0.0;            // a best IoU below this matches at no threshold
    std::vector<uint8_t> crowd_at;  // G, by position in the group order
    std::vector<double> row;        // one detection's IoUs in the group order
};

// Engines of fewer rows leave the allocator's free memory where it is.
constexpr std::size_t kReleaseRows = 100000;

Engine::Engine(EvalParams params, RecordSet gt, RecordSet dt, std::unique_ptr<TimingCells> timings)
    : params_(std::move(params)),
      gt_(std::move(gt)),
      dt_(std::move(dt)),
      timings_(timings ? std::move(timings) : std::make_unique<TimingCells>()) {
    for (const RecordSet* rs : {&gt_, &dt_}) {
        std::size_t n = rs->size();
        if (rs->image_index.size() != n || rs->category_index.size() != n || rs->scores.size() != n ||
            rs->areas.size() != n || rs->crowd.size() != n || rs->ignore.size() != n || rs->non_exhaustive.size() != n)
            throw_internal("record set columns differ in length");
    }
    if (gt_.kind == GeometryKind::Keypoints && dt_.kind == GeometryKind::Keypoints) {
        // A side whose rows carry no keypoints takes the other side's K (all zeros).
        uint32_t k = std::max(gt_.keypoint_count, dt_.keypoint_count);
        gt_.pad_keypoints(k, true);
        dt_.pad_keypoints(k, false);
        if (gt_.boxes.size() != 4 * gt_.size()) throw_internal("ground-truth box column incomplete");
        if (gt_.size() > 0 && dt_.size() > 0 && k > params_.kpt_sigmas.size())
            throw_value("kpt_sigmas must have one value per keypoint");
    }
    if (params_.visibility_ignore && gt_.kind == GeometryKind::Keypoints) {
        const std::size_t k = gt_.keypoint_count;
        for (std::size_t r = 0; r < gt_.size(); ++r) {
            const uint8_t* vis = gt_.visibility.data() + k * r;
            gt_.ignore[r] = gt_.crowd[r] || std::find(vis, vis + k, uint8_t(1)) == vis + k;
        }
    }
    if (params_.skip_unscored && dt_.kind == GeometryKind::Keypoints) {
        if (dt_.scored.size() != dt_.size()) throw_internal("keypoint confidence column incomplete");
        for (std::size_t r = 0; r < dt_.size(); ++r)
            if (!dt_.scored[r]) dt_.image_index[r] = -1;  // outside every image, as an unknown image's are
    }
    if (!params_.range_by_image.empty() && params_.range_by_image.size() != params_.img_ids.size())
        throw_value("range_by_image must have one value per image id");
    if (gt_.kind == GeometryKind::Boxes && gt_.boxes.size() != 4 * gt_.size()) throw_internal("box column incomplete");
    if (dt_.kind == GeometryKind::Boxes && dt_.boxes.size() != 4 * dt_.size()) throw_internal("box column incomplete");

    for (const RecordSet* rs : {&gt_, &dt_})
        if ((rs->kind == GeometryKind::Masks || rs->kind == GeometryKind::BoundaryMasks) &&
            ((!rs->masks.empty() && rs->masks.size() != rs->size()) ||
             (rs->kind == GeometryKind::BoundaryMasks && rs->boundaries.size() != rs->masks.size())))
            throw_internal("mask column incomplete");
    // Looked up for every detection an image's IoUs take: by position, not
    // by a search through a file's worth of rows.
    auto packed_positions = [](const RecordSet& rs) {
        std::vector<uint32_t> at;
        if (rs.packed_masks.empty()) return at;
        at.assign(rs.size(), kNotPacked);
        for (std::size_t j = 0; j < rs.packed_masks.size(); ++j) {
            const uint32_t row = rs.packed_masks[j].first;
            if (row >= at.size()) throw_internal("a packed mask beyond its side's rows");
            at[row] = uint32_t(j);
        }
        return at;
    };
    gt_packed_at_ = packed_positions(gt_);
    dt_packed_at_ = packed_positions(dt_);
    // The smallest threshold bounds which IoUs matching can ever compare.
    mask_hint_ = std::numeric_limits<double>::infinity();
    for (double t : params_.iou_thrs)
        if (t < mask_hint_) mask_hint_ = t;  // NaN never compares less
    mask_hint_ = std::max(std::min(mask_hint_, kMaxThreshold), 0.0);

    if (gt_.kind != dt_.kind)
        iou_ = &Engine::kinds_disagree;
    else if (gt_.kind == GeometryKind::Boxes)
        iou_ = &Engine::box_ious;
    else if (gt_.kind == GeometryKind::Keypoints)
        iou_ = &Engine::keypoint_ious;
    else
        iou_ = &Engine::mask_iou;

    Stopwatch sw;
    const std::size_t K = params_.num_slots();
    gt_index_ = build_group_index(gt_.image_index, gt_.category_index, K, params_.use_cats);
    dt_index_ = build_group_index(dt_.image_index, dt_.category_index, K, params_.use_cats);
    sw.add_to(timings_->group_index);
    // Reading the sides freed much on the workers; handed back, the run's
    // own arrays do not stack on it. Small engines (one batch) skip the walk.
    if (gt_.size() + dt_.size() >= kReleaseRows) os::release_free_memory();
}

// Mask (and boundary) IoU of one image: references to the masks, never
// copies. Masks kept compressed are compared from their counts as they are
// walked, so no decoded copy of theirs is ever held.
void Engine::mask_iou(std::span<const uint32_t> di, std::span<const uint32_t> gi, double* out, MaskScratch& s) const {
    const std::size_t D = di.size(), G = gi.size();
    s.crowd.resize(G);
    for (std::size_t g = 0; g < G; ++g) s.crowd[g] = gt_.crowd[gi[g]];
    // A side without a mask column has every mask kept compressed or none.
    static const Rle kNoMask;
    auto gather = [](const std::vector<Rle>& masks, const RecordSet* packed, const std::vector<uint32_t>& packed_at,
                     std::span<const uint32_t> idx, std::vector<MaskRef>& out) {
        out.resize(idx.size());
        for (std::size_t i = 0; i < idx.size(); ++i) {
            out[i] = MaskRef{masks.empty() ? &kNoMask : &masks[idx[i]], nullptr};
            if (packed && !packed_at.empty() && packed_at[idx[i]] != kNotPacked)
                out[i].packed = &packed->packed_masks[packed_at[idx[i]]].second;
        }
    };
    gather(dt_.masks, &dt_, dt_packed_at_, di, s.dt);
    gather(gt_.masks, &gt_, gt_packed_at_, gi, s.gt);
    rle_iou(std::span<const MaskRef>(s.dt), std::span<const MaskRef>(s.gt), s.crowd, mask_hint_, out);
    if (gt_.kind != GeometryKind::BoundaryMasks) return;
    gather(dt_.boundaries, nullptr, dt_packed_at_, di, s.dt);
    gather(gt_.boundaries, nullptr, gt_packed_at_, gi, s.gt);
    s.second.resize(D * G);
    rle_iou(std::span<const MaskRef>(s.dt), std::span<const MaskRef>(s.gt), s.crowd, mask_hint_, s.second.data());
    // Boundary IoU is the smaller of the two, except for crowd regions.
    for (std::size_t d = 0; d < D; ++d)
        for (std::size_t g = 0; g < G; ++g) {
            double b = s.second[d * G + g];
            if (!s.crowd[g] && b < out[d * G + g]) out[d * G + g] = b;
        }
}

void Engine::box_ious(std::span<const uint32_t> di, std::span<const uint32_t> gi, double* out, MaskScratch&) const {
    box_iou_indexed(dt_.boxes.values(), gt_.boxes.values(), di, gi, gt_.crowd, out);
}

void Engine::keypoint_ious(std::span<const uint32_t> di, std::span<const uint32_t> gi, double* out,
                           MaskScratch&) const {
    oks_records(dt_, gt_, di, gi, params_.kpt_sigmas, params_.use_area, out);
}

void Engine::kinds_disagree(std::span<const uint32_t>, std::span<const uint32_t>, double*, MaskScratch&) const {
    throw_value("ground truth and detection geometry kinds disagree");
}

// Each entry's place in the category's arrays: D (at most L) x G.
void Engine::lay_out(Category& c) const {
    pair_images(gt_index_, dt_index_, c.slot, c.entries);
    const std::size_t E = c.entries.size();
    const uint64_t L = params_.det_limit();
    c.dt_off.assign(E + 1, 0);
    c.gt_off.assign(E + 1, 0);
    c.mat_off.assign(E + 1, 0);
    for (std::size_t e = 0; e < E; ++e) {
        const ImageEntry& en = c.entries[e];
        uint64_t D = std::min<uint64_t>(en.dt_length, L), G = en.gt_length;
        c.dt_off[e + 1] = c.dt_off[e] + D;
        c.gt_off[e + 1] = c.gt_off[e] + G;
        c.mat_off[e + 1] = c.mat_off[e] + D * G;
    }
    // max_dets bounds D: a large one with crowded images asks for a lot.
    require_memory(uint64_t(c.mat_off[E]) * sizeof(double), "the IoU matrices of a category");
    c.dt_rec.resize(c.dt_off[E]);
    c.gt_rec.resize(c.gt_off[E]);
    c.iou.resize(c.mat_off[E]);
    c.row_max.resize(c.dt_off[E]);
    c.dt_area.resize(c.dt_off[E]);
    c.dt_score.resize(c.dt_off[E]);
    c.dt_flagged.resize(c.dt_off[E]);
    c.gt_area.resize(c.gt_off[E]);
    c.gt_flags.resize(c.gt_off[E]);
    // The category's rows lie scattered over the side: copied in one pass of
    // independent reads, their cache misses overlap, and gathering then
    // reads them in sequence.
    uint32_t end = 0;
    c.dt_first = UINT32_MAX;
    for (const ImageEntry& en : c.entries)
        if (en.dt_length > 0) {
            c.dt_first = std::min(c.dt_first, en.dt_start);
            end = std::max(end, en.dt_start + en.dt_length);
        }
    c.dt_first = std::min(c.dt_first, end);
    const std::size_t n = end - c.dt_first;
    const uint32_t* order = dt_index_.order.data() + c.dt_first;
    const bool boxes = iou_ == &Engine::box_ious;
    c.at_score.resize(n);
    c.at_area.resize(n);
    c.at_box.resize(boxes ? 4 * n : 0);
    const double* box = dt_.boxes.data();
    for (std::size_t p = 0; p < n; ++p) {
        const std::size_t r = order[p];
        c.at_score[p] = dt_.scores[r];
        c.at_area[p] = dt_.areas[r];
        if (!boxes) continue;
        for (std::size_t j = 0; j < 4; ++j) c.at_box[4 * p + j] = box[4 * r + j];
    }
}

// An entry's detections in score order (its first D kept) and ground truths,
// with the columns matching reads per area range gathered once, in order.
void Engine::gather_entry(Category& c, std::size_t e, std::vector<uint32_t>& buf, std::vector<uint32_t>& tmp) const {
    const ImageEntry& en = c.entries[e];
    const std::size_t D = c.D(e), G = c.G(e);
    std::copy_n(gt_index_.order.data() + en.gt_start, G, c.gt_rec.data() + c.gt_off[e]);
    // Positions from dt_first in dt_index_.order, in score order: ties keep the group's order.
    buf.resize(en.dt_length);
    for (uint32_t i = 0; i < en.dt_length; ++i) buf[i] = en.dt_start - c.dt_first + i;
    const double* score = c.at_score.data();
    detail::stable_sort(std::span<uint32_t>(buf), tmp,
                        [&](uint32_t x, uint32_t y) { return detail::score_before(score[x], score[y]); });
    for (std::size_t d = 0; d < D; ++d) c.dt_rec[c.dt_off[e] + d] = dt_index_.order[c.dt_first + buf[d]];
    const bool by_image = !params_.range_by_image.empty();
    const double image_value = by_image ? params_.range_by_image[en.image] : 0.0;
    const bool box_scale = params_.ranges_by_scale && !params_.use_area && gt_.kind == GeometryKind::Keypoints;
    for (std::size_t d = 0; d < D; ++d) {
        const uint32_t p = buf[d];
        c.dt_area[c.dt_off[e] + d] = by_image ? image_value : c.at_area[p];
        c.dt_score[c.dt_off[e] + d] = score[p];
        c.dt_flagged[c.dt_off[e] + d] = dt_.non_exhaustive[c.dt_rec[c.dt_off[e] + d]];  // LVIS sets it late
    }
    for (std::size_t g = 0; g < G; ++g) {
        const uint32_t r = c.gt_rec[c.gt_off[e] + g];
        c.gt_area[c.gt_off[e] + g] = by_image ? image_value
                                     : box_scale
                                         ? gt_.boxes.data()[4 * r + 2] * gt_.boxes.data()[4 * r + 3] * kKeypointBoxScale
                                         : gt_.areas[r];
        c.gt_flags[c.gt_off[e] + g] = GtFlags{gt_.ignore[r] != 0, gt_.crowd[r] != 0};
    }
}

void Engine::compute_ious(Category& c, Pool& pool) const {
    Stopwatch sw;
    lay_out(c);
    pool.for_range(c.entries.size(), kMinPiece, [&](std::size_t b, std::size_t end) {
        std::vector<uint32_t> buf, tmp;
        MaskScratch ms;
        for (std::size_t e = b; e < end; ++e) {
            check_cancelled();
            gather_entry(c, e, buf, tmp);
            const std::size_t D = c.D(e), G = c.G(e);
            if (D == 0 || G == 0) continue;
            double* m = c.iou.data() + c.mat_off[e];
            const std::span<const uint32_t> gi(c.gt_rec.data() + c.gt_off[e], G);
            if (!c.at_box.empty())  // buf: the detections' positions
                box_iou_indexed(c.at_box, gt_.boxes.values(), std::span<const uint32_t>(buf.data(), D), gi, gt_.crowd,
                                m);
            else
                (this->*iou_)(std::span<const uint32_t>(c.dt_rec.data() + c.dt_off[e], D), gi, m, ms);
            double* rm = c.row_max.data() + c.dt_off[e];
            for (std::size_t d = 0; d < D; ++d) {
                // A NaN entry is taken by matching whatever the threshold, so
                // its row must never be skipped.
                double mx = -std::numeric_limits<double>::infinity();
                for (std::size_t g = 0; g < G; ++g) {
                    double v = m[d * G + g];
                    if (v > mx)
                        mx = v;
                    else if (std::isnan(v))
                        mx = std::numeric_limits<double>::infinity();
                }
                rm[d] = mx;
            }
        }
    });
    // Matching reads the gathered columns only: the copies go before its arrays come.
    c.at_score = {};
    c.at_area = {};
    c.at_box = {};
    sw.add_to(timings_->iou_cpu);
}

void Engine::match_entry(Category& c, std::size_t e, double lo, double hi, Scratch& s) const {
    const std::size_t D = c.D(e), G = c.G(e), T = s.thr.size();
    uint8_t* ignored_at = c.gt_ignore.data() + c.gt_off[e];  // by position in `order`
    int32_t* order = c.gt_order.data() + c.gt_off[e];
    int32_t* dt_match = c.dt_match.data() + c.dt_off[e] * T;
    Verdict* status = c.status.data() + c.dt_off[e] * T;
    uint8_t* mixed = c.mixed.data() + c.dt_off[e];

    // Area-range ignore, then the stable partition: non-ignored first.
    const double* gt_area = c.gt_area.data() + c.gt_off[e];
    const GtFlags* gt_flags = c.gt_flags.data() + c.gt_off[e];
    if (s.group_ignore.size() < G) s.group_ignore.resize(G);
    for (std::size_t g = 0; g < G; ++g)
        s.group_ignore[g] = (gt_flags[g].ignored || gt_area[g] < lo || gt_area[g] > hi) ? 1 : 0;
    std::size_t p = 0, kept = 0;
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t g = 0; g < G; ++g)
            if (s.group_ignore[g] == pass) {
                order[p] = static_cast<int32_t>(g);
                ignored_at[p] = static_cast<uint8_t>(pass);
                ++p;
            }
        if (pass == 0) kept = p;
    }

    if (c.keep_matches) std::fill_n(dt_match, T * D, -1);
    const double* dt_area = c.dt_area.data() + c.dt_off[e];
    const uint8_t* dt_flagged = c.dt_flagged.data() + c.dt_off[e];
    for (std::size_t d = 0; d < D; ++d) {
        const bool out = dt_area[d] < lo || dt_area[d] > hi || dt_flagged[d];
        fill_verdicts(status + d * T, T, out ? Verdict::Ignored : Verdict::FalsePositive);
        mixed[d] = 0;
    }
    if (G == 0) return;  // nothing matched
    // Each threshold's matching is independent of the others', so a
    // detection is matched at every threshold in turn; one whose best IoU is
    // below all of them (most are) is passed over once.
    const double* iou = c.iou.data() + c.mat_off[e];
    const double* row_max = c.row_max.data() + c.dt_off[e];
    bool ready = false;
    for (std::size_t d = 0; d < D; ++d) {
        if (s.lowest > row_max[d]) continue;
        if (!ready) {
            ready = true;
            if (s.row.size() < G) {
                s.row.resize(G);
                s.crowd_at.resize(G);
            }
            s.gt_taken.assign(T * G, 0);
            for (std::size_t q = 0; q < G; ++q) s.crowd_at[q] = gt_flags[order[q]].crowd;
        }
        for (std::size_t q = 0; q < G; ++q) s.row[q] = iou[d * G + order[q]];
        for (std::size_t t = 0; t < T; ++t) {
            if (s.thr[t] > row_max[d]) continue;
            // The best ground truth not taken (a crowd is never taken), the
            // ignored ones only when no other reaches the threshold.
            uint8_t* taken = s.gt_taken.data() + t * G;
            const std::ptrdiff_t m = best_match(s.row.data(), taken, kept, s.thr[t], G);
            if (m < 0) continue;
            if (c.keep_matches) dt_match[t * D + d] = static_cast<int32_t>(m);
            if (!s.crowd_at[m]) taken[m] = 1;
            status[d * T + t] = ignored_at[m] ? Verdict::Ignored : Verdict::TruePositive;
            mixed[d] = 1;
        }
    }
}

void Engine::match_area(Category& c, std::size_t a, Pool& pool) const {
    Stopwatch sw;
    const std::size_t E = c.entries.size(), T = params_.iou_thrs.size();
    c.status.resize(c.dt_off[E] * T);
    c.mixed.resize(c.dt_off[E]);
    if (c.keep_matches) c.dt_match.resize(c.dt_off[E] * T);
    c.gt_ignore.resize(c.gt_off[E]);
    c.gt_order.resize(c.gt_off[E]);
    const double lo = params_.area_rng[a][0], hi = params_.area_rng[a][1];
    pool.for_range(E, kMinPiece, [&](std::size_t b, std::size_t end) {
        Scratch s;
        s.thr.resize(T);
        s.lowest = std::numeric_limits<double>::infinity();
        for (std::size_t t = 0; t < T; ++t) {
            s.thr[t] = std::min(params_.iou_thrs[t], kMaxThreshold);
            // A NaN threshold takes any detection: none is passed over then.
            s.lowest = std::isnan(s.thr[t]) ? -std::numeric_limits<double>::infinity() : std::min(s.lowest, s.thr[t]);
        }
        // Most entries are a few detections: checking for a cancel before
        // every one cost more than matching some.
        uint64_t work = kCancelWork;
        for (std::size_t e = b; e < end; ++e) {
            if (work >= kCancelWork) {
                check_cancelled();
                work = 0;
            }
            work += (c.D(e) + 1) * (c.G(e) + 1);
            match_entry(c, e, lo, hi, s);
        }
    });
    sw.add_to(timings_->match_cpu);
}

template <class F>
void Engine::walk(std::size_t first_area, std::size_t end_area, Pool& pool, F&& visit, bool keep_matches) const {
    pool.for_range(params_.num_slots(), 1, [&](std::size_t kb, std::size_t ke) {
        for (std::size_t k = kb; k < ke; ++k) {
            check_cancelled();
            Category c;
            c.slot = k;
            c.keep_matches = keep_matches;
            compute_ious(c, pool);
            for (std::size_t a = first_area; a < end_area; ++a) {
                match_area(c, a, pool);
                visit(c, k, a);
            }
        }
    });
}

void Engine::eval_image(const Category& c, std::size_t e, std::size_t a, EvalRecords& out) const {
    const EvalParams& p = params_;
    const std::size_t T = p.iou_thrs.size(), D = c.D(e), G = c.G(e);
    const uint32_t* dr = c.dt_rec.data() + c.dt_off[e];
    const uint32_t* gr = c.gt_rec.data() + c.gt_off[e];
    const int32_t* order = c.gt_order.data() + c.gt_off[e];
    const uint8_t* ignored_at = c.gt_ignore.data() + c.gt_off[e];
    const int32_t* dm = c.dt_match.data() + c.dt_off[e] * T;
    const Verdict* st = c.status.data() + c.dt_off[e] * T;
    const std::size_t d0 = out.dt_ids.size(), g0 = out.gt_ids.size();
    if (d0 + D >= UINT32_MAX || g0 + G >= UINT32_MAX) throw Error(ErrorKind::Memory, "too many evaluation records");
    out.heads.push_back(
        {p.img_ids[c.entries[e].image], p.use_cats ? p.cat_ids[c.slot] : -1, uint32_t(a), p.det_limit()});
    for (std::size_t d = 0; d < D; ++d) {
        out.dt_ids.push_back(dt_.ids[dr[d]]);
        out.dt_scores.push_back(dt_.scores[dr[d]]);
    }
    for (std::size_t q = 0; q < G; ++q) out.gt_ids.push_back(gt_.ids[gr[order[q]]]);
    out.gt_ignore.insert(out.gt_ignore.end(), ignored_at, ignored_at + G);
    out.dt_matches.resize(T * (d0 + D), 0);
    out.gt_matches.resize(T * (g0 + G), 0);
    out.dt_ignore.resize(T * (d0 + D), 0);
    int64_t* dt_matches = out.dt_matches.data() + T * d0;
    int64_t* gt_matches = out.gt_matches.data() + T * g0;
    uint8_t* dt_ignore = out.dt_ignore.data() + T * d0;
    const int64_t* dt_ids = out.dt_ids.data() + d0;
    const int64_t* gt_ids = out.gt_ids.data() + g0;
    for (std::size_t t = 0; t < T; ++t)
        for (std::size_t d = 0; d < D; ++d) {
            int32_t q = dm[t * D + d];
            if (q >= 0) {
                dt_matches[t * D + d] = gt_ids[q];
                gt_matches[t * G + q] = dt_ids[d];
            }
            dt_ignore[t * D + d] = st[d * T + t] == Verdict::Ignored;
        }
    out.dt_off.push_back(uint32_t(d0 + D));
    out.gt_off.push_back(uint32_t(g0 + G));
}

EvalImage EvalRecords::operator[](std::size_t r) const {
    const Head& h = heads[r];
    const std::size_t d0 = dt_off[r], D = dt_off[r + 1] - d0, g0 = gt_off[r], G = gt_off[r + 1] - g0;
    EvalImage e;
    e.image_id = h.image_id;
    e.category_id = h.category_id;
    e.area_index = h.area_index;
    e.max_det = h.max_det;
    e.dt_ids = {dt_ids.data() + d0, D};
    e.gt_ids = {gt_ids.data() + g0, G};
    e.dt_scores = {dt_scores.data() + d0, D};
    e.gt_ignore = {gt_ignore.data() + g0, G};
    e.dt_matches = {dt_matches.data() + T * d0, T * D};
    e.gt_matches = {gt_matches.data() + T * g0, T * G};
    e.dt_ignore = {dt_ignore.data() + T * d0, T * D};
    return e;
}

void EvalRecords::reserve(std::size_t records, std::size_t dts, std::size_t gts) {
    heads.reserve(records);
    dt_off.reserve(records + 1);
    gt_off.reserve(records + 1);
    dt_ids.reserve(dts);
    dt_scores.reserve(dts);
    gt_ids.reserve(gts);
    gt_ignore.reserve(gts);
    dt_matches.reserve(T * dts);
    dt_ignore.reserve(T * dts);
    gt_matches.reserve(T * gts);
}

void Engine::add_records(const Category& c, std::size_t a, EvalRecords& records, std::vector<uint32_t>& slots) const {
    const std::size_t I = params_.img_ids.size();
    if (slots.empty()) {
        // Room for every area's records at once: the columns grow without copying.
        const std::size_t A = params_.area_rng.size(), n = c.entries.size(), T = params_.iou_thrs.size();
        slots.assign(A * I, RunResult::kNoRecord);
        records.T = T;
        if (c.dt_off.size() > n && c.gt_off.size() > n) records.reserve(A * n, A * c.dt_off[n], A * c.gt_off[n]);
    }
    for (std::size_t e = 0; e < c.entries.size(); ++e) {
        check_cancelled();
        slots[a * I + c.entries[e].image] = uint32_t(records.size());
        eval_image(c, e, a, records);
    }
}

namespace {

// A category's evaluation-image records and their places (A x I slots).
struct CategoryRecords {
    EvalRecords records;
    std::vector<uint32_t> slots;
};

// The categories' records in one numbering, and each (slot, area, image)'s place in it.
void gather_records(std::vector<CategoryRecords>& parts, std::size_t per_slot, RunResult& res) {
    std::size_t total = 0;
    for (const CategoryRecords& o : parts) total += o.records.size();
    if (total >= RunResult::kNoRecord) throw Error(ErrorKind::Memory, "too many evaluation records");
    EvalRecordList& all = res.eval_imgs;
    all.places.reserve(total);
    all.parts.reserve(parts.size());
    res.eval_slots.assign(parts.size() * per_slot, RunResult::kNoRecord);
    for (std::size_t k = 0; k < parts.size(); ++k) {
        CategoryRecords& o = parts[k];
        const uint32_t base = uint32_t(all.places.size()), part = uint32_t(all.parts.size());
        for (std::size_t s = 0; s < o.slots.size(); ++s)
            if (o.slots[s] != RunResult::kNoRecord) res.eval_slots[k * per_slot + s] = base + o.slots[s];
        for (std::size_t r = 0; r < o.records.size(); ++r) all.places.push_back({part, uint32_t(r)});
        all.parts.push_back(std::move(o.records));
    }
}

// A result with the parameters' dimensions and nothing in it yet.
RunResult sized_result(const EvalParams& p) {
    RunResult res;
    res.T = p.iou_thrs.size();
    res.R = p.rec_thrs.size();
    res.K = p.num_slots();
    res.A = p.area_rng.size();
    res.M = p.max_dets.size();
    return res;
}

}  // namespace

RunResult Engine::run(bool collect_eval_imgs, Pool& pool) const {
    const EvalParams& p = params_;
    RunResult res = sized_result(p);
    const std::size_t T = res.T, R = res.R, K = res.K, A = res.A, M = res.M;
    const std::size_t I = p.img_ids.size();
    res.precision.assign(T * R * K * A * M, -1.0);
    res.scores.assign(T * R * K * A * M, -1.0);
    res.recall.assign(T * K * A * M, -1.0);
    std::mutex output_lock;
    std::vector<CategoryRecords> records(collect_eval_imgs ? K : 0);
    // A slot's areas are matched in turn on one thread, so its accumulator lives from its first area to its last.
    std::vector<std::unique_ptr<Accumulator>> accumulators(K);
    walk(
        0, A, pool,
        [&](const Category& c, std::size_t k, std::size_t a) {
            Stopwatch sw;
            if (a == 0) {
                accumulators[k] = std::make_unique<Accumulator>(p, p.det_limit());
                accumulators[k]->build_sorted(c.dt_off, c.dt_score);
            }
            Accumulator& acc = *accumulators[k];
            acc.accumulate(a, c.status, c.gt_ignore, c.mixed);
            sw.add_to(timings_->accumulate_cpu);
            if (collect_eval_imgs) add_records(c, a, records[k].records, records[k].slots);
            if (a + 1 < A) return;
            std::lock_guard<std::mutex> guard(output_lock);
            for (std::size_t t = 0; t < T; ++t) {
                std::copy_n(acc.rec.data() + t * A * M, A * M, res.recall.data() + (t * K + k) * A * M);
                for (std::size_t r = 0; r < R; ++r) {
                    std::size_t src = (t * R + r) * A * M, dst = ((t * R + r) * K + k) * A * M;
                    std::copy_n(acc.prec.data() + src, A * M, res.precision.data() + dst);
                    std::copy_n(acc.score.data() + src, A * M, res.scores.data() + dst);
                }
            }
            accumulators[k].reset();
        },
        collect_eval_imgs);
    if (collect_eval_imgs) gather_records(records, A * I, res);
    return res;
}

RunResult Engine::eval_records(Pool& pool) const {
    const EvalParams& p = params_;
    RunResult res = sized_result(p);
    std::vector<CategoryRecords> records(res.K);
    walk(
        0, res.A, pool,
        [&](const Category& c, std::size_t k, std::size_t a) {
            add_records(c, a, records[k].records, records[k].slots);
        },
        true);
    gather_records(records, res.A * p.img_ids.size(), res);
    return res;
}

void Engine::instance_rows(const Category& c, std::size_t t_idx, uint64_t max_det, InstanceRows& o) const {
    const EvalParams& p = params_;
    const std::size_t T = p.iou_thrs.size();
    const int64_t cat_id = p.use_cats ? p.cat_ids[c.slot] : -1;
    std::vector<uint8_t> matched;
    for (std::size_t e = 0; e < c.entries.size(); ++e) {
        const std::size_t D = c.D(e), G = c.G(e);
        const int64_t image_id = p.img_ids[c.entries[e].image];
        const uint32_t* dr = c.dt_rec.data() + c.dt_off[e];
        const uint32_t* gr = c.gt_rec.data() + c.gt_off[e];
        const int32_t* order = c.gt_order.data() + c.gt_off[e];
        const int32_t* dm = c.dt_match.data() + c.dt_off[e] * T + t_idx * D;
        const Verdict* st = c.status.data() + c.dt_off[e] * T;
        const double* iou = c.iou.data() + c.mat_off[e];
        matched.assign(G, 0);
        const std::size_t nd = std::min<uint64_t>(max_det, D);
        for (std::size_t d = 0; d < nd; ++d) {
            int32_t q = dm[d];
            o.dt_image_id.push_back(image_id);
            o.dt_category_id.push_back(cat_id);
            o.dt_id.push_back(dt_.ids[dr[d]]);
            o.dt_score.push_back(dt_.scores[dr[d]]);
            if (q >= 0) {
                matched[q] = 1;
                o.dt_gt_id.push_back(gt_.ids[gr[order[q]]]);
                o.dt_iou.push_back(iou[d * G + order[q]]);
            } else {
                o.dt_gt_id.push_back(-1);
                o.dt_iou.push_back(0.0);
            }
            o.dt_ignore.push_back(st[d * T + t_idx] == Verdict::Ignored);
        }
        const uint8_t* ignored_at = c.gt_ignore.data() + c.gt_off[e];
        for (std::size_t q = 0; q < G; ++q) {
            o.gt_image_id.push_back(image_id);
            o.gt_category_id.push_back(cat_id);
            o.gt_id.push_back(gt_.ids[gr[order[q]]]);
            o.gt_ignore.push_back(ignored_at[q]);
            o.gt_matched.push_back(matched[q]);
        }
    }
}

InstanceRows Engine::per_instance(std::size_t t_idx, std::size_t a_idx, uint64_t max_det, Pool& pool) const {
    const EvalParams& p = params_;
    const std::size_t T = p.iou_thrs.size();
    if (t_idx >= T)
        throw_value("t_idx " + std::to_string(t_idx) + " is out of range for " + std::to_string(T) + " IoU thresholds");
    if (a_idx >= p.area_rng.size())
        throw_value("a_idx " + std::to_string(a_idx) + " is out of range for " + std::to_string(p.area_rng.size()) +
                    " area ranges");
    std::vector<InstanceRows> outs(p.num_slots());
    walk(
        a_idx, a_idx + 1, pool,
        [&](const Category& c, std::size_t k, std::size_t) { instance_rows(c, t_idx, max_det, outs[k]); }, true);
    InstanceRows all;
    auto append = [](auto& dst, const auto& src) { dst.insert(dst.end(), src.begin(), src.end()); };
    for (const InstanceRows& o : outs) {
        append(all.dt_image_id, o.dt_image_id);
        append(all.dt_category_id, o.dt_category_id);
        append(all.dt_id, o.dt_id);
        append(all.dt_gt_id, o.dt_gt_id);
        append(all.dt_score, o.dt_score);
        append(all.dt_iou, o.dt_iou);
        append(all.dt_ignore, o.dt_ignore);
        append(all.gt_image_id, o.gt_image_id);
        append(all.gt_category_id, o.gt_category_id);
        append(all.gt_id, o.gt_id);
        append(all.gt_ignore, o.gt_ignore);
        append(all.gt_matched, o.gt_matched);
    }
    return all;
}

void Engine::configure_lvis(std::span<const uint8_t> gt_ignore,
                            std::span<const std::pair<int64_t, int64_t>> non_exhaustive, bool preserve_crowds) {
    if (gt_ignore.size() != gt_.size()) throw_value("LVIS ignore flags do not match ground-truth length");
    for (std::size_t i = 0; i < gt_ignore.size(); ++i) gt_.ignore[i] = gt_ignore[i] ? 1 : 0;
    if (!preserve_crowds) std::fill(gt_.crowd.begin(), gt_.crowd.end(), 0);
    std::vector<std::pair<int64_t, int64_t>> pairs(non_exhaustive.begin(), non_exhaustive.end());
    std::sort(pairs.begin(), pairs.end());
    for (std::size_t r = 0; r < dt_.size(); ++r) {
        int32_t im = dt_.image_index[r], ca = dt_.category_index[r];
        bool flag = false;
        if (im >= 0 && ca >= 0 && !pairs.empty())
            flag = std::binary_search(pairs.begin(), pairs.end(),
                                      std::pair<int64_t, int64_t>(params_.img_ids[im], params_.cat_ids[ca]));
        dt_.non_exhaustive[r] = flag ? 1 : 0;
    }
}

}  // namespace zerlin
