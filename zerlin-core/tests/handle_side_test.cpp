#include "zerlin/handle_side.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zerlin/results_geometry.hpp"
#include "zerlin/side_builder.hpp"

namespace {

// A results handle of mask rows without boxes, loaded as the package loads them.
zerlin::CompactData mask_results(const std::string& text) {
    zerlin::SnapshotColumns built =
        zerlin::build_snapshot(text, true, nullptr, false, zerlin::RecordGrammar::Reference);
    zerlin::complete_results_geometry(built.columns, text, false);
    zerlin::CompactData h;
    h.snapshot = std::make_shared<const zerlin::Text>(text);
    h.columns = std::make_shared<const zerlin::AnnotationColumns>(std::move(built.columns));
    h.results = true;
    h.spans_kept = true;
    return h;
}

}  // namespace

// The images' and categories' positions start at GetParam(): far apart, the
// groups the other side has are looked up in a sorted list, else in a bitmap.
class HandleSideGroups : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(HandleSideGroups, MaskAreasComeFromTheMasksOfRowsThatTakePart) {
    const std::int32_t first = GetParam();
    zerlin::EvalParams p;
    for (std::int32_t k = 0; k < first; ++k) {
        p.img_ids.push_back(100 + k);
        p.cat_ids.push_back(100 + k);
    }
    p.img_ids.insert(p.img_ids.end(), {1, 2});
    p.cat_ids.insert(p.cat_ids.end(), {1, 2});
    p.max_dets = {1};
    p.iou_kind = zerlin::IouKind::Segm;
    zerlin::ImageSizes sizes(2);
    sizes.insert(1, {4, 3});
    sizes.insert(2, {4, 3});
    zerlin::Lookups lk{zerlin::PositionTable(p.img_ids), zerlin::PositionTable(p.cat_ids), sizes};
    zerlin::TimingCells cells;
    zerlin::HandleSideReader reader(p, lk, zerlin::GeometryKind::Masks, cells);
    // Row 0 meets the ground truth, row 1 is a group of its own (area only),
    // row 2 is beyond the one detection per group evaluation reads.
    const zerlin::CompactData dt = mask_results(R"([
        {"image_id": 1, "category_id": 1, "score": 0.9, "segmentation": {"size": [4, 3], "counts": [5, 2, 5]}},
        {"image_id": 2, "category_id": 2, "score": 0.8, "segmentation": {"size": [4, 3], "counts": [0, 3, 9]}},
        {"image_id": 1, "category_id": 1, "score": 0.1, "segmentation": {"size": [4, 3], "counts": [1, 1, 10]}}])");
    ASSERT_TRUE(dt.mask_areas_deferred());
    zerlin::RecordSet gt(zerlin::GeometryKind::Masks), rows(zerlin::GeometryKind::Masks);
    gt.push_scalars(1, first, first, 0.0, 1.0, false, false);
    reader.records(dt, false, rows);
    EXPECT_TRUE(std::isnan(rows.areas[0]));
    reader.geometry(dt, false, rows, gt);
    EXPECT_EQ(rows.areas[0], 2.0);
    EXPECT_EQ(rows.areas[1], 3.0);
    EXPECT_TRUE(std::isnan(rows.areas[2]));
    EXPECT_EQ(rows.masks[0].counts, (std::vector<uint32_t>{5, 2, 5}));
    EXPECT_TRUE(rows.masks[1].counts.empty() && rows.masks[2].counts.empty());
}

INSTANTIATE_TEST_SUITE_P(Positions, HandleSideGroups, ::testing::Values(0, 4000));

TEST(SideBuilder, RowsMapIdsAndTakeTheIgnoreRuleOfTheirSide) {
    zerlin::ImageSizes sizes(1);
    zerlin::Lookups lk{zerlin::PositionTable({7, 9}), zerlin::PositionTable({3}), sizes};
    const double box[4] = {1, 2, 3, 4};
    zerlin::AnnotationRow crowd;
    crowd.id = 5;
    crowd.image_id = 9;
    crowd.category_id = 3;
    crowd.box = box;
    crowd.crowd = true;
    zerlin::AnnotationRow unknown = crowd;
    unknown.image_id = 8;
    unknown.crowd = false;
    unknown.no_keypoints = true;
    zerlin::RecordSet gt(zerlin::GeometryKind::Keypoints), dt(zerlin::GeometryKind::Boxes);
    zerlin::SideBuilder gt_rows(gt, true, lk), dt_rows(dt, false, lk);
    for (const auto* row : {&crowd, &unknown}) {
        gt_rows.add(*row);
        dt_rows.add(*row);
    }
    EXPECT_EQ(gt.image_index, (std::vector<int32_t>{1, -1}));
    EXPECT_EQ(gt.ignore, (std::vector<uint8_t>{1, 1}));  // crowd; no keypoints
    EXPECT_EQ(dt.ignore, (std::vector<uint8_t>{0, 0}));  // detections are never ignored by their flags
    EXPECT_EQ(gt.boxes.size(), 8u);                      // keypoint ground truth keeps its boxes
    EXPECT_EQ(dt.boxes.size(), 8u);
    zerlin::RecordSet masks(zerlin::GeometryKind::Masks);
    zerlin::SideBuilder(masks, true, lk).add(crowd);
    EXPECT_TRUE(masks.boxes.empty());
}

TEST(SideBuilder, MasksReachTheirRowsOnBothSides) {
    zerlin::ImageSizes sizes;
    sizes.insert(7, {10, 10});
    zerlin::Lookups lk{zerlin::PositionTable({7}), zerlin::PositionTable({3}), sizes};
    zerlin::TimingCells cells;
    zerlin::RecordSet gt(zerlin::GeometryKind::Masks), dt(zerlin::GeometryKind::Masks);
    auto box_job = [](double w, double h) {
        zerlin::BoxGeom g{{0, 0, w, h}};
        return zerlin::MaskJob{10, 10, g};
    };
    const double box[4] = {0, 0, 1, 1};
    zerlin::AnnotationRow row;
    row.image_id = 7;
    row.category_id = 3;
    row.box = box;
    row.area = -1;
    {
        zerlin::PendingMasks pending(std::nullopt, cells);
        zerlin::SideBuilder gt_rows(gt, true, lk, &pending), dt_rows(dt, false, lk, &pending);
        gt_rows.add(row);  // geometry never read
        dt_rows.add(row, box_job(2, 3));
        gt_rows.add(row, box_job(4, 5));
        pending.finish({&gt, &dt}, true);
    }
    ASSERT_EQ(gt.masks.size(), 2u);
    EXPECT_TRUE(gt.masks[0].counts.empty());
    EXPECT_EQ(gt.areas, (std::vector<double>{-1, 20}));
    ASSERT_EQ(dt.masks.size(), 1u);
    EXPECT_EQ(zerlin::rle_area(dt.masks[0]), 6u);
    EXPECT_EQ(dt.areas, (std::vector<double>{6}));
}

TEST(PositionTable, DirectAndHashedLookupsAgree) {
    // Close ids are looked up directly, far-apart ones hashed: the same
    // answers either way, the later position winning for a repeated id.
    const std::int64_t far = std::int64_t(1) << 40;
    for (const std::vector<std::int64_t>& ids :
         {std::vector<std::int64_t>{-3, 5, 2, 5}, std::vector<std::int64_t>{-far, 5, 2, 5, far}}) {
        const zerlin::PositionTable table(ids);
        EXPECT_EQ(table.find(5), 3);
        EXPECT_EQ(table.find(2), 2);
        for (std::int64_t missing : {std::int64_t(4), std::int64_t(-4), std::int64_t(6), far - 1, INT64_MIN, INT64_MAX})
            EXPECT_EQ(table.find(missing), -1) << missing;
    }
    EXPECT_EQ(zerlin::PositionTable({}).find(0), -1);
}
