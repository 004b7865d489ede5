// Boxes and areas of results rows derived from their geometry, as the
// reference loader derives them for results without boxes.
#pragma once

#include <string_view>

#include "zerlin/snapshot.hpp"

namespace zerlin {

// Completes the rows of a results file read with the reference grammar:
// - mask shape: every row's area is its mask's foreground area, and rows
//   written without a box get the mask's bounding box;
// - keypoint shape: every row's box spans its keypoints (x0, y0, x1 - x0,
//   y1 - y0) and its area is that box's;
// - box shape: nothing to do.
// Only the RLE objects ({"size": [h, w], "counts": string or runs}) and
// flat keypoint lists of one length are completed here; anything else
// throws Error(Value) naming the first such row, the caller then loading
// the file as objects.
// With `decode_masks` false, mask rows are only checked to be such RLE
// objects: their areas and boxes stay to be derived (an evaluation takes
// the areas from the masks it decodes anyway).
void complete_results_geometry(AnnotationColumns& cols, std::string_view snapshot, bool decode_masks = true);

}  // namespace zerlin
