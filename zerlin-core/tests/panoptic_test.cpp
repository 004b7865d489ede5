#include "zerlin/panoptic.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <vector>

namespace pan = zerlin::panoptic;

namespace {

// PNG row unfiltering as the format defines it, byte by byte.
std::vector<uint8_t> unfilter_reference(uint8_t type, const std::vector<uint8_t>& in, const std::vector<uint8_t>& prev,
                                        std::size_t bpp) {
    std::vector<uint8_t> out(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        int a = i >= bpp ? out[i - bpp] : 0, b = prev[i], c = i >= bpp ? prev[i - bpp] : 0;
        int pred = 0;
        if (type == 1) pred = a;
        if (type == 2) pred = b;
        if (type == 3) pred = (a + b) / 2;
        if (type == 4) {
            int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
            pred = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
        }
        out[i] = uint8_t(in[i] + pred);
    }
    return out;
}

// Rows of mostly flat colour runs, as segment maps filter to: long zero stretches.
std::vector<uint8_t> runs_row(std::mt19937& rng, std::size_t n, bool sparse) {
    std::vector<uint8_t> row(n, 0);
    for (std::size_t i = 0; i < n; ++i)
        if (!sparse || rng() % 37 == 0) row[i] = uint8_t(rng());
    return row;
}

pan::SegmentMap map_of(const std::vector<uint8_t>& pixels) {
    return {pixels.data(), pixels.size(), 3, false};
}

// An RGB map of w x h from ids (row-major).
std::vector<uint8_t> rgb(const std::vector<uint32_t>& ids) {
    std::vector<uint8_t> out;
    for (uint32_t id : ids) out.insert(out.end(), {uint8_t(id), uint8_t(id >> 8), uint8_t(id >> 16)});
    return out;
}

}  // namespace

TEST(PanopticUnfilter, EqualsTheSpecificationOnEveryFilterAndWidth) {
    std::mt19937 rng(7);
    for (std::size_t bpp : {3u, 4u}) {
        for (std::size_t pixels : {1u, 7u, 8u, 9u, 33u, 640u}) {
            const std::size_t n = pixels * bpp;
            for (uint8_t type = 0; type <= 4; ++type) {
                for (int sparse = 0; sparse < 2; ++sparse) {
                    auto prev = runs_row(rng, n, sparse), in = runs_row(rng, n, sparse);
                    std::vector<uint8_t> out(n);
                    ASSERT_TRUE(pan::unfilter_row(type, in.data(), prev.data(), out.data(), n, bpp));
                    ASSERT_EQ(out, unfilter_reference(type, in, prev, bpp))
                        << "bpp " << bpp << " pixels " << pixels << " type " << int(type);
                }
            }
            std::vector<uint8_t> row(n), out(n);
            EXPECT_FALSE(pan::unfilter_row(5, row.data(), row.data(), out.data(), n, bpp));
        }
    }
}

TEST(PanopticMatch, RulesOfTheQualityMeasure) {
    // 8 x 1 image. gt: segments 1 (thing, cat 0) x4, crowd 2 (cat 1) x2, VOID x2.
    // pred: 10 (cat 0) covers 1's four pixels and one VOID pixel: IoU 4 / (5 + 4 - 4 - 1) = 1.
    //       11 (cat 1) lies on the crowd (2 of 2 pixels): not a false positive.
    //       12 (cat 0) on the last VOID pixel only: more than half VOID, ignored.
    auto gt = rgb({1, 1, 1, 1, 2, 2, 0, 0});
    auto pred = rgb({10, 10, 10, 10, 11, 11, 10, 12});
    std::vector<pan::GtSegment> gts = {{1, 0, false, 4}, {2, 1, true, 2}, {3, 0, false, 9}};
    std::vector<pan::PredSegment> preds = {{10, 0}, {11, 1}, {12, 0}};
    pan::ImageInput image{1, 8, map_of(gt), map_of(pred), gts, preds};
    auto out = pan::match_image(image);
    ASSERT_EQ(out.fault, pan::ImageFault::None);
    ASSERT_EQ(out.matches.size(), 1u);
    EXPECT_EQ(out.matches[0].category, 0u);
    EXPECT_DOUBLE_EQ(out.matches[0].iou, 1.0);
    EXPECT_EQ(out.false_negatives, std::vector<uint32_t>({0}));  // segment 3: in the JSON, not in the map
    EXPECT_TRUE(out.false_positives.empty());

    // The JSON area of a ground truth enters the union: 4 / (5 + 12 - 4 - 1) = 1/3, no match.
    gts[0].area = 12;
    out = pan::match_image(image);
    EXPECT_TRUE(out.matches.empty());
    EXPECT_EQ(out.false_positives, std::vector<uint32_t>({0}));
}

TEST(PanopticMatch, FaultsNameTheSegment) {
    auto gt = rgb({1, 1, 0, 0});
    auto pred = rgb({5, 6, 0, 0});
    std::vector<pan::GtSegment> gts = {{1, 0, false, 2}};
    struct Case {
        std::vector<pan::PredSegment> preds;
        pan::ImageFault fault;
        int64_t segment;
    };
    const Case cases[] = {
        {{{5, 0}}, pan::ImageFault::PredSegmentNotInJson, 6},
        {{{5, 0}, {6, pan::kUnknownCategory}}, pan::ImageFault::PredUnknownCategory, 6},
        {{{5, 0}, {6, 0}, {7, 0}}, pan::ImageFault::PredSegmentNotInMap, 7},
        {{{5, 0}, {6, 0}}, pan::ImageFault::None, 0},
    };
    for (const auto& c : cases) {
        pan::ImageInput image{2, 2, map_of(gt), map_of(pred), gts, c.preds};
        auto out = pan::match_image(image);
        EXPECT_EQ(out.fault, c.fault);
        EXPECT_EQ(out.fault_segment, c.segment);
    }
    std::vector<pan::PredSegment> preds = {{5, 0}, {6, 0}};
    pan::ImageInput wrong_size{3, 2, map_of(gt), map_of(pred), gts, preds};
    EXPECT_EQ(pan::match_image(wrong_size).fault, pan::ImageFault::GtMapCorrupt);
}

TEST(PanopticMatch, ImagesInOrderWhateverTheSplit) {
    std::mt19937 rng(3);
    std::vector<std::vector<uint8_t>> maps;
    std::vector<std::vector<pan::GtSegment>> gts(300);
    std::vector<std::vector<pan::PredSegment>> preds(300);
    std::vector<pan::ImageInput> images;
    for (int i = 0; i < 300; ++i) {
        std::vector<uint32_t> ids(64);
        for (auto& id : ids) id = 1 + rng() % 3;
        maps.push_back(rgb(ids));
        for (uint32_t s = 1; s <= 3; ++s) {
            gts[i].push_back({s, 0, false, double(std::count(ids.begin(), ids.end(), s))});
            if (std::count(ids.begin(), ids.end(), s)) preds[i].push_back({s, 0});
        }
    }
    for (int i = 0; i < 300; ++i) {
        const int next = (i + 1) % 300;
        images.push_back({8, 8, map_of(maps[i]), map_of(maps[next]), gts[i], preds[next]});
    }
    auto all = pan::match_images(images);
    for (int i = 0; i < 300; ++i) {
        auto one = pan::match_image(images[i]);
        ASSERT_EQ(all[i].matches.size(), one.matches.size());
        for (std::size_t m = 0; m < one.matches.size(); ++m) EXPECT_EQ(all[i].matches[m].iou, one.matches[m].iou);
        EXPECT_EQ(all[i].false_positives, one.false_positives);
        EXPECT_EQ(all[i].false_negatives, one.false_negatives);
    }
}
