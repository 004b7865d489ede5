#include "zerlin/pipeline.hpp"

#include <gtest/gtest.h>

#include "zerlin/error.hpp"

using namespace zerlin;

namespace {

MaskJob box_job(std::size_t i) {
    MaskJob job;
    job.h = 20 + uint32_t(i % 7);
    job.w = 30 + uint32_t(i % 5);
    job.geometry = BoxGeom{{double(i % 9), double(i % 4), 3.5 + double(i % 6), 2.0 + double(i % 3)}};
    return job;
}

MaskJob polygon_job(std::size_t i) {
    MaskJob job;
    job.h = 40;
    job.w = 50;
    Polygons p;
    double s = double(i % 11);
    p.coords = {1 + s, 2, 30 + s, 4, 20, 35 - s, 5, 25};
    p.ends = {8};
    job.geometry = p;
    return job;
}

}  // namespace

class PipelineSizes : public ::testing::TestWithParam<std::size_t> {};

// Batches of 4096 travel through two slots; results come back in job order
// and equal direct rasterisation, for sizes around the batch boundary.
TEST_P(PipelineSizes, ResultsInJobOrder) {
    const std::size_t n = GetParam();
    TimingCells timings;
    MaskRasteriser r(std::nullopt, timings);
    std::vector<MaskJob> jobs;
    for (std::size_t i = 0; i < n; ++i) jobs.push_back(i % 2 ? box_job(i) : polygon_job(i));
    for (auto& j : jobs) r.submit(j);
    auto results = r.finish();
    ASSERT_EQ(results.size(), n);
    RasterScratch scratch;
    for (std::size_t i = 0; i < n; ++i) {
        Rle want = rasterise_job(jobs[i], scratch);
        ASSERT_EQ(results[i].mask.counts, want.counts) << i;
        ASSERT_EQ(results[i].mask.h, want.h);
        ASSERT_TRUE(results[i].boundary.counts.empty());
    }
    if (n > 0) {
        EXPECT_GT(timings.rasterise.load(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(AroundBatch, PipelineSizes, ::testing::Values(0, 1, 4095, 4096, 4097, 3 * 4096 + 5));

TEST(Pipeline, BoundaryMasksComputedAlongside) {
    TimingCells timings;
    MaskRasteriser r(0.05, timings);
    for (std::size_t i = 0; i < 300; ++i) r.submit(polygon_job(i));
    auto results = r.finish();
    for (auto& res : results) {
        Rle want = rle_boundary(res.mask, 0.05);
        EXPECT_EQ(res.boundary.counts, want.counts);
        EXPECT_EQ(res.boundary.h, res.mask.h);
    }
}

TEST(Pipeline, AbandonJoinsAndDiscards) {
    TimingCells timings;
    MaskRasteriser r(std::nullopt, timings);
    for (std::size_t i = 0; i < 5000; ++i) r.submit(box_job(i));
    r.abandon();  // the reading side failed: nothing to return, no thread left behind
    SUCCEED();
}

TEST(Pipeline, DeadRasteriserIsReportedOnJoinOrSend) {
    // A polygon job whose ring offsets run past its coordinates breaks the
    // rasteriser's invariant; the thread dies and the caller learns it the same
    // way however far reading had got.
    for (std::size_t bad_at : {0u, 10u, 4095u}) {
        TimingCells timings;
        MaskRasteriser r(std::nullopt, timings);
        std::string error;
        try {
            for (std::size_t i = 0; i < 3 * 4096; ++i) {
                MaskJob job = polygon_job(i);
                if (i == bad_at) std::get<Polygons>(job.geometry).ends = {99};
                r.submit(job);
            }
            r.finish();
        } catch (const Error& e) {
            error = e.message();
            EXPECT_EQ(e.kind(), ErrorKind::Internal);
        }
        EXPECT_EQ(error, "mask worker panicked");
    }
}

TEST(Pipeline, WorkerFailureOfInputReachesTheCaller) {
    // A polygon whose crossings exceed any memory stops the thread early;
    // the sender gets that error, not a bare "stopped", however many
    // batches are left to send.
    std::vector<double> zigzag;
    for (int i = 0; i < 2000; ++i) zigzag.insert(zigzag.end(), {i % 2 ? 4e8 : 0.0, double(i)});
    for (std::size_t bad_at : {0u, 4095u}) {
        TimingCells timings;
        MaskRasteriser r(std::nullopt, timings);
        try {
            for (std::size_t i = 0; i < 6 * 4096; ++i) {
                MaskJob job = polygon_job(i);
                if (i == bad_at) job = MaskJob{1, 4000000000u, Polygons{zigzag, {uint32_t(zigzag.size())}}};
                r.submit(job);
            }
            r.finish();
            ADD_FAILURE() << "no error";
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), ErrorKind::Memory) << e.what();
        }
    }
    // A mask of 2^32 pixels is refused as it is submitted.
    TimingCells timings;
    MaskRasteriser r(std::nullopt, timings);
    try {
        r.submit(MaskJob{65536, 65536, Polygons{}});
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::Overflow);
    }
}
