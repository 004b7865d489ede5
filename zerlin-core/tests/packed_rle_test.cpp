// Masks kept compressed: their summary and their IoU against the decoded form.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "rle_text.hpp"
#include "zerlin/cancel.hpp"
#include "zerlin/error.hpp"
#include "zerlin/eval.hpp"
#include "zerlin/pipeline.hpp"
#include "zerlin/pool.hpp"
#include "zerlin/rle.hpp"

using namespace zerlin;

namespace {

// Runs of random lengths (zero-length ones included) for an h x w mask;
// `slack` pixels more or fewer make a malformed mask whose runs sum differently.
Rle random_runs(std::mt19937& rng, uint32_t h, uint32_t w, int64_t slack) {
    Rle r{h, w, {}};
    const int64_t total = int64_t(h) * w + slack;
    int64_t left = total;
    const uint32_t longest = 1 + rng() % 40;
    while (left > 0) {
        uint32_t run = rng() % 9 == 0 ? 0 : 1 + uint32_t(rng() % longest);
        if (run > left) run = uint32_t(left);
        r.counts.push_back(run);
        left -= run;
    }
    return r;
}

// The text as a JSON string holds it: every backslash doubled.
std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '\\') out += c;
    }
    return out;
}

}  // namespace

TEST(PackedRle, SummaryAndRunsMatchTheDecodedMask) {
    std::mt19937 rng(41);
    for (int iter = 0; iter < 60; ++iter) {
        const uint32_t h = 1 + rng() % 50, w = 1 + rng() % 50;
        Rle r = random_runs(rng, h, w, iter % 3 == 0 ? int64_t(rng() % 30) - 15 : 0);
        if (iter % 7 == 0) r.counts.push_back(4000000000u);  // a value of several groups
        const bool escape = iter % 2 == 1;                   // read from a JSON string where it lies
        const std::string text = escape ? escaped(rle_text(r)) : rle_text(r);
        const PackedRle p = pack_rle(text, h, w, escape);
        EXPECT_EQ(p.area, rle_area(r));
        EXPECT_EQ(p.runs, r.counts.size());
        uint64_t sum = 0;
        for (uint32_t c : r.counts) sum += c;
        EXPECT_EQ(p.sum, sum);
        EXPECT_EQ(p.last, r.counts.empty() ? 0u : r.counts.back());
        double box[4];
        rle_to_bbox(r, box);
        for (int k = 0; k < 4; ++k) EXPECT_EQ(p.box[k], box[k]);
        EXPECT_EQ(unpack_rle(p), r);
    }
}

TEST(PackedRle, IouIsBitIdenticalToTheDecodedForm) {
    std::mt19937 rng(43);
    for (int iter = 0; iter < 120; ++iter) {
        const uint32_t h = 1 + rng() % 40, w = 1 + rng() % 40;
        const size_t nd = 1 + rng() % 4, ng = 1 + rng() % 4;
        std::vector<Rle> masks;
        for (size_t i = 0; i < nd + ng; ++i) {
            const int kind = int(rng() % 8);
            if (kind == 0)
                masks.push_back(Rle{h, w, {}});  // no runs
            else if (kind == 1)
                masks.push_back(Rle{h, w, {h * w, 0, 0, 0}});  // no foreground
            else if (kind == 2)
                masks.push_back(random_runs(rng, h + 1, w, 0));  // another size
            else
                masks.push_back(random_runs(rng, h, w, kind == 3 ? int64_t(rng() % 60) - 30 : 0));
        }
        std::vector<std::string> texts;
        const bool escape = iter % 2 == 1;
        for (const Rle& m : masks) texts.push_back(escape ? escaped(rle_text(m)) : rle_text(m));
        std::vector<PackedRle> packed;
        for (size_t i = 0; i < masks.size(); ++i) packed.push_back(pack_rle(texts[i], masks[i].h, masks[i].w, escape));
        std::vector<const Rle*> dp, gp;
        std::vector<MaskRef> dm, gm;
        for (size_t i = 0; i < masks.size(); ++i) {
            MaskRef m{&masks[i], rng() % 2 ? &packed[i] : nullptr};
            (i < nd ? dp : gp).push_back(&masks[i]);
            (i < nd ? dm : gm).push_back(m);
        }
        std::vector<uint8_t> crowd(ng);
        for (uint8_t& c : crowd) c = uint8_t(rng() % 2);
        for (double hint : {0.0, 0.5}) {
            std::vector<double> want(nd * ng), got(nd * ng);
            rle_iou(dp, gp, crowd, hint, want.data());
            rle_iou(std::span<const MaskRef>(dm), std::span<const MaskRef>(gm), crowd, hint, got.data());
            for (size_t k = 0; k < want.size(); ++k) ASSERT_EQ(got[k], want[k]) << "iteration " << iter;
        }
    }
}

namespace {

// Asks to stop from its second question on: the first comes at the start
// of a row, a later one only from inside the walk of a pair.
class SecondQuestionStops : public Interrupter {
  public:
    bool interrupted() noexcept override { return ++questions > 1; }
    int questions = 0;
};

}  // namespace

TEST(PackedRle, LongWalkStopsWhenCancelled) {
    // Runs of two and of three pixels over 6000 x 6000 (18 and 12 million
    // runs): the walk takes longer than the interval between two questions.
    const uint32_t side = 6000;
    const std::string a = "222" + std::string(side * side / 2 - 3, '0');
    const std::string b = "333" + std::string(side * side / 3 - 3, '0');
    const PackedRle pa = pack_rle(a, side, side), pb = pack_rle(b, side, side);
    const MaskRef dt[1] = {{nullptr, &pa}}, gt[1] = {{nullptr, &pb}};
    double out = -1;
    CancelToken token;
    SecondQuestionStops stop;
    CancelScope scope(&token, &stop);
    try {
        rle_iou(dt, gt, {}, 0, &out);
        FAIL() << "the walk did not stop (" << stop.questions << " questions)";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::Cancelled);
    }
    EXPECT_GT(out, 0.0);  // the boxes overlap: the pair was being compared
}

TEST(PackedRle, RasteriserKeepsHugeCountsAndBorrowsWithoutCopying) {
    const std::string text = "22" + std::string(kPackedMaskBytes, '0');
    TimingCells timings;
    MaskRasteriser r(std::nullopt, timings);
    r.submit(MaskJob{2000, 1000, CompressedCounts{text, {}}});                    // owned copy
    r.submit(MaskJob{2000, 1000, CompressedCounts{"354M2", {}}});                 // small: decoded
    r.submit(MaskJob{2000, 1000, CompressedCounts{{}, std::string_view(text)}});  // borrowed
    const std::vector<RasterResult> done = r.finish();
    ASSERT_EQ(done.size(), 3u);
    EXPECT_EQ(done[1].mask, rle_from_string("354M2", 2000, 1000, false));
    auto packed = r.take_packed();
    ASSERT_EQ(packed.size(), 2u);
    if (packed[0].first > packed[1].first) std::swap(packed[0], packed[1]);
    const PackedRle want = pack_rle(text, 2000, 1000);
    for (const auto& [position, p] : packed) {
        EXPECT_TRUE(done[position].mask.counts.empty());
        EXPECT_EQ(p.area, want.area);
        EXPECT_EQ(p.runs, want.runs);
        EXPECT_EQ(p.counts, text);
    }
    EXPECT_EQ(packed[0].first, 0u);
    EXPECT_NE(packed[0].second.owner, nullptr);
    EXPECT_EQ(packed[1].first, 2u);
    EXPECT_EQ(packed[1].second.owner, nullptr);
    EXPECT_EQ(packed[1].second.counts.data(), text.data());
}

namespace {

// One side of random masks over `images` images of h x w, each row's mask
// kept compressed where `packed` says so.
RecordSet mask_side(std::mt19937& rng, std::size_t images, uint32_t h, uint32_t w, bool gt, bool packed,
                    std::vector<std::string>& texts) {
    RecordSet rs(GeometryKind::Masks);
    std::mt19937 copy = rng;  // the same masks whether packed or not
    for (std::size_t i = 0; i < images; ++i)
        for (int k = 0; k < 4; ++k) {
            Rle m = random_runs(copy, h, w, 0);
            const bool crowd = gt && copy() % 4 == 0;
            const uint32_t row = uint32_t(rs.size());
            rs.push_scalars(int64_t(row + 1), int32_t(i), 0, gt ? 0.0 : double(copy() % 100) / 100, rle_area(m), crowd,
                            crowd);
            if (packed && row % 2 == 0) {
                texts.push_back(rle_text(m));
                rs.masks.push_back(Rle{h, w, {}});
                rs.packed_masks.emplace_back(row, pack_rle(texts.back(), h, w));
            } else {
                rs.masks.push_back(std::move(m));
            }
        }
    return rs;
}

}  // namespace

TEST(PackedRle, EngineResultsMatchDecodedMasksForAnyWorkerCount) {
    const std::size_t images = 40;
    EvalParams p;
    for (std::size_t i = 0; i < images; ++i) p.img_ids.push_back(int64_t(i + 1));
    p.cat_ids = {1};
    for (int t = 0; t < 10; ++t) p.iou_thrs.push_back(0.05 + 0.1 * t);
    for (int r = 0; r <= 100; ++r) p.rec_thrs.push_back(r / 100.0);
    p.max_dets = {1, 10, 100};
    p.area_rng = {{0, 1e10}};
    p.iou_kind = IouKind::Segm;
    std::mt19937 gt_rng(5), dt_rng(6);
    std::vector<std::string> texts;
    texts.reserve(1000);  // the packed rows view these
    const Engine decoded(p, mask_side(gt_rng, images, 30, 20, true, false, texts),
                         mask_side(dt_rng, images, 30, 20, false, false, texts));
    const Engine packed(p, mask_side(gt_rng, images, 30, 20, true, true, texts),
                        mask_side(dt_rng, images, 30, 20, false, true, texts));
    ASSERT_FALSE(packed.gt().packed_masks.empty());
    Pool one(1), many(3);
    const RunResult want = decoded.run(true, one);
    for (Pool* pool : {&one, &many}) {
        const RunResult got = packed.run(true, *pool);
        EXPECT_EQ(got.precision, want.precision);
        EXPECT_EQ(got.recall, want.recall);
        ASSERT_EQ(got.eval_imgs.size(), want.eval_imgs.size());
        for (std::size_t i = 0; i < got.eval_imgs.size(); ++i)
            EXPECT_TRUE(std::ranges::equal(got.eval_imgs[i].dt_matches, want.eval_imgs[i].dt_matches));
    }
}
