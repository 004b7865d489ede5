// The annotation column store.
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "zerlin/pool.hpp"
#include "zerlin/snapshot.hpp"

namespace zerlin {

// ---------------------------------------------------------------- columns

void AnnotationColumns::reserve(std::size_t rows) {
    boxes.reserve(4 * rows);
    scores.reserve(rows);
    if (wide_ids)
        ids64.reserve(2 * rows);
    else
        ids32.reserve(2 * rows);
    if (ground_truth) {
        gt_ids.reserve(rows);
        gt_areas.reserve(rows);
        gt_crowd.reserve(rows);
        gt_ignore.reserve(rows);
    }
}

static bool fits32(std::int64_t v) {
    return v >= INT32_MIN && v <= INT32_MAX;
}

static void widen(AnnotationColumns& c) {
    c.ids64.assign(c.ids32.begin(), c.ids32.end());
    c.ids32.clear();
    c.ids32.shrink_to_fit();
    c.wide_ids = true;
}

void AnnotationColumns::push(const double box[4], double score, std::int64_t image_id, std::int64_t category_id) {
    boxes.insert(boxes.end(), box, box + 4);
    scores.push_back(score);
    if (!wide_ids && !(fits32(image_id) && fits32(category_id))) widen(*this);
    if (wide_ids) {
        ids64.push_back(image_id);
        ids64.push_back(category_id);
    } else {
        ids32.push_back(std::int32_t(image_id));
        ids32.push_back(std::int32_t(category_id));
    }
}

void AnnotationColumns::push_segmentation(Span s) {
    if (!has_segmentation) {
        if (s.absent()) return;
        has_segmentation = true;
        segmentation.assign(size() - 1, Span{});  // rows before this one had none
    }
    segmentation.push_back(s);
}

void AnnotationColumns::push_pose(Span keypoints, Span num_keypoints) {
    if (!has_pose) {
        if (keypoints.absent() && num_keypoints.absent()) return;
        has_pose = true;
        pose.assign(2 * (size() - 1), Span{});
    }
    pose.push_back(keypoints);
    pose.push_back(num_keypoints);
}

double AnnotationColumns::part_score(std::size_t row, PartScore s) const noexcept {
    return has_part_scores ? part_scores[kPartScoreCount * row + std::size_t(s)] : std::nan("");
}

void AnnotationColumns::push_parts(const Span (&spans)[kKeypointPartCount - 1],
                                   const double (&scores)[kPartScoreCount]) {
    constexpr std::size_t kSpans = kKeypointPartCount - 1;
    const std::size_t before = size() - 1;  // rows before this one had none
    bool any_span = false, any_score = false;
    for (const Span& sp : spans) any_span = any_span || !sp.absent();
    for (double v : scores) any_score = any_score || !std::isnan(v);
    if (any_span && !has_parts) {
        has_parts = true;
        parts.assign(kSpans * before, Span{});
    }
    if (has_parts) parts.insert(parts.end(), spans, spans + kSpans);
    if (any_score && !has_part_scores) {
        has_part_scores = true;
        part_scores.assign(kPartScoreCount * before, std::nan(""));
    }
    if (has_part_scores) part_scores.insert(part_scores.end(), scores, scores + kPartScoreCount);
}

void AnnotationColumns::push_box_missing(bool missing) {
    if (!has_missing_boxes) {
        if (!missing) return;
        has_missing_boxes = true;
        box_missing.assign(size() - 1, 0);
    }
    box_missing.push_back(missing ? 1 : 0);
}

// Brings a lazily created column to `rows` rows of `per_row` absent values.
template <class T>
static void fill_absent(std::vector<T>& v, bool& has, std::size_t rows, std::size_t per_row, T absent) {
    if (!has) {
        v.assign(rows * per_row, absent);
        has = true;
    }
}

// Appends every part's column `member` to all's, in order, each part's let
// go once copied (the columns are then held about once, not twice over).
template <class T>
static void concatenate_column(AnnotationColumns& all, std::vector<AnnotationColumns>& parts,
                               std::vector<T> AnnotationColumns::*member) {
    std::vector<T>& out = all.*member;
    std::size_t total = 0;
    for (const AnnotationColumns& p : parts) total += (p.*member).size();
    out.reserve(total);
    for (AnnotationColumns& p : parts) {
        std::vector<T>& in = p.*member;
        out.insert(out.end(), in.begin(), in.end());
        std::vector<T>().swap(in);
    }
}

AnnotationColumns AnnotationColumns::concatenate(std::vector<AnnotationColumns>&& parts) {
    AnnotationColumns all;
    if (parts.empty()) return all;
    all.ground_truth = parts.front().ground_truth;
    all.shape = parts.front().shape;
    for (const AnnotationColumns& p : parts) {
        all.has_segmentation |= p.has_segmentation;
        all.has_pose |= p.has_pose;
        all.has_parts |= p.has_parts;
        all.has_part_scores |= p.has_part_scores;
        all.has_missing_boxes |= p.has_missing_boxes;
        all.wide_ids |= p.wide_ids;
        all.object_fields |= p.object_fields;
        if (all.first_null_score == kNoNullScore) all.first_null_score = p.first_null_score;
    }
    // A column some part created, the others get as absent values.
    for (AnnotationColumns& p : parts) {
        const std::size_t n = p.size();
        if (all.has_segmentation) fill_absent(p.segmentation, p.has_segmentation, n, 1, Span{});
        if (all.has_pose) fill_absent(p.pose, p.has_pose, n, 2, Span{});
        if (all.has_parts) fill_absent(p.parts, p.has_parts, n, kKeypointPartCount - 1, Span{});
        if (all.has_part_scores) fill_absent(p.part_scores, p.has_part_scores, n, kPartScoreCount, std::nan(""));
        if (all.has_missing_boxes) fill_absent<std::uint8_t>(p.box_missing, p.has_missing_boxes, n, 1, 0);
        if (all.wide_ids && !p.wide_ids) widen(p);
    }
    // Each column is copied by a task of its own: the copies are the first
    // touches of their memory, one serial step between a parallel read and
    // the rest otherwise.
    std::vector<std::function<void()>> columns;
    auto add = [&](auto member) {
        columns.push_back([&all, &parts, member] { concatenate_column(all, parts, member); });
    };
    add(&AnnotationColumns::boxes);
    add(&AnnotationColumns::scores);
    add(&AnnotationColumns::ids32);
    add(&AnnotationColumns::ids64);
    add(&AnnotationColumns::gt_ids);
    add(&AnnotationColumns::gt_areas);
    add(&AnnotationColumns::gt_crowd);
    add(&AnnotationColumns::gt_ignore);
    add(&AnnotationColumns::segmentation);
    add(&AnnotationColumns::pose);
    add(&AnnotationColumns::parts);
    add(&AnnotationColumns::part_scores);
    add(&AnnotationColumns::box_missing);
    add(&AnnotationColumns::derived_areas);
    parallel_for(columns.size(), 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) columns[i]();
    });
    return all;
}

void AnnotationColumns::shrink_to_fit() {
    boxes.shrink_to_fit();
    scores.shrink_to_fit();
    ids32.shrink_to_fit();
    ids64.shrink_to_fit();
    gt_ids.shrink_to_fit();
    gt_areas.shrink_to_fit();
    gt_crowd.shrink_to_fit();
    gt_ignore.shrink_to_fit();
    segmentation.shrink_to_fit();
    pose.shrink_to_fit();
    parts.shrink_to_fit();
    part_scores.shrink_to_fit();
    box_missing.shrink_to_fit();
}

}  // namespace zerlin
