// The annotation column store.
#include <cmath>
#include <cstdint>

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

template <class T>
static void append_vec(std::vector<T>& a, std::vector<T>& b) {
    if (a.empty() && a.capacity() < b.size())  // room reserved beforehand is kept
        a.swap(b);
    else
        a.insert(a.end(), b.begin(), b.end());
}

// Brings a lazily created column to `rows` rows of `per_row` absent values.
template <class T>
static void fill_absent(std::vector<T>& v, bool& has, std::size_t rows, std::size_t per_row, T absent) {
    if (!has) {
        v.assign(rows * per_row, absent);
        has = true;
    }
}

void AnnotationColumns::append(AnnotationColumns&& o) {
    std::size_t n = size(), m = o.size();
    if (o.has_segmentation || has_segmentation) {
        fill_absent(segmentation, has_segmentation, n, 1, Span{});
        fill_absent(o.segmentation, o.has_segmentation, m, 1, Span{});
        append_vec(segmentation, o.segmentation);
    }
    if (o.has_pose || has_pose) {
        fill_absent(pose, has_pose, n, 2, Span{});
        fill_absent(o.pose, o.has_pose, m, 2, Span{});
        append_vec(pose, o.pose);
    }
    if (o.has_parts || has_parts) {
        fill_absent(parts, has_parts, n, kKeypointPartCount - 1, Span{});
        fill_absent(o.parts, o.has_parts, m, kKeypointPartCount - 1, Span{});
        append_vec(parts, o.parts);
    }
    if (o.has_part_scores || has_part_scores) {
        fill_absent(part_scores, has_part_scores, n, kPartScoreCount, std::nan(""));
        fill_absent(o.part_scores, o.has_part_scores, m, kPartScoreCount, std::nan(""));
        append_vec(part_scores, o.part_scores);
    }
    if (o.has_missing_boxes || has_missing_boxes) {
        fill_absent<std::uint8_t>(box_missing, has_missing_boxes, n, 1, 0);
        fill_absent<std::uint8_t>(o.box_missing, o.has_missing_boxes, m, 1, 0);
        append_vec(box_missing, o.box_missing);
    }
    if (first_null_score == kNoNullScore) first_null_score = o.first_null_score;
    object_fields |= o.object_fields;
    if (o.wide_ids && !wide_ids) widen(*this);
    if (wide_ids && !o.wide_ids) widen(o);
    append_vec(boxes, o.boxes);
    append_vec(scores, o.scores);
    append_vec(ids32, o.ids32);
    append_vec(ids64, o.ids64);
    append_vec(gt_ids, o.gt_ids);
    append_vec(gt_areas, o.gt_areas);
    append_vec(gt_crowd, o.gt_crowd);
    append_vec(gt_ignore, o.gt_ignore);
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
