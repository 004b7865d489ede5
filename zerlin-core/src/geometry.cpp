#include "zerlin/geometry.hpp"

#include <system_error>

#include "zerlin/error.hpp"
#include "zerlin/pool.hpp"

namespace zerlin {

MaskRasteriser::MaskRasteriser(bool with_boundaries, double dilation_ratio, TimingCells& timings)
    : with_boundaries_(with_boundaries), dilation_(dilation_ratio), timings_(timings) {
    current_.reserve(kBatch);
    try {
        thread_ = std::thread([this] { thread_main(); });
    } catch (const std::system_error&) {
        throw Error(ErrorKind::Internal, "failed to spawn thread");
    }
}

MaskRasteriser::~MaskRasteriser() { close_and_join(true); }

void MaskRasteriser::close_and_join(bool discard) noexcept {
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (discard) channel_.clear();  // an aborted construction wants no more masks
        closed_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool MaskRasteriser::send(std::vector<MaskJob>&& batch) {
    Stopwatch sw;
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return channel_.size() < kSlots || !receiver_alive_; });
    bool ok = receiver_alive_;
    if (ok) channel_.push_back(std::move(batch));
    lock.unlock();
    cv_.notify_all();
    sw.add_to(timings_.read_blocked);
    return ok;
}

void MaskRasteriser::submit(MaskJob job) {
    current_.push_back(std::move(job));
    ++submitted_;
    if (current_.size() < kBatch) return;
    std::vector<MaskJob> full;
    full.reserve(kBatch);
    full.swap(current_);
    if (!send(std::move(full))) throw_value("mask rasteriser stopped");
}

RasterisedMasks MaskRasteriser::finish() {
    // A failed final send is reported by the join below.
    if (!current_.empty()) send(std::move(current_));
    current_.clear();
    close_and_join(false);
    if (died_) throw Error(ErrorKind::Internal, "mask worker panicked");
    return std::move(results_);
}

void MaskRasteriser::thread_main() {
    try {
        for (;;) {
            std::vector<MaskJob> batch;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                cv_.wait(lock, [this] { return !channel_.empty() || closed_; });
                if (channel_.empty()) break;  // closed and drained
                batch = std::move(channel_.front());
                channel_.pop_front();
            }
            cv_.notify_all();
            Stopwatch sw;
            const std::size_t base = results_.masks.size();
            results_.masks.resize(base + batch.size());
            if (with_boundaries_) results_.boundaries.resize(base + batch.size());
            parallel_for(batch.size(), 64, [&](std::size_t b, std::size_t e) {
                RasterScratch scratch;
                for (std::size_t i = b; i < e; ++i) {
                    const MaskJob& job = batch[i];
                    Rle& m = results_.masks[base + i];
                    m = geometry_to_rle(job.geometry, job.h, job.w, scratch);
                    if (with_boundaries_) results_.boundaries[base + i] = rle_boundary(m, dilation_);
                }
            });
            sw.add_to(timings_.rasterise);
        }
    } catch (...) {
        std::lock_guard<std::mutex> g(mutex_);
        died_ = true;
    }
    std::lock_guard<std::mutex> g(mutex_);
    receiver_alive_ = false;
    cv_.notify_all();
}

}  // namespace zerlin
