#include "zerlin/group.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "../src/stable_sort.hpp"

using namespace zerlin;

namespace {

std::vector<uint32_t> group_records(const GroupIndex& gi, const Group& g) {
    return {gi.order.begin() + g.start, gi.order.begin() + g.start + g.length};
}

}  // namespace

TEST(GroupIndex, NoParticipatingRecords) {
    std::vector<int32_t> img{-1, 0, 2}, cat{0, -1, -1};
    GroupIndex gi = build_group_index(img, cat, 3, true);
    EXPECT_TRUE(gi.order.empty());
    EXPECT_TRUE(gi.groups.empty());
    ASSERT_EQ(gi.category_ranges.size(), 3u);
    for (auto r : gi.category_ranges) {
        EXPECT_EQ(r.first, 0u);
        EXPECT_EQ(r.end, 0u);
    }
}

TEST(GroupIndex, PooledCategoriesOrderByCategoryThenRecord) {
    // Category indices 3, 1, 3 on one image: the category-1 record comes first.
    std::vector<int32_t> img{0, 0, 0}, cat{3, 1, 3};
    GroupIndex gi = build_group_index(img, cat, 1, false);
    ASSERT_EQ(gi.groups.size(), 1u);
    EXPECT_EQ(group_records(gi, gi.groups[0]), (std::vector<uint32_t>{1, 0, 2}));
    EXPECT_EQ(gi.category_ranges[0].first, 0u);
    EXPECT_EQ(gi.category_ranges[0].end, 1u);
}

TEST(GroupIndex, AbsentIndicesBelongToNoGroup) {
    for (bool use_cats : {true, false}) {
        std::vector<int32_t> img{1, -1, 1, 0}, cat{0, 0, -1, 1};
        GroupIndex gi = build_group_index(img, cat, 2, use_cats);
        EXPECT_EQ(gi.order.size(), 2u) << use_cats;
        for (uint32_t r : gi.order) EXPECT_TRUE(r == 0 || r == 3);
    }
}

TEST(GroupIndex, MatchesNaiveStableSortOnRandomTables) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 50; ++trial) {
        bool use_cats = trial % 2 == 0;
        // A few tables spread over many images, too sparse for one pass over every key.
        std::size_t n = rng() % 300, cats = 1 + rng() % 6,
                    images = trial % 5 == 4 ? 100000 + rng() % 100000 : 1 + rng() % 20;
        std::vector<int32_t> img(n), cat(n);
        for (std::size_t i = 0; i < n; ++i) {
            img[i] = int32_t(rng() % (images + 1)) - 1;
            cat[i] = int32_t(rng() % (cats + 1)) - 1;
        }
        std::size_t K = use_cats ? cats : 1;
        GroupIndex gi = build_group_index(img, cat, K, use_cats);
        // Naive: stable sort of participating records by the three-part key.
        std::vector<uint32_t> expect;
        for (uint32_t r = 0; r < n; ++r)
            if (img[r] >= 0 && cat[r] >= 0) expect.push_back(r);
        auto key = [&](uint32_t r) { return std::tuple(use_cats ? cat[r] : 0, img[r], use_cats ? 0 : cat[r]); };
        std::stable_sort(expect.begin(), expect.end(), [&](uint32_t a, uint32_t b) { return key(a) < key(b); });
        ASSERT_EQ(gi.order, expect);
        // Groups tile the order, one per (slot, image), within slot ranges.
        std::size_t covered = 0;
        for (std::size_t k = 0; k < K; ++k) {
            auto cr = gi.category_ranges[k];
            for (uint32_t g = cr.first; g < cr.end; ++g) {
                const Group& grp = gi.groups[g];
                EXPECT_EQ(grp.start, covered);
                if (g > cr.first) {
                    EXPECT_LT(gi.groups[g - 1].image, grp.image);
                }
                for (uint32_t r : group_records(gi, grp)) {
                    EXPECT_EQ(uint32_t(img[r]), grp.image);
                    if (use_cats) {
                        EXPECT_EQ(uint32_t(cat[r]), k);
                    }
                }
                covered += grp.length;
            }
        }
        EXPECT_EQ(covered, expect.size());
    }
}

TEST(PairImages, MergesByImage) {
    // GTs on images 2 and 5, DTs on images 5 and 7.
    std::vector<int32_t> gimg{5, 2}, gcat{0, 0}, dimg{7, 5}, dcat{0, 0};
    GroupIndex g = build_group_index(gimg, gcat, 1, true);
    GroupIndex d = build_group_index(dimg, dcat, 1, true);
    std::vector<ImageEntry> out;
    pair_images(g, d, 0, out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].image, 2u);
    EXPECT_GT(out[0].gt_length, 0u);
    EXPECT_EQ(out[0].dt_length, 0u);
    EXPECT_EQ(out[1].image, 5u);
    EXPECT_TRUE(out[1].gt_length > 0 && out[1].dt_length > 0);
    EXPECT_EQ(g.order[out[1].gt_start], 0u);
    EXPECT_EQ(d.order[out[1].dt_start], 1u);
    EXPECT_EQ(out[2].image, 7u);
    EXPECT_EQ(out[2].gt_length, 0u);
    EXPECT_GT(out[2].dt_length, 0u);
    pair_images(g, d, 0, out);  // overwrites
    EXPECT_EQ(out.size(), 3u);
}

TEST(TopDetections, NanLastAndZeroLimit) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<int32_t> img{0, 0, 0}, cat{0, 0, 0};
    std::vector<double> sc{0.9, nan, 0.9};
    for (auto how : {TopSelection::DenseCells, TopSelection::GroupSort}) {
        EXPECT_EQ(select_top_detections(img, cat, sc, 1, true, 2, how), (std::vector<uint8_t>{1, 0, 1}));
        EXPECT_EQ(select_top_detections(img, cat, sc, 1, true, 0, how), (std::vector<uint8_t>{0, 0, 0}));
    }
}

TEST(TopDetections, BothStrategiesAgreeWithNaiveRanking) {
    std::mt19937 rng(11);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int trial = 0; trial < 60; ++trial) {
        bool use_cats = trial % 3 != 0;
        std::size_t n = rng() % 400, cats = 1 + rng() % 4, images = 1 + rng() % (trial % 2 ? 5 : 400);
        uint64_t limit = rng() % 6;
        std::vector<int32_t> img(n), cat(n);
        std::vector<double> sc(n);
        for (std::size_t i = 0; i < n; ++i) {
            img[i] = int32_t(rng() % (images + 1)) - 1;
            cat[i] = int32_t(rng() % (cats + 1)) - 1;
            sc[i] = rng() % 10 == 0 ? nan : double(rng() % 5) / 4;  // many ties
        }
        std::size_t K = use_cats ? cats : 1;
        // Naive: rank every record inside its (image, slot) cell.
        std::vector<uint8_t> expect(n, 1);
        for (std::size_t r = 0; r < n; ++r) {
            if (img[r] < 0 || cat[r] < 0) continue;
            uint64_t rank = 0;
            for (std::size_t q = 0; q < n; ++q) {
                if (q == r || img[q] != img[r] || cat[q] < 0) continue;
                if (use_cats && cat[q] != cat[r]) continue;
                bool qn = std::isnan(sc[q]), rn = std::isnan(sc[r]);
                bool before;
                if (qn != rn)
                    before = rn;
                else if (!qn && sc[q] != sc[r])
                    before = sc[q] > sc[r];
                else if (!use_cats && cat[q] != cat[r])
                    before = cat[q] < cat[r];
                else
                    before = q < r;
                rank += before;
            }
            if (rank >= limit) expect[r] = 0;
        }
        EXPECT_EQ(select_top_detections(img, cat, sc, K, use_cats, limit, TopSelection::DenseCells), expect);
        EXPECT_EQ(select_top_detections(img, cat, sc, K, use_cats, limit, TopSelection::GroupSort), expect);
        EXPECT_EQ(select_top_detections(img, cat, sc, K, use_cats, limit), expect);
    }
}

TEST(SortByScore, StableDescendingNanLastAcrossSortPaths) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::mt19937 rng(3);
    for (std::size_t n : {0u, 1u, 5u, 20u, 21u, 64u, 333u}) {
        std::vector<double> sc(n);
        for (auto& s : sc) s = rng() % 7 == 0 ? nan : double(rng() % 9);
        std::vector<uint32_t> idx(n);
        for (uint32_t i = 0; i < n; ++i) idx[i] = i;
        std::vector<uint32_t> scratch;
        zerlin::detail::stable_sort(std::span<uint32_t>(idx), scratch,
                                    [&](uint32_t a, uint32_t b) { return zerlin::detail::score_before(sc[a], sc[b]); });
        for (std::size_t i = 1; i < n; ++i) {
            double a = sc[idx[i - 1]], b = sc[idx[i]];
            bool ok = std::isnan(b) ? (!std::isnan(a) || idx[i - 1] < idx[i])
                                    : (!std::isnan(a) && (a > b || (a == b && idx[i - 1] < idx[i])));
            EXPECT_TRUE(ok) << "n=" << n << " at " << i;
        }
    }
}

TEST(SortByScore, RadixByScoreKeyKeepsTheComparisonOrder) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const double awkward[] = {
        nan, -nan, inf, -inf, 0.0, -0.0, 1.0, -1.0, 0.5, 1e-310, -1e-310, 0.423, 0.4230000000000001};
    std::mt19937 rng(5);
    for (std::size_t n : {0u, 1u, 20u, 21u, 300u, 5000u}) {
        std::vector<double> sc(n);
        for (auto& s : sc) s = rng() % 3 == 0 ? awkward[rng() % std::size(awkward)] : double(rng() % 1000) / 997;
        std::vector<uint32_t> expect(n), got(n), scratch;
        for (uint32_t i = 0; i < n; ++i) expect[i] = got[i] = i;
        zerlin::detail::stable_sort(std::span<uint32_t>(expect), scratch,
                                    [&](uint32_t a, uint32_t b) { return zerlin::detail::score_before(sc[a], sc[b]); });
        zerlin::detail::radix_sort(std::span<uint32_t>(got), scratch,
                                   [&](uint32_t a) { return zerlin::detail::score_key(sc[a]); });
        EXPECT_EQ(got, expect) << "n=" << n;
    }
}
