#include <gtest/gtest.h>

#include "zerlin/error.hpp"
#include "zerlin/geometry.hpp"

using namespace zerlin;

namespace {

MaskJob box_job(double x, uint32_t h = 20, uint32_t w = 30) {
    BoxGeom g{{x, 1.0, 3.0, 4.0}};
    return MaskJob{h, w, g};
}

}  // namespace

TEST(MaskRasteriser, ResultsKeepJobOrderAcrossBatches) {
    for (std::size_t n : {std::size_t(0), std::size_t(4096), std::size_t(4097), std::size_t(9000)}) {
        TimingCells cells;
        MaskRasteriser r(true, 0.02, cells);
        for (std::size_t i = 0; i < n; ++i) r.submit(box_job(double(i % 25)));
        EXPECT_EQ(r.submitted(), n);
        RasterisedMasks out = r.finish();
        ASSERT_EQ(out.masks.size(), n);
        ASSERT_EQ(out.boundaries.size(), n);
        RasterScratch scratch;
        for (std::size_t i = 0; i < n; i += 97) {
            double box[4] = {double(i % 25), 1.0, 3.0, 4.0};
            Rle want = rle_from_bbox(box, 20, 30, scratch);
            ASSERT_EQ(out.masks[i], want) << i;
            EXPECT_EQ(out.boundaries[i], rle_boundary(want, 0.02)) << i;
        }
        if (n > 0) {
            EXPECT_GT(cells.rasterise.load(), 0u);
        }
    }
}

TEST(MaskRasteriser, PlainMasksCarryNoBoundaries) {
    TimingCells cells;
    MaskRasteriser r(false, 0.02, cells);
    r.submit(MaskJob{4, 4, UncompressedCounts{{5, 2, 9}}});
    r.submit(MaskJob{4, 4, CompressedCounts{"52;"}});
    RasterisedMasks out = r.finish();
    ASSERT_EQ(out.masks.size(), 2u);
    EXPECT_TRUE(out.boundaries.empty());
    EXPECT_EQ(out.masks[0].counts, (std::vector<uint32_t>{5, 2, 9}));
    EXPECT_EQ(out.masks[0].h, 4u);
}

TEST(MaskRasteriser, DeadWorkerIsReported) {
    // Ring offsets that decrease are an internal fault of the rasteriser.
    Polygons bad{{0, 0, 1, 0, 1, 1}, {6, 2}};
    {
        TimingCells cells;
        MaskRasteriser r(false, 0.02, cells);
        r.submit(MaskJob{5, 5, bad});
        try {
            r.finish();
            FAIL();
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), ErrorKind::Internal);
            EXPECT_EQ(e.message(), "mask worker panicked");
        }
    }
    TimingCells cells;
    MaskRasteriser r(false, 0.02, cells);
    r.submit(MaskJob{5, 5, bad});
    bool stopped = false;
    try {
        for (int i = 0; i < 10 * 4096; ++i) r.submit(box_job(1.0));
    } catch (const Error& e) {
        stopped = e.message() == "mask rasteriser stopped" && e.kind() == ErrorKind::Value;
    }
    EXPECT_TRUE(stopped);
}
