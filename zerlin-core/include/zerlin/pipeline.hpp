// Mask rasterisation overlapped with annotation reading.
//
// The reading side (which holds the interpreter lock, or scans a snapshot)
// produces one MaskJob per annotation; jobs travel in batches of 4096 over a
// channel of two slots to a dedicated rasteriser thread, which rasterises each
// batch on the worker pool, keeping job order. Failures reach the caller the
// same way whatever the thread timing: a conversion error is the caller's
// own, a dead rasteriser is reported when joined.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "zerlin/cancel.hpp"
#include "zerlin/records.hpp"
#include "zerlin/rle.hpp"
#include "zerlin/thread.hpp"
#include "zerlin/timing.hpp"

namespace zerlin {

// One segmentation to rasterise, at its image's size.
struct MaskJob {
    uint32_t h = 0;
    uint32_t w = 0;
    Geometry geometry;
};

struct RasterResult {
    Rle mask;
    Rle boundary;  // empty unless boundary masks were asked for
};

constexpr std::size_t kMaskBatch = 4096;

class MaskRasteriser {
  public:
    // Starts the rasteriser thread. `boundary_ratio` set means boundary masks
    // are computed too. Throws Error(Internal, "failed to spawn thread").
    MaskRasteriser(std::optional<double> boundary_ratio, TimingCells& timings);
    // Closes the channel and joins the thread if finish() was not called.
    ~MaskRasteriser();
    MaskRasteriser(const MaskRasteriser&) = delete;
    MaskRasteriser& operator=(const MaskRasteriser&) = delete;

    // Appends a job to the current batch; a full batch is sent, blocking while
    // two batches wait (the blocked time goes to `read_blocked`). A job's size
    // is checked first (require_mask_size). When the thread has stopped, its
    // own failure is thrown (see finish()).
    void submit(MaskJob job);

    // Sends the last partial batch, closes the channel, joins the thread and
    // returns one result per job in submission order. A failure of the thread
    // is thrown as it was for an Error of input (size, memory), as
    // Error(Memory, ...) for a failed allocation, and as
    // Error(Internal, "mask worker panicked") otherwise.
    std::vector<RasterResult> finish();
    // After finish(): the masks kept compressed (huge ones, and those whose
    // text has a holder), by result position; their results hold only the
    // mask's size. Borrowed counts stay borrowed.
    std::vector<std::pair<uint32_t, PackedRle>> take_packed() { return std::move(packed_); }

    // Closes the channel without sending the pending batch and joins the
    // thread, discarding results (the reading side failed).
    void abandon() noexcept;

  private:
    void thread_main();
    // Keeps a mask compressed (its summary taken here, on a worker).
    void pack(std::size_t position, uint32_t h, uint32_t w, CompressedCounts& counts);
    bool send(std::vector<MaskJob>&& batch);  // false when the receiver is gone
    void close_and_join() noexcept;
    void rethrow_failure();  // after the join

    std::optional<double> boundary_ratio_;
    TimingCells& timings_;
    std::vector<MaskJob> current_;

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::vector<MaskJob>> channel_;
    bool closed_ = false;
    bool receiver_gone_ = false;
    bool joined_ = false;

    std::vector<RasterResult> results_;
    std::mutex packed_mutex_;  // guards packed_ (workers append to it)
    std::vector<std::pair<uint32_t, PackedRle>> packed_;
    std::exception_ptr failure_;
    CancelToken* token_;  // the constructing thread's (cancel.hpp), or nullptr
    std::optional<Thread> thread_;
};

// Rasterises one job (shared with the Python mask functions).
Rle rasterise_job(const MaskJob& job, RasterScratch& scratch);

}  // namespace zerlin
