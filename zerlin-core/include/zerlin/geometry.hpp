// Mask geometry pipeline: the reading side turns annotations into MaskJobs
// and hands them, in batches, to a dedicated rasteriser thread that turns each
// batch into RLE masks in parallel on the worker pool. Reading and
// rasterising overlap; results come back in job order.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "zerlin/records.hpp"
#include "zerlin/rle.hpp"

namespace zerlin {

// One segmentation to rasterise at the image's height and width.
struct MaskJob {
    uint32_t h = 0, w = 0;
    Geometry geometry;  // Polygons, CompressedCounts, UncompressedCounts or BoxGeom
};

struct RasterisedMasks {
    std::vector<Rle> masks;       // one per job, in job order
    std::vector<Rle> boundaries;  // likewise, when boundary masks were asked for
};

class MaskRasteriser {
public:
    static constexpr std::size_t kBatch = 4096;
    static constexpr std::size_t kSlots = 2;  // batches that may wait in the channel

    // Starts the thread (Error(Internal, "failed to spawn thread") when it
    // cannot). `timings` receives read_blocked and rasterise.
    MaskRasteriser(bool with_boundaries, double dilation_ratio, TimingCells& timings);
    // Closes the channel and joins the thread if finish() was not reached.
    ~MaskRasteriser();
    MaskRasteriser(const MaskRasteriser&) = delete;
    MaskRasteriser& operator=(const MaskRasteriser&) = delete;

    // Appends a job; a full batch is sent, blocking while the channel is
    // full. Error(Value, "mask rasteriser stopped") when the thread is gone.
    void submit(MaskJob job);

    // Sends the last partial batch, closes the channel, joins the thread and
    // returns every result. Error(Internal, "mask worker panicked") when the
    // thread died.
    RasterisedMasks finish();

    // Jobs submitted so far.
    std::size_t submitted() const noexcept { return submitted_; }

private:
    bool send(std::vector<MaskJob>&& batch);  // false when the receiver is gone
    void close_and_join(bool discard) noexcept;
    void thread_main();

    const bool with_boundaries_;
    const double dilation_;
    TimingCells& timings_;
    std::vector<MaskJob> current_;
    std::size_t submitted_ = 0;

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::vector<MaskJob>> channel_;
    bool closed_ = false;
    bool receiver_alive_ = true;
    bool died_ = false;

    RasterisedMasks results_;  // written by the thread only
    std::thread thread_;
};

}  // namespace zerlin
