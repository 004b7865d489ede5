// The detections the LVIS federated protocol evaluates, chosen over record
// sets whichever way their sides were given.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "zerlin/records.hpp"

namespace zerlin {

// Keeps, of each image's detections, its max_det best (over all categories,
// score descending, NaN last, input order among equals), and of those the
// ones whose category the image verifies: a category of one of its ground
// truths, or one of `negative` (image index, category index) pairs. The
// others leave the evaluation: their image index becomes -1, so rows keep
// their places (and ids). Ground truths whose area is not in (0, inf) leave
// the evaluation first and verify nothing, as the LVIS protocol reads only
// annotations of positive, finite area.
void select_federated(RecordSet& dt, RecordSet& gt, const std::vector<std::pair<std::int32_t, std::int32_t>>& negative,
                      std::uint64_t max_det);

// The same area rule for detections. It runs once their areas are known
// (mask results without boxes take theirs from the decoded masks), after
// the per-image cap, which counts every detection.
void drop_outside_area(RecordSet& records);

}  // namespace zerlin
