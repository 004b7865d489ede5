#include "zerlin/federated.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

zerlin::RecordSet rows(const std::vector<std::pair<int32_t, int32_t>>& groups, const std::vector<double>& scores) {
    zerlin::RecordSet rs;
    for (std::size_t r = 0; r < groups.size(); ++r)
        rs.push_scalars(int64_t(r) + 1, groups[r].first, groups[r].second, scores[r], 1.0, false, false);
    return rs;
}

}  // namespace

TEST(Federated, CapOverAllCategoriesBeforeTheVerifiedFilter) {
    // Image 0: four detections, the cap of two keeps the 0.9 (category 1)
    // and the first 0.8 (category 0); the later 0.8 and the NaN go, and so
    // would category 1's own row had it not been among the best.
    // Image 1: category 2 is verified by a negative pair only; the row of a
    // category outside the evaluation still counts towards the cap.
    const double nan = std::nan("");
    zerlin::RecordSet dt = rows({{0, 0}, {0, 1}, {0, 0}, {0, 1}, {1, 2}, {1, 3}, {-1, 0}, {1, -1}},
                                {0.8, 0.9, 0.8, nan, 0.95, 0.7, 0.9, 0.9});
    zerlin::RecordSet gt = rows({{0, 0}, {0, 1}}, {0, 0});
    zerlin::select_federated(dt, gt, {{1, 2}, {-1, 3}}, 2);
    EXPECT_EQ(dt.image_index, (std::vector<int32_t>{0, 0, -1, -1, 1, -1, -1, -1}));
    EXPECT_EQ(dt.ids, (std::vector<int64_t>{1, 2, 3, 4, 5, 6, 7, 8}));  // rows keep their places
}

TEST(Federated, OnlyPositiveFiniteAreasTakePart) {
    // Category 1's only ground truth has area 0: it leaves and verifies
    // nothing, so image 0's category-1 detection goes too. Detections of
    // zero, infinite or NaN area leave once their areas are known.
    zerlin::RecordSet gt = rows({{0, 0}, {0, 1}}, {0, 0});
    gt.areas = {4.0, 0.0};
    zerlin::RecordSet dt = rows({{0, 0}, {0, 1}, {0, 0}, {0, 0}, {0, 0}}, {0.9, 0.8, 0.7, 0.6, 0.5});
    dt.areas = {1.0, 1.0, 0.0, INFINITY, std::nan("")};
    zerlin::select_federated(dt, gt, {}, 300);
    EXPECT_EQ(gt.image_index, (std::vector<int32_t>{0, -1}));
    EXPECT_EQ(dt.image_index, (std::vector<int32_t>{0, -1, 0, 0, 0}));
    zerlin::drop_outside_area(dt);
    EXPECT_EQ(dt.image_index, (std::vector<int32_t>{0, -1, -1, -1, -1}));
}
