// Evaluation parameters.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "zerlin/records.hpp"

namespace zerlin {

// Evaluation parameters; dimensions T, R, K, A, M derive from them.
struct EvalParams {
    std::vector<int64_t> img_ids;
    std::vector<int64_t> cat_ids;
    std::vector<double> iou_thrs;
    std::vector<double> rec_thrs;
    std::vector<uint64_t> max_dets;
    std::vector<std::array<double, 2>> area_rng;
    bool use_cats = true;
    IouKind iou_kind = IouKind::Bbox;
    std::vector<double> kpt_sigmas;
    bool use_area = true;
    double boundary_dilation = 0.02;
    // Per image (aligned with img_ids): the value the ranges of area_rng test
    // in place of each annotation's own area, for splits by an image-level
    // measure such as a crowd index; empty tests the areas. Similarity still
    // reads the areas.
    std::vector<double> range_by_image;
    // Keypoints: the area ranges test each ground truth's similarity scale
    // (its area, or 0.53 x its box area without use_area), as xtcocotools
    // does; else its area whatever use_area says, as pycocotools-style peers do.
    bool ranges_by_scale = false;
    // Keypoints: results without a keypoint of positive confidence are left
    // out, as xtcocotools does.
    bool skip_unscored = false;
    // Keypoints: a ground truth is ignored when crowd or without a visible
    // keypoint (xtcocotools' keypoints), not by its num_keypoints.
    bool visibility_ignore = false;
    // Keypoints: the lists joined, in this order, into each row's keypoints
    // (COCO-WholeBody's parts); empty reads the body's "keypoints" alone.
    std::vector<KeypointPart> keypoint_parts;
    // Keypoint results: ranked by this part score where a row has one, else
    // by its "score" (counted in RecordSet::score_fallbacks).
    std::optional<PartScore> part_score;

    std::size_t num_slots() const noexcept { return use_cats ? cat_ids.size() : 1; }
    // L: the per-image detection limit, the last max_dets entry (0 when empty).
    uint64_t det_limit() const noexcept { return max_dets.empty() ? 0 : max_dets.back(); }
};

}  // namespace zerlin
