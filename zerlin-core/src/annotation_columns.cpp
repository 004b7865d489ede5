// The annotation column store.
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
    if (o.has_missing_boxes || has_missing_boxes) {
        fill_absent<std::uint8_t>(box_missing, has_missing_boxes, n, 1, 0);
        fill_absent<std::uint8_t>(o.box_missing, o.has_missing_boxes, m, 1, 0);
        append_vec(box_missing, o.box_missing);
    }
    if (first_null_score == kNoNullScore) first_null_score = o.first_null_score;
    if (o.wide_ids && !wide_ids) widen(*this);
    if (wide_ids && !o.wide_ids) widen(o);
    append_vec(boxes, o.boxes);
    append_vec(scores, o.scores);
    append_vec(ids32, o.ids32);
    append_vec(ids64, o.ids64);
    append_vec(gt_ids, o.gt_ids);
    append_vec(gt_areas, o.gt_areas);
    append_vec(gt_crowd, o.gt_crowd);
}

void AnnotationColumns::shrink_to_fit() {
    boxes.shrink_to_fit();
    scores.shrink_to_fit();
    ids32.shrink_to_fit();
    ids64.shrink_to_fit();
    gt_ids.shrink_to_fit();
    gt_areas.shrink_to_fit();
    gt_crowd.shrink_to_fit();
    segmentation.shrink_to_fit();
    pose.shrink_to_fit();
    box_missing.shrink_to_fit();
}

}  // namespace zerlin
