// Panoptic quality matching (COCO panoptic format), image by image.
//
// Each image brings two segment maps (ground truth and prediction) whose
// pixels carry segment ids as colours, id = R + 256 G + 256^2 B, and the
// segments its JSON lists. The joint histogram of (gt id, pred id) pixel
// pairs gives every intersection; from it the PQ rules decide matches (IoU >
// 0.5, same category, gt not crowd), false negatives and false positives
// (unless more than half of the predicted segment is VOID or same-category
// crowd). Maps arrive either as plain pixel rows or as the still-filtered
// rows of an inflated PNG, which are unfiltered on the fly: only two rows of
// each map are ever held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zerlin::panoptic {

// Colour id 0: pixels that belong to no segment.
constexpr uint32_t kVoid = 0;
// Category index of a segment whose category the evaluation does not know.
constexpr uint32_t kUnknownCategory = UINT32_MAX;

struct SegmentMap {
    const uint8_t* data = nullptr;
    std::size_t size = 0;       // bytes at data
    uint8_t channels = 3;       // 3 (RGB) or 4 (RGBA, alpha ignored)
    bool png_filtered = false;  // rows start with a PNG filter type byte
};

struct GtSegment {
    int64_t id = 0;
    uint32_t category = 0;  // index into the evaluation's categories
    bool crowd = false;
    double area = 0;  // as the JSON states it; matching uses it, not the pixel count
};

struct PredSegment {
    int64_t id = 0;
    uint32_t category = kUnknownCategory;
};

struct ImageInput {
    uint32_t height = 0;
    uint32_t width = 0;
    SegmentMap gt;
    SegmentMap pred;
    std::span<const GtSegment> gt_segments;      // JSON order, ids distinct
    std::span<const PredSegment> pred_segments;  // JSON order, ids distinct
};

// What makes an image unusable; checked in this order, predicted ids of the
// map in increasing order.
enum class ImageFault : uint8_t {
    None,
    GtMapCorrupt,  // wrong byte count or an unknown PNG filter type
    PredMapCorrupt,
    PredSegmentNotInJson,  // a non-VOID id in the predicted map that the JSON lacks
    PredUnknownCategory,   // a predicted segment of a category not evaluated
    PredSegmentNotInMap,   // a predicted JSON segment with no pixel
};

struct Match {
    uint32_t category;
    double iou;
};

struct ImageOutcome {
    std::vector<Match> matches;             // in (gt id, pred id) order
    std::vector<uint32_t> false_negatives;  // category per unmatched non-crowd gt segment
    std::vector<uint32_t> false_positives;  // category per counted unmatched prediction
    ImageFault fault = ImageFault::None;
    int64_t fault_segment = 0;  // the segment id the fault names
};

// Evaluates one image.
ImageOutcome match_image(const ImageInput& image);

// Evaluates every image on the worker pool; outcomes in image order.
std::vector<ImageOutcome> match_images(std::span<const ImageInput> images);

// Reverses a PNG filter (types 0 to 4) on one row of `n` bytes with `bpp`
// bytes per pixel; `prev` is the previous unfiltered row (zeros for the
// first). Returns false for an unknown filter type, or a `bpp` other than 3 or 4.
bool unfilter_row(uint8_t type, const uint8_t* in, const uint8_t* prev, uint8_t* out, std::size_t n, std::size_t bpp);

}  // namespace zerlin::panoptic
