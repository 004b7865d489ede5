#include "zerlin/results_geometry.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "rle_text.hpp"
#include "zerlin/error.hpp"
#include "zerlin/rle.hpp"

using zerlin::AnnotationColumns;
using zerlin::RecordGrammar;
using zerlin::ResultsShape;

namespace {

AnnotationColumns completed(const std::string& text, bool parallel = true) {
    AnnotationColumns c = zerlin::build_snapshot(text, true, nullptr, parallel, RecordGrammar::Reference).columns;
    zerlin::complete_results_geometry(c, text);
    return c;
}

std::string refusal(const std::string& text) {
    try {
        completed(text);
    } catch (const zerlin::JsonError& e) {
        return e.what();
    } catch (const zerlin::Error& e) {
        return e.message();
    }
    return "ok";
}

// A 4 x 3 mask whose foreground is rows 1-2 of column 1 (column-major runs).
const std::string kRle = R"({"size": [4, 3], "counts": [5, 2, 5]})";

}  // namespace

TEST(ReferenceGrammar, MasksGiveAreaEverywhereAndBoxesWhereMissing) {
    const std::string compressed = rle_text(zerlin::Rle{4, 3, {5, 2, 5}});
    const std::string text =
        "[{\"score\": 1, \"image_id\": 1.0, \"category_id\": 2, \"segmentation\": " + kRle +
        ", \"iscrowd\": 0.0, \"id\": \"x\"},"
        " {\"score\": 1, \"image_id\": 1, \"category_id\": 2.0, \"bbox\": [9, 9, 9, 9], \"segmentation\": "
        "{\"counts\": \"" +
        compressed + "\", \"size\": [4, 3]}}]";
    AnnotationColumns c = completed(text);
    ASSERT_EQ(c.shape, ResultsShape::Masks);
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c.image_id(0), 1);
    EXPECT_EQ(c.category_id(1), 2);
    EXPECT_EQ(c.derived_areas, (std::vector<double>{2, 2}));
    EXPECT_EQ(std::vector<double>(c.boxes.begin(), c.boxes.begin() + 4), (std::vector<double>{1, 1, 1, 2}));
    EXPECT_EQ(std::vector<double>(c.boxes.begin() + 4, c.boxes.end()), (std::vector<double>{9, 9, 9, 9}));
    EXPECT_FALSE(c.box_written(0));
    EXPECT_TRUE(c.box_written(1));
}

TEST(ReferenceGrammar, KeypointsGiveTheirExtent) {
    AnnotationColumns c =
        completed(R"([{"score": 1, "image_id": 1, "category_id": 1, "keypoints": [4, 8, 2, 1, 10, 0, 6, 9, 1]},
                                       {"score": 1, "image_id": 1, "category_id": 1, "bbox": [0, 0, 1, 1], "keypoints": [0, 0, 0, 2, 3, 1, 2, 3, 1]}])");
    ASSERT_EQ(c.shape, ResultsShape::Keypoints);
    EXPECT_EQ(c.boxes, (std::vector<double>{1, 8, 5, 2, 0, 0, 2, 3}));  // a written box is replaced too
    EXPECT_EQ(c.derived_areas, (std::vector<double>{10, 6}));
}

TEST(ReferenceGrammar, TheFirstRecordDecidesTheShape) {
    // Boxes first: every record needs one, reported where the compact grammar reports it.
    const std::string boxes_first =
        R"([{"score": 1, "image_id": 1, "category_id": 1, "bbox": [1, 2, 3, 4]}, {"score": 1, "image_id": 1, "category_id": 1, "segmentation": {}}])";
    for (const std::string& text : {boxes_first, std::string(R"([{"score": 1, "image_id": 1, "category_id": 1}])")}) {
        std::string compact;
        try {
            zerlin::build_snapshot(text, true, nullptr, true, RecordGrammar::Compact);
        } catch (const zerlin::JsonError& e) {
            compact = e.what();
        }
        EXPECT_EQ(refusal(text), compact);
        EXPECT_EQ(compact.rfind("missing field `bbox` at line 1 column ", 0), 0u) << compact;
    }
    AnnotationColumns c =
        completed(R"([{"score": 1, "image_id": 1, "category_id": 1, "bbox": [1, 2, 3, 4], "iscrowd": 1.0}])");
    EXPECT_EQ(c.shape, ResultsShape::Boxes);
    EXPECT_TRUE(c.derived_areas.empty());
    // A detection needs a score (null counts as 0.0).
    EXPECT_EQ(refusal(R"([{"image_id": 1, "category_id": 1, "bbox": [1, 2, 3, 4]}])").rfind("missing field `score`", 0),
              0u);
    EXPECT_EQ(completed(R"([{"image_id": 1, "category_id": 1, "bbox": [1, 2, 3, 4], "score": null}])").scores[0], 0.0);
    // Floats that are not whole numbers stay refused.
    EXPECT_EQ(refusal(R"([{"score": 1, "image_id": 1.5, "category_id": 1, "bbox": [1, 2, 3, 4]}])"),
              "invalid type: floating point `1.5`, expected i64 at line 1 column 29");
    EXPECT_EQ(refusal(R"([{"score": 1, "image_id": 1, "category_id": 1, "bbox": [1, 2, 3, 4], "iscrowd": 0.5}])"),
              "data did not match any variant of untagged enum Crowd at line 1 column 84");
}

TEST(ReferenceGrammar, GeometryOutsideTheCompletedShapesIsRefusedAtItsRow) {
    const std::string head = "[{\"score\": 1, \"image_id\": 1, \"category_id\": 1, \"segmentation\": " + kRle + "}";
    EXPECT_EQ(
        refusal(head + R"(, {"score": 1, "image_id": 1, "category_id": 1, "segmentation": [[1, 2, 3, 4, 5, 6]]}])"),
        "result 2: the segmentation is not an RLE object");
    EXPECT_EQ(refusal(head + R"(, {"score": 1, "image_id": 1, "category_id": 1}])"), "result 2: no segmentation");
    EXPECT_EQ(refusal(R"([{"score": 1, "image_id": 1, "category_id": 1, "keypoints": [1, 2, 1]},
                         {"score": 1, "image_id": 1, "category_id": 1, "keypoints": [1, 2, 1, 3, 4, 1]}])"),
              "result 2: keypoint lists of different or unusable lengths");
}

TEST(ReferenceGrammar, ParallelChunksMatchSequentialAndReportTheFirstBadRow) {
    std::string text = "[";
    for (int i = 0; i < 60000; ++i) {
        if (i) text += ",\n";
        text += "{\"image_id\": " + std::to_string(i % 50) +
                ", \"category_id\": 1, \"score\": 0.5, \"segmentation\": " +
                (i == 40000 || i == 50000 ? std::string("null") : kRle) + "}";
    }
    text += "]";
    EXPECT_EQ(refusal(text), "result 40001: no segmentation");
    AnnotationColumns parallel = zerlin::build_snapshot(text, true, nullptr, true, RecordGrammar::Reference).columns;
    AnnotationColumns sequential = zerlin::build_snapshot(text, true, nullptr, false, RecordGrammar::Reference).columns;
    EXPECT_EQ(parallel.shape, ResultsShape::Masks);
    EXPECT_EQ(parallel.box_missing, sequential.box_missing);
    EXPECT_EQ(parallel.size(), 60000u);
}
