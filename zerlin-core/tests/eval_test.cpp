#include "zerlin/eval.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "zerlin/error.hpp"

using namespace zerlin;

namespace {

const double kNan = std::numeric_limits<double>::quiet_NaN();

struct Row {
    int64_t id;
    int32_t image, category;
    std::array<double, 4> box;
    double score = 1.0;
    double area = kNan;  // NaN: w * h
    bool crowd = false;
    bool ignore = false;
};

RecordSet boxes(const std::vector<Row>& rows, bool gt) {
    RecordSet rs(GeometryKind::Boxes);
    for (const Row& r : rows) {
        double area = std::isnan(r.area) ? r.box[2] * r.box[3] : r.area;
        rs.push_scalars(r.id, r.image, r.category, gt ? 0.0 : r.score, area, r.crowd, gt && (r.crowd || r.ignore));
        rs.boxes.append(r.box.data());
    }
    return rs;
}

EvalParams coco_params(std::size_t images, std::size_t cats) {
    EvalParams p;
    for (std::size_t i = 0; i < images; ++i) p.img_ids.push_back(int64_t(100 + i));
    for (std::size_t k = 0; k < cats; ++k) p.cat_ids.push_back(int64_t(1 + k));
    for (int t = 0; t < 10; ++t) p.iou_thrs.push_back(0.5 + 0.05 * t);
    for (int r = 0; r <= 100; ++r) p.rec_thrs.push_back(r / 100.0);
    p.max_dets = {1, 10, 100};
    p.area_rng = {{0, 1e10}, {0, 1024}, {1024, 9216}, {9216, 1e10}};
    return p;
}

EvalParams simple_params(std::vector<double> thrs, std::vector<std::array<double, 2>> areas = {{0, 1e10}}) {
    EvalParams p = coco_params(1, 1);
    p.iou_thrs = std::move(thrs);
    p.area_rng = std::move(areas);
    return p;
}

// The record of (slot k, area a, image i), or null.
std::optional<EvalImage> record(const RunResult& r, std::size_t k, std::size_t a, std::size_t i, std::size_t I) {
    uint32_t s = r.eval_slots.at((k * r.A + a) * I + i);
    if (s == RunResult::kNoRecord) return std::nullopt;
    return r.eval_imgs[s];
}

template <class T>
std::vector<T> as_vector(std::span<const T> v) {
    return {v.begin(), v.end()};
}

double& at5(std::vector<double>& v, const RunResult& r, std::size_t t, std::size_t q, std::size_t k, std::size_t a,
            std::size_t m) {
    return v[(((t * r.R + q) * r.K + k) * r.A + a) * r.M + m];
}
double at4(const RunResult& r, std::size_t t, std::size_t k, std::size_t a, std::size_t m) {
    return r.recall[((t * r.K + k) * r.A + a) * r.M + m];
}

// COCO accumulation computed the long way from evaluation records: cumulative
// sums at every position, right-to-left envelope, and a search of the recall
// curve per threshold.
RunResult naive_accumulate(const EvalParams& p, const RunResult& run) {
    RunResult out = run;
    const std::size_t T = run.T, R = run.R, K = run.K, A = run.A, M = run.M, I = p.img_ids.size();
    std::fill(out.precision.begin(), out.precision.end(), -1.0);
    std::fill(out.scores.begin(), out.scores.end(), -1.0);
    std::fill(out.recall.begin(), out.recall.end(), -1.0);
    for (std::size_t k = 0; k < K; ++k)
        for (std::size_t a = 0; a < A; ++a)
            for (std::size_t m = 0; m < M; ++m) {
                struct Det {
                    double score;
                    std::vector<int64_t> match;
                    std::vector<uint8_t> ig;
                };
                std::vector<Det> dets;
                std::size_t npig = 0;
                for (std::size_t i = 0; i < I; ++i) {
                    const std::optional<EvalImage> e = record(run, k, a, i, I);
                    if (!e) continue;
                    std::size_t D = e->dt_ids.size();
                    for (std::size_t d = 0; d < std::min<uint64_t>(D, p.max_dets[m]); ++d) {
                        Det x{e->dt_scores[d], {}, {}};
                        for (std::size_t t = 0; t < T; ++t) {
                            x.match.push_back(e->dt_matches[t * D + d]);
                            x.ig.push_back(e->dt_ignore[t * D + d]);
                        }
                        dets.push_back(x);
                    }
                    for (uint8_t g : e->gt_ignore) npig += g == 0;
                }
                if (npig == 0) continue;
                std::stable_sort(dets.begin(), dets.end(), [](const Det& x, const Det& y) {
                    if (std::isnan(x.score)) return false;
                    return std::isnan(y.score) || x.score > y.score;
                });
                const std::size_t nd = dets.size();
                for (std::size_t t = 0; t < T; ++t) {
                    std::vector<double> rc(nd), pr(nd);
                    double tp = 0, fp = 0;
                    for (std::size_t i = 0; i < nd; ++i) {
                        if (!dets[i].ig[t]) (dets[i].match[t] ? tp : fp) += 1;
                        rc[i] = tp / double(npig);
                        pr[i] = tp / (fp + tp + 2.220446049250313e-16);
                    }
                    out.recall[((t * K + k) * A + a) * M + m] = nd ? rc[nd - 1] : 0.0;
                    for (std::size_t i = nd; i-- > 1;)
                        if (pr[i] > pr[i - 1]) pr[i - 1] = pr[i];
                    for (std::size_t r = 0; r < R; ++r) {
                        at5(out.precision, out, t, r, k, a, m) = 0.0;
                        at5(out.scores, out, t, r, k, a, m) = 0.0;
                    }
                    for (std::size_t r = 0; r < R; ++r) {
                        double thr = p.rec_thrs[r];
                        std::size_t i = 0;  // first position with rc >= thr; NaN sorts last
                        while (i < nd && (std::isnan(thr) || rc[i] < thr)) ++i;
                        if (i >= nd) break;  // the reference stops at the first miss
                        at5(out.precision, out, t, r, k, a, m) = pr[i];
                        at5(out.scores, out, t, r, k, a, m) = dets[i].score;
                    }
                }
            }
    return out;
}

struct Random {
    std::vector<Row> gt, dt;
};

// Seeded detections around ground truths, with crowds, ties, NaN scores,
// area-range edges and images or categories with only one side.
Random make_random(uint32_t seed, std::size_t images, std::size_t cats) {
    std::mt19937 rng(seed);
    auto uni = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
    Random d;
    int64_t gid = 1, did = 1;
    for (std::size_t i = 0; i < images; ++i) {
        for (std::size_t k = 0; k < cats; ++k) {
            if (k == cats - 1 && cats > 2) continue;  // a category with neither side
            std::size_t ng = (i % 7 == 3) ? 0 : rng() % 4;
            std::size_t nd = (i % 5 == 1) ? 0 : rng() % 6;
            std::vector<std::array<double, 4>> boxes;
            for (std::size_t g = 0; g < ng; ++g) {
                std::array<double, 4> b{uni(0, 200), uni(0, 200), uni(5, 120), uni(5, 120)};
                Row r{gid++, int32_t(i), int32_t(k), b};
                if (rng() % 9 == 0) r.crowd = true;
                if (rng() % 6 == 0) r.area = (rng() % 2) ? 1024.0 : 9216.0;  // exactly on a bound
                boxes.push_back(b);
                d.gt.push_back(r);
            }
            for (std::size_t n = 0; n < nd; ++n) {
                std::array<double, 4> b;
                if (!boxes.empty() && rng() % 4 != 0) {
                    auto g = boxes[rng() % boxes.size()];
                    b = {g[0] + uni(-10, 10), g[1] + uni(-10, 10), g[2] * uni(0.7, 1.3), g[3] * uni(0.7, 1.3)};
                } else {
                    b = {uni(0, 200), uni(0, 200), uni(5, 120), uni(5, 120)};
                }
                double score = double(rng() % 20) / 20;  // ties across images
                if (rng() % 40 == 0) score = kNan;
                Row r{did++, int32_t(i), int32_t(k), b, score};
                d.dt.push_back(r);
            }
        }
    }
    // Records outside the evaluated images and categories take no part.
    d.gt.push_back(Row{gid++, -1, 0, {0, 0, 10, 10}});
    d.dt.push_back(Row{did++, 0, -1, {0, 0, 10, 10}, 0.5});
    return d;
}

void expect_same_arrays(const RunResult& a, const RunResult& b) {
    ASSERT_EQ(a.precision.size(), b.precision.size());
    auto same = [](double x, double y) { return x == y || (std::isnan(x) && std::isnan(y)); };
    for (std::size_t i = 0; i < a.precision.size(); ++i) {
        ASSERT_EQ(a.precision[i], b.precision[i]) << "precision " << i;
        ASSERT_TRUE(same(a.scores[i], b.scores[i])) << "scores " << i << ": " << a.scores[i] << " " << b.scores[i];
    }
    ASSERT_EQ(a.recall, b.recall);
}

}  // namespace

TEST(Eval, AccumulationMatchesTheLongComputationOnRandomData) {
    struct Case {
        uint32_t seed;
        bool use_cats;
        std::vector<double> rec;
        std::vector<uint64_t> dets;
        std::vector<double> thrs;
    };
    std::vector<double> coco_rec;
    for (int r = 0; r <= 100; ++r) coco_rec.push_back(r / 100.0);
    std::vector<Case> cases = {
        {1, true, coco_rec, {1, 10, 100}, {}},
        {2, false, coco_rec, {1, 10, 100}, {}},
        {3, true, {0.0, 0.3, 0.1, 1.0, 1.5, 0.5, kNan, 0.2, -0.5}, {5, 20}, {0.1, 0.5, 1.0, 0.75}},
        {4, true, coco_rec, {2, 1, 50, 3}, {0.5}},
        {5, true, {0.5, 0.25}, {0, 3}, {0.0, 0.5, kNan}},
    };
    for (const Case& c : cases) {
        Random d = make_random(c.seed, 150, 4);
        EvalParams p = coco_params(150, 4);
        p.use_cats = c.use_cats;
        p.rec_thrs = c.rec;
        p.max_dets = c.dets;
        if (!c.thrs.empty()) p.iou_thrs = c.thrs;
        Engine eng(p, boxes(d.gt, true), boxes(d.dt, false));
        RunResult r = eng.run(true);
        RunResult ref = naive_accumulate(p, r);
        SCOPED_TRACE(c.seed);
        expect_same_arrays(r, ref);
        std::size_t valued = 0;
        for (double v : r.precision) valued += v > 0;
        EXPECT_GT(valued, 0u) << "seed " << c.seed;
    }
}

TEST(Eval, ResultsDoNotDependOnWorkerCount) {
    Random d = make_random(21, 400, 3);  // > 64 image entries per category: pieces split
    EvalParams p = coco_params(400, 3);
    Engine eng(p, boxes(d.gt, true), boxes(d.dt, false));
    Pool one(1), many(4);
    RunResult a = eng.run(true, one), b = eng.run(true, many);
    expect_same_arrays(a, b);
    // The records-only pass gives the records of a full run.
    for (const RunResult& c : {b, eng.eval_records(one), eng.eval_records(many)}) {
        ASSERT_EQ(a.eval_slots, c.eval_slots);
        ASSERT_EQ(a.eval_imgs.size(), c.eval_imgs.size());
        for (std::size_t i = 0; i < a.eval_imgs.size(); ++i) {
            EXPECT_TRUE(std::ranges::equal(a.eval_imgs[i].dt_ids, c.eval_imgs[i].dt_ids));
            EXPECT_TRUE(std::ranges::equal(a.eval_imgs[i].gt_matches, c.eval_imgs[i].gt_matches));
            EXPECT_TRUE(std::ranges::equal(a.eval_imgs[i].dt_ignore, c.eval_imgs[i].dt_ignore));
        }
    }
    InstanceRows x = eng.per_instance(3, 1, 10, one), y = eng.per_instance(3, 1, 10, many);
    EXPECT_EQ(x.dt_id, y.dt_id);
    EXPECT_EQ(x.dt_gt_id, y.dt_gt_id);
    EXPECT_EQ(x.dt_iou, y.dt_iou);
    EXPECT_EQ(x.gt_matched, y.gt_matched);
    // Repeated runs agree and the phase counters grow.
    uint64_t before = eng.timings().match_cpu.load();
    expect_same_arrays(eng.run(false), a);
    EXPECT_GT(eng.timings().match_cpu.load(), before);
    EXPECT_GT(eng.timings().iou_cpu.load(), 0u);
}

TEST(Eval, PerInstanceAgreesWithEvalRecords) {
    Random d = make_random(8, 60, 3);
    EvalParams p = coco_params(60, 3);
    Engine eng(p, boxes(d.gt, true), boxes(d.dt, false));
    RunResult r = eng.run(true);
    for (std::size_t t : {0u, 5u}) {
        for (std::size_t a : {0u, 2u}) {
            InstanceRows rows = eng.per_instance(t, a, 100);
            std::size_t di = 0, gi = 0;
            for (std::size_t k = 0; k < r.K; ++k)
                for (std::size_t i = 0; i < p.img_ids.size(); ++i) {
                    const std::optional<EvalImage> e = record(r, k, a, i, p.img_ids.size());
                    if (!e) continue;
                    std::size_t D = e->dt_ids.size(), G = e->gt_ids.size();
                    for (std::size_t q = 0; q < D; ++q, ++di) {
                        ASSERT_EQ(rows.dt_id[di], e->dt_ids[q]);
                        int64_t m = e->dt_matches[t * D + q];
                        EXPECT_EQ(rows.dt_gt_id[di], m ? m : -1);
                        EXPECT_EQ(rows.dt_ignore[di], e->dt_ignore[t * D + q]);
                        EXPECT_EQ(rows.dt_image_id[di], e->image_id);
                        if (!m)
                            EXPECT_EQ(rows.dt_iou[di], 0.0);
                        else
                            EXPECT_GE(rows.dt_iou[di], std::min(p.iou_thrs[t], 1 - 1e-10));
                    }
                    for (std::size_t q = 0; q < G; ++q, ++gi) {
                        ASSERT_EQ(rows.gt_id[gi], e->gt_ids[q]);
                        EXPECT_EQ(rows.gt_ignore[gi], e->gt_ignore[q]);
                        EXPECT_EQ(rows.gt_matched[gi], e->gt_matches[t * G + q] != 0);
                    }
                }
            EXPECT_EQ(di, rows.dt_id.size());
            EXPECT_EQ(gi, rows.gt_id.size());
        }
    }
    // A cap of one reports one detection per (image, category) and marks only its GT.
    InstanceRows one = eng.per_instance(0, 0, 1);
    EXPECT_LT(one.dt_id.size(), eng.per_instance(0, 0, 100).dt_id.size());
    std::size_t matched = 0, taken = 0;
    for (uint8_t m : one.gt_matched) matched += m;
    for (int64_t g : one.dt_gt_id) taken += g >= 0;
    EXPECT_EQ(matched, taken);
    EXPECT_THROW(eng.per_instance(10, 0, 100), Error);
    EXPECT_THROW(eng.per_instance(0, 4, 100), Error);
}

// One detection against the given ground truths; returns the evaluation record.
struct Single {
    RunResult run;
    EvalImage rec(std::size_t a = 0) const { return *record(run, 0, a, 0, 1); }
};
Single evaluate(const std::vector<Row>& gt, const std::vector<Row>& dt, EvalParams p) {
    Engine eng(p, boxes(gt, true), boxes(dt, false));
    return Single{eng.run(true)};
}

TEST(Matching, AreaEqualToBoundIsInside) {
    // GT area exactly 1024 is inside both [0, 1024] and [1024, 9216].
    std::vector<Row> gt{{1, 0, 0, {0, 0, 32, 32}}};
    std::vector<Row> dt{{1, 0, 0, {0, 0, 32, 32}, 0.9}};
    Single s = evaluate(gt, dt, simple_params({0.5}, {{0, 1024}, {1024, 9216}, {1025, 2000}}));
    EXPECT_EQ(s.rec(0).gt_ignore[0], 0);
    EXPECT_EQ(s.rec(1).gt_ignore[0], 0);
    EXPECT_EQ(s.rec(2).gt_ignore[0], 1);
    // Outside the range the DT is matched to an ignored GT, so it is ignored.
    EXPECT_EQ(s.rec(2).dt_ignore[0], 1);
    EXPECT_EQ(s.rec(2).dt_matches[0], 1);
}

TEST(Matching, EqualIoUTakesTheLaterGroundTruth) {
    std::vector<Row> gt{{1, 0, 0, {0, 0, 10, 10}}, {2, 0, 0, {0, 0, 10, 10}}};
    std::vector<Row> dt{{5, 0, 0, {0, 0, 10, 10}, 0.9}};
    Single s = evaluate(gt, dt, simple_params({0.5}));
    EXPECT_EQ(s.rec().dt_matches[0], 2);
    EXPECT_EQ(as_vector(s.rec().gt_matches), (std::vector<int64_t>{0, 5}));
}

TEST(Matching, HeldNonIgnoredGroundTruthStopsTheWalk) {
    // Ignored GT first in group order with IoU 0.6; non-ignored GT with 0.55.
    std::vector<Row> gt{{1, 0, 0, {0, 0, 10, 6}}, {2, 0, 0, {0, 0, 11, 10}}};
    gt[0].ignore = true;
    std::vector<Row> dt{{7, 0, 0, {0, 0, 10, 10}, 0.9}};
    // IoUs: 60/100 = 0.6 and 100/110 ~ 0.909; shrink the second to 0.55.
    dt[0].box = {0, 0, 10, 10};
    gt[1].box = {0, 4.5, 10, 10};  // overlap 55, union 145 -> 0.379
    gt[1].box = {0, 0, 10, 5.5};   // overlap 55, union 100 -> 0.55
    Single s = evaluate(gt, dt, simple_params({0.5}));
    EXPECT_EQ(as_vector(s.rec().gt_ids), (std::vector<int64_t>{2, 1}));  // non-ignored first
    EXPECT_EQ(s.rec().dt_matches[0], 2);
    EXPECT_EQ(s.rec().dt_ignore[0], 0);  // a true positive
}

TEST(Matching, CrowdTakenRepeatedlyAndIgnored) {
    std::vector<Row> gt{{1, 0, 0, {0, 0, 100, 100}}};
    gt[0].crowd = true;
    std::vector<Row> dt{
        {1, 0, 0, {10, 10, 5, 5}, 0.9}, {2, 0, 0, {50, 50, 10, 10}, 0.8}, {3, 0, 0, {95, 95, 10, 10}, 0.7}};
    Single s = evaluate(gt, dt, simple_params({0.5}));
    // Fully inside: IoU 1 by the crowd rule; the third has 25/100.
    EXPECT_EQ(as_vector(s.rec().dt_matches), (std::vector<int64_t>{1, 1, 0}));
    EXPECT_EQ(as_vector(s.rec().dt_ignore), (std::vector<uint8_t>{1, 1, 0}));
    Engine eng(simple_params({0.5}), boxes(gt, true), boxes(dt, false));
    InstanceRows rows = eng.per_instance(0, 0, 100);
    EXPECT_EQ(rows.dt_iou, (std::vector<double>{1.0, 1.0, 0.0}));
}

TEST(Matching, ThresholdOneMatchesExactOverlapAndTouchingBoxesScoreZero) {
    std::vector<Row> gt{{1, 0, 0, {0, 0, 10, 10}}, {2, 0, 0, {20, 0, 10, 10}}};
    std::vector<Row> dt{{1, 0, 0, {0, 0, 10, 10}, 0.9}, {2, 0, 0, {10, 0, 10, 10}, 0.8}};
    Single s = evaluate(gt, dt, simple_params({1.0}));
    EXPECT_EQ(s.rec().dt_matches[0], 1);
    // At threshold 0 a zero IoU still qualifies: the touching DT takes GT 2 (IoU 0).
    Engine eng(simple_params({0.0}), boxes(gt, true), boxes(dt, false));
    InstanceRows rows = eng.per_instance(0, 0, 100);
    EXPECT_EQ(rows.dt_gt_id, (std::vector<int64_t>{1, 2}));
    EXPECT_EQ(rows.dt_iou[1], 0.0);
}

TEST(Matching, DetectionStatusFollowsAreaAndNonExhaustiveFlags) {
    std::vector<Row> gt{{1, 0, 0, {0, 0, 40, 40}}};         // area 1600
    std::vector<Row> dt{{1, 0, 0, {0, 0, 40, 40}, 0.9},     // matched, area 1600
                        {2, 0, 0, {300, 300, 5, 5}, 0.8},   // unmatched, small
                        {3, 0, 0, {300, 0, 40, 40}, 0.7}};  // unmatched, in range
    // Range [1000, 2000]: the small unmatched DT is ignored, the other is an FP.
    Single s = evaluate(gt, dt, simple_params({0.5}, {{1000, 2000}, {0, 100}}));
    EXPECT_EQ(as_vector(s.rec(0).dt_ignore), (std::vector<uint8_t>{0, 1, 0}));
    // Range [0, 100]: the GT is ignored, so its match is ignored too; the
    // in-range small DT is an FP, the large unmatched one ignored.
    EXPECT_EQ(as_vector(s.rec(1).dt_ignore), (std::vector<uint8_t>{1, 0, 1}));
    // A matched DT outside the range still counts when its GT is inside.
    std::vector<Row> big{{1, 0, 0, {0, 0, 45, 45}, 0.9}};  // area 2025 > 2000, IoU 0.79
    Single b = evaluate(gt, big, simple_params({0.5}, {{1000, 2000}}));
    EXPECT_EQ(b.rec().dt_ignore[0], 0);
    EXPECT_EQ(b.rec().dt_matches[0], 1);
    // Non-exhaustive: the unmatched DTs become ignored, the matched one is not.
    EvalParams p = simple_params({0.5}, {{0, 1e10}});
    Engine eng(p, boxes(gt, true), boxes(dt, false));
    std::vector<uint8_t> ig{0};
    std::vector<std::pair<int64_t, int64_t>> ne{{100, 1}};
    eng.configure_lvis(ig, ne, true);
    RunResult r = eng.run(true);
    EXPECT_EQ(as_vector(record(r, 0, 0, 0, 1)->dt_ignore), (std::vector<uint8_t>{0, 1, 1}));
}

TEST(Accumulate, EmptyCellsAndExtremes) {
    EvalParams p = coco_params(3, 3);
    p.rec_thrs = {0.0, 0.5, 1.0, 1.5};
    // Category 0: GTs but no DTs. Category 1: only crowd GTs plus DTs.
    // Category 2: a GT and two false positives.
    std::vector<Row> gt{{1, 0, 0, {0, 0, 10, 10}}, {2, 1, 1, {0, 0, 50, 50}}, {3, 2, 2, {0, 0, 10, 10}}};
    gt[1].crowd = true;
    std::vector<Row> dt{
        {1, 1, 1, {0, 0, 10, 10}, 0.9}, {2, 2, 2, {50, 50, 10, 10}, 0.4}, {3, 2, 2, {80, 80, 10, 10}, 0.6}};
    Engine eng(p, boxes(gt, true), boxes(dt, false));
    RunResult r = eng.run(false);
    for (std::size_t t = 0; t < r.T; ++t)
        for (std::size_t m = 0; m < r.M; ++m) {
            EXPECT_EQ(at4(r, t, 0, 0, m), 0.0);
            EXPECT_EQ(at4(r, t, 1, 0, m), -1.0);
            EXPECT_EQ(at4(r, t, 2, 0, m), 0.0);
            for (std::size_t q = 0; q < r.R; ++q) {
                EXPECT_EQ(at5(r.precision, r, t, q, 0, 0, m), 0.0);
                EXPECT_EQ(at5(r.scores, r, t, q, 0, 0, m), 0.0);
                EXPECT_EQ(at5(r.precision, r, t, q, 1, 0, m), -1.0);
                EXPECT_EQ(at5(r.precision, r, t, q, 2, 0, m), 0.0);
                // Only recall threshold 0 carries the best detection's score.
                EXPECT_EQ(at5(r.scores, r, t, q, 2, 0, m), q == 0 ? 0.6 : 0.0);
            }
        }
}

TEST(Accumulate, DetectionCapsSelectPerImageTopDetections) {
    // One image with five DTs in score order; only the third is correct.
    EvalParams p = coco_params(2, 1);
    p.iou_thrs = {0.5};
    p.rec_thrs = {0.0, 0.5, 1.0};
    p.max_dets = {1, 2, 200, 3};  // 200 > L = 3 behaves as 3
    std::vector<Row> gt{{1, 0, 0, {0, 0, 10, 10}}, {2, 1, 0, {0, 0, 10, 10}}};
    std::vector<Row> dt;
    for (int i = 0; i < 5; ++i)
        dt.push_back(Row{i + 1, 0, 0, {i == 2 ? 0.0 : 50.0 + 20 * i, 0, 10, 10}, 0.9 - 0.1 * i});
    dt.push_back(Row{9, 1, 0, {0, 0, 10, 10}, 0.9});  // equal top score in the second image
    Engine eng(p, boxes(gt, true), boxes(dt, false));
    RunResult r = eng.run(false);
    // Cap 1: two detections at 0.9, image 0 first: FP then TP.
    EXPECT_EQ(at4(r, 0, 0, 0, 0), 0.5);
    EXPECT_EQ(at5(r.scores, r, 0, 0, 0, 0, 0), 0.9);
    EXPECT_EQ(at5(r.precision, r, 0, 1, 0, 0, 0), 1.0 / ((1.0 + 1.0) + 2.220446049250313e-16));
    EXPECT_EQ(at5(r.precision, r, 0, 0, 0, 0, 0), 1.0 / ((1.0 + 1.0) + 2.220446049250313e-16));
    EXPECT_EQ(at5(r.precision, r, 0, 2, 0, 0, 0), 0.0);
    // Cap 3 (and 200): image 0 reaches its TP at rank 2; recall 1.
    for (std::size_t m : {2u, 3u}) {
        EXPECT_EQ(at4(r, 0, 0, 0, m), 1.0);
        EXPECT_EQ(at5(r.scores, r, 0, 2, 0, 0, m), 0.9 - 0.1 * 2);
    }
    EXPECT_EQ(at4(r, 0, 0, 0, 1), 0.5);
}

TEST(Accumulate, NoDetectionLimitKeepsNothing) {
    Random d = make_random(5, 10, 2);
    EvalParams p = coco_params(10, 2);
    p.max_dets = {};
    Engine eng(p, boxes(d.gt, true), boxes(d.dt, false));
    RunResult r = eng.run(true);
    EXPECT_EQ(r.M, 0u);
    EXPECT_TRUE(r.precision.empty());
    for (std::size_t i = 0; i < r.eval_imgs.size(); ++i) {
        const EvalImage e = r.eval_imgs[i];
        EXPECT_TRUE(e.dt_ids.empty());
        EXPECT_EQ(e.max_det, 0u);
    }
    EXPECT_NE(r.eval_imgs.size(), 0u);
    p.max_dets = {0};
    RunResult z = Engine(p, boxes(d.gt, true), boxes(d.dt, false)).run(false);
    for (std::size_t k = 0; k < 2; ++k) EXPECT_EQ(at4(z, 0, k, 0, 0), 0.0);
}

TEST(Records, EvalSlotsCoverEveryCategoryAreaAndImage) {
    EvalParams p = coco_params(3, 2);
    std::vector<Row> gt{{1, 0, 0, {0, 0, 10, 10}}, {2, 2, 1, {0, 0, 10, 10}}};
    std::vector<Row> dt{{1, 2, 0, {0, 0, 10, 10}, 0.5}};
    Engine eng(p, boxes(gt, true), boxes(dt, false));
    RunResult r = eng.run(true);
    ASSERT_EQ(r.eval_slots.size(), 24u);
    for (std::size_t a = 0; a < 4; ++a) {
        EXPECT_TRUE(record(r, 0, a, 0, 3).has_value());
        EXPECT_FALSE(record(r, 0, a, 1, 3).has_value());  // image 1 has nothing
        EXPECT_FALSE(record(r, 1, a, 1, 3).has_value());
        EXPECT_FALSE(record(r, 1, a, 0, 3).has_value());
        const std::optional<EvalImage> e = record(r, 0, a, 2, 3);
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->image_id, 102);
        EXPECT_EQ(e->category_id, 1);
        EXPECT_EQ(e->area_index, a);
        EXPECT_EQ(e->max_det, 100u);
        EXPECT_EQ(e->gt_ids.size(), 0u);
        EXPECT_EQ(e->dt_matches.size(), 10u);
    }
    p.use_cats = false;
    RunResult pooled = Engine(p, boxes(gt, true), boxes(dt, false)).run(true);
    EXPECT_EQ(pooled.K, 1u);
    ASSERT_EQ(pooled.eval_slots.size(), 12u);
    EXPECT_EQ(record(pooled, 0, 0, 2, 3)->category_id, -1);
    EXPECT_EQ(as_vector(record(pooled, 0, 0, 2, 3)->gt_ids), (std::vector<int64_t>{2}));
}

TEST(Lvis, ConfigurationChecksAndCrowdClearing) {
    std::vector<Row> gt{{1, 0, 0, {0, 0, 100, 100}}, {2, 0, 0, {200, 200, 10, 10}}};
    gt[0].crowd = true;
    std::vector<Row> dt{{1, 0, 0, {10, 10, 20, 20}, 0.9}};
    EvalParams p = simple_params({0.5});
    Engine eng(p, boxes(gt, true), boxes(dt, false));
    std::vector<uint8_t> short_flags{0};
    try {
        eng.configure_lvis(short_flags, {}, false);
        FAIL();
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::Value);
        EXPECT_EQ(e.message(), "LVIS ignore flags do not match ground-truth length");
    }
    EXPECT_EQ(eng.gt().crowd[0], 1);  // unchanged
    std::vector<uint8_t> flags{0, 1};
    std::vector<std::pair<int64_t, int64_t>> absent{{999, 1}, {100, 42}};
    eng.configure_lvis(flags, absent, true);
    EXPECT_EQ(eng.gt().crowd[0], 1);
    EXPECT_EQ(eng.gt().ignore, (std::vector<uint8_t>{0, 1}));
    EXPECT_EQ(eng.dt().non_exhaustive[0], 0);
    // Crowd rule kept: the DT inside the crowd box matches with IoU 1.
    EXPECT_EQ(eng.per_instance(0, 0, 100).dt_iou[0], 1.0);
    eng.configure_lvis(flags, {}, false);
    EXPECT_EQ(eng.gt().crowd[0], 0);
    // Ordinary union now: 400 / 10000 is below 0.5.
    EXPECT_EQ(eng.per_instance(0, 0, 100).dt_gt_id[0], -1);
    eng.configure_lvis(flags, {}, true);  // cleared crowds stay cleared
    EXPECT_EQ(eng.gt().crowd[0], 0);
}

TEST(Iou, GeometryKindsMustAgree) {
    RecordSet gt = boxes({{1, 0, 0, {0, 0, 10, 10}}}, true);
    RecordSet dt(GeometryKind::Keypoints);
    dt.push_scalars(1, 0, 0, 0.5, 100, false, false);
    double kp[3] = {1, 2, 2};
    dt.push_keypoints(kp, 3, false);
    EvalParams p = simple_params({0.5});
    p.kpt_sigmas = {0.1};
    Engine eng(p, std::move(gt), std::move(dt));
    try {
        eng.run(false);
        FAIL();
    } catch (const Error& e) {
        EXPECT_EQ(e.message(), "ground truth and detection geometry kinds disagree");
    }
}

namespace {

RecordSet keypoint_side(bool gt, const std::vector<std::vector<double>>& lists,
                        const std::vector<std::array<double, 4>>& bxs, const std::vector<double>& areas) {
    RecordSet rs(GeometryKind::Keypoints);
    for (std::size_t i = 0; i < lists.size(); ++i) {
        rs.push_scalars(int64_t(i + 1), 0, 0, 1.0 - 0.1 * double(i), areas[i], false, false);
        if (gt) rs.boxes.append(bxs[i].data());
        if (lists[i].empty())
            rs.push_missing_keypoints(gt);
        else
            rs.push_keypoints(lists[i].data(), lists[i].size(), gt);
    }
    return rs;
}

}  // namespace

TEST(Keypoints, RowsWithoutListsHoldZerosAndKeepAddressing) {
    RecordSet rs(GeometryKind::Keypoints);
    std::vector<double> two{1, 2, 1, 3, 4, 0};
    for (int i = 0; i < 4; ++i) {
        rs.push_scalars(i + 1, 0, 0, 0, 0, false, false);
        if (i == 2)
            rs.push_keypoints(two.data(), 6, true);
        else
            rs.push_missing_keypoints(true);
    }
    rs.pad_keypoints(rs.keypoint_count, true);
    EXPECT_EQ(rs.keypoint_count, 2u);
    EXPECT_EQ(rs.keypoints, (std::vector<double>{0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 0, 0, 0, 0}));
    EXPECT_EQ(rs.visibility, (std::vector<uint8_t>{0, 0, 0, 0, 1, 0, 0, 0}));
    // Once K is fixed only 3K values fit, an empty list included.
    EXPECT_THROW(rs.check_keypoint_length(9), Error);
    EXPECT_THROW(rs.check_keypoint_length(0), Error);
    EXPECT_NO_THROW(rs.check_keypoint_length(6));
    RecordSet fresh(GeometryKind::Keypoints);
    EXPECT_THROW(fresh.check_keypoint_length(4), Error);
    EXPECT_NO_THROW(fresh.check_keypoint_length(0));
}

TEST(Keypoints, ObjectKeypointSimilarity) {
    const double eps = 2.220446049250313e-16;
    // GT 0: two labelled keypoints; GT 1: none labelled (expanded-box rule).
    RecordSet gt = keypoint_side(true, {{10, 10, 2, 20, 20, 1}, {0, 0, 0, 0, 0, 0}},
                                 {{0, 0, 30, 30}, {100, 100, 10, 10}}, {400, 50});
    RecordSet dt = keypoint_side(false, {{13, 14, 1, 20, 20, 0}, {95, 120, 1, 110, 105, 1}}, {}, {0, 0});
    std::vector<double> sig{0.5, 0.25};
    std::vector<uint32_t> di{0, 1}, gi{0, 1};
    double out[4];
    oks_records(dt, gt, di, gi, sig, true, out);
    double v0 = 4 * 0.25, v1 = 4 * 0.0625;
    double e0 = std::exp((9.0 + 16.0) / v0 / (400 + eps) * -0.5), e1 = std::exp(0.0 / v1 / (400 + eps) * -0.5);
    EXPECT_EQ(out[0], (e0 + e1) / 2);
    // DT 1's keypoints lie inside [90, 120] x [90, 120]: similarity 1 for GT 1.
    EXPECT_EQ(out[3], 1.0);
    // DT 0 at (13, 14) lies outside GT 1's expanded box by (77, 76) and (70, 70).
    double f0 = std::exp((77.0 * 77 + 76.0 * 76) / v0 / (50 + eps) * -0.5);
    double f1 = std::exp((70.0 * 70 + 70.0 * 70) / v1 / (50 + eps) * -0.5);
    EXPECT_EQ(out[1], (f0 + f1) / 2);
    // Without use_area the scale is 0.53 x box area, whatever the area says.
    oks_records(dt, gt, di, gi, sig, false, out);
    double a = 30 * 30 * 0.53 + eps;
    EXPECT_EQ(out[0], (std::exp((9.0 + 16.0) / v0 / a * -0.5) + 1.0) / 2);
}

TEST(Keypoints, EngineEvaluatesAndChecksSigmas) {
    RecordSet gt = keypoint_side(true, {{10, 10, 2, 20, 20, 1}}, {{0, 0, 30, 30}}, {400});
    RecordSet dt = keypoint_side(false, {{11, 10, 1, 20, 21, 1}, {}}, {}, {0, 0});
    EvalParams p = simple_params({0.5, 0.95});
    p.kpt_sigmas = {0.5, 0.25};
    p.iou_kind = IouKind::Keypoints;
    Engine eng(p, std::move(gt), std::move(dt));
    EXPECT_EQ(eng.dt().keypoints.size(), 8u);  // the listless row holds zeros
    InstanceRows rows = eng.per_instance(0, 0, 100);
    EXPECT_EQ(rows.dt_gt_id, (std::vector<int64_t>{1, -1}));
    EXPECT_GT(rows.dt_iou[0], 0.95);
    RecordSet g2 = keypoint_side(true, {{10, 10, 2, 20, 20, 1}}, {{0, 0, 30, 30}}, {400});
    RecordSet d2 = keypoint_side(false, {{11, 10, 1, 20, 21, 1}}, {}, {0});
    p.kpt_sigmas = {0.5};
    EXPECT_THROW(Engine(p, std::move(g2), std::move(d2)), Error);
}

TEST(Keypoints, RangesByImageValueOrScaleAndUnscoredResults) {
    // One person: box 30 x 30 (scale 0.53 x 900 = 477 without use_area), area 5000.
    auto sides = [] {
        return std::pair(keypoint_side(true, {{10, 10, 2, 20, 20, 1}}, {{0, 0, 30, 30}}, {5000}),
                         keypoint_side(false, {{11, 10, 1, 20, 21, 1}, {11, 10, 0, 20, 21, 0}}, {}, {0, 0}));
    };
    EvalParams p = simple_params({0.5}, {{0, 1000}, {1000, 1e10}});
    p.kpt_sigmas = {0.5, 0.25};
    p.iou_kind = IouKind::Keypoints;
    p.use_area = false;
    auto gt_ignored = [&](const EvalParams& q) {
        auto [gt, dt] = sides();
        Engine eng(q, std::move(gt), std::move(dt));
        return std::pair(eng.per_instance(0, 0, 100).gt_ignore[0], eng.per_instance(0, 1, 100).gt_ignore[0]);
    };
    EXPECT_EQ(gt_ignored(p), (std::pair<uint8_t, uint8_t>(1, 0)));  // the area decides
    p.ranges_by_scale = true;
    EXPECT_EQ(gt_ignored(p), (std::pair<uint8_t, uint8_t>(0, 1)));  // the scale decides
    p.range_by_image = {0.5};
    p.area_rng = {{0, std::nextafter(0.5, 0.0)}, {0.5, 1}};
    EXPECT_EQ(gt_ignored(p), (std::pair<uint8_t, uint8_t>(1, 0)));  // the image's value decides
    p.range_by_image = {0.5, 0.7};
    auto [gt, dt] = sides();
    EXPECT_THROW(Engine(p, std::move(gt), std::move(dt)), Error);

    // Ignore by visibility: a person with a visible keypoint counts even when
    // the side builder ignored it (as for num_keypoints 0); one without does not.
    {
        p.range_by_image.clear();
        p.area_rng = {{0, 1e10}};
        p.visibility_ignore = true;
        RecordSet g = keypoint_side(true, {{10, 10, 2, 20, 20, 0}, {10, 10, 0, 20, 20, 0}},
                                    {{0, 0, 30, 30}, {0, 0, 30, 30}}, {900, 900});
        g.ignore = {1, 0};
        Engine eng(p, std::move(g), sides().second);
        EXPECT_EQ(eng.per_instance(0, 0, 100).gt_ignore, (std::vector<uint8_t>{0, 1}));
        p.visibility_ignore = false;
        p.area_rng = {{0, std::nextafter(0.5, 0.0)}, {0.5, 1}};
    }
    // The second result has no keypoint of positive confidence.
    p.range_by_image.clear();
    EXPECT_EQ(sides().second.scored, (std::vector<uint8_t>{1, 0}));
    for (bool skip : {false, true}) {
        p.skip_unscored = skip;
        auto [g, d] = sides();
        Engine eng(p, std::move(g), std::move(d));
        EXPECT_EQ(eng.per_instance(0, 0, 100).dt_id, (skip ? std::vector<int64_t>{1} : std::vector<int64_t>{1, 2}));
    }
}
