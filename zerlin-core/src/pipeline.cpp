#include "zerlin/pipeline.hpp"

#include <memory>
#include <new>
#include <string>
#include <utility>

#include "zerlin/cancel.hpp"
#include "zerlin/error.hpp"
#include "zerlin/pool.hpp"

namespace zerlin {

namespace {

constexpr std::size_t kChannelSlots = 2;
// Linux's default stack, asked for everywhere so that the rasteriser has the
// same room on every system.
constexpr std::size_t kRasteriserStack = std::size_t(8) << 20;

}  // namespace

Rle rasterise_job(const MaskJob& job, RasterScratch& scratch) {
    return geometry_to_rle(job.geometry, job.h, job.w, scratch);
}

MaskRasteriser::MaskRasteriser(std::optional<double> boundary_ratio, TimingCells& timings)
    : boundary_ratio_(boundary_ratio), timings_(timings), token_(current_cancel_token()) {
    current_.reserve(kMaskBatch);
    try {
        thread_.emplace([this] { thread_main(); }, kRasteriserStack);
    } catch (...) {
        joined_ = true;
        throw;
    }
}

MaskRasteriser::~MaskRasteriser() {
    close_and_join();
}

void MaskRasteriser::thread_main() {
    CancelScope scope(token_);  // the constructing thread's: its cancellation stops this one too
    try {
        for (;;) {
            std::vector<MaskJob> batch;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                cv_.wait(lock, [this] { return closed_ || !channel_.empty(); });
                if (channel_.empty()) break;  // closed and drained
                batch = std::move(channel_.front());
                channel_.pop_front();
            }
            cv_.notify_all();  // a slot came free
            Stopwatch clock;
            std::size_t base = results_.size();
            results_.resize(base + batch.size());
            // Scratch per piece: rasterising allocates only the result runs.
            parallel_for(batch.size(), 16, [&](std::size_t b, std::size_t e) {
                RasterScratch scratch;
                for (std::size_t i = b; i < e; ++i) {
                    check_cancelled();
                    RasterResult& r = results_[base + i];
                    auto* packed = std::get_if<CompressedCounts>(&batch[i].geometry);
                    if (!boundary_ratio_ && packed && (packed->holder || packed->text().size() >= kPackedMaskBytes)) {
                        r.mask = Rle{batch[i].h, batch[i].w, {}};
                        pack(base + i, batch[i].h, batch[i].w, *packed);
                        continue;
                    }
                    r.mask = rasterise_job(batch[i], scratch);
                    if (boundary_ratio_) r.boundary = rle_boundary(r.mask, *boundary_ratio_);
                }
            });
            clock.add_to(timings_.rasterise);
        }
    } catch (...) {
        failure_ = std::current_exception();
    }
    std::lock_guard<std::mutex> g(mutex_);
    receiver_gone_ = true;
    cv_.notify_all();
}

void MaskRasteriser::pack(std::size_t position, uint32_t h, uint32_t w, CompressedCounts& counts) {
    std::shared_ptr<const void> owner = counts.holder;
    std::string_view text = counts.borrowed;
    if (!counts.borrowed.data()) {
        auto own = std::make_shared<const std::string>(std::move(counts.bytes));
        text = *own;
        owner = std::move(own);
    }
    const bool borrowed = counts.borrowed.data() != nullptr;
    PackedRle p = pack_rle(text, h, w, borrowed && counts.escaped);
    p.owner = std::move(owner);
    std::lock_guard<std::mutex> g(packed_mutex_);
    packed_.emplace_back(uint32_t(position), std::move(p));
}

bool MaskRasteriser::send(std::vector<MaskJob>&& batch) {
    Stopwatch clock;
    std::unique_lock<std::mutex> lock(mutex_);
    // Blocked here the reading side passes no check point: ask now and then
    // (not under the channel's lock) whether to stop.
    while (
        !cv_.wait_for(lock, kCancelPollPeriod, [this] { return receiver_gone_ || channel_.size() < kChannelSlots; })) {
        lock.unlock();
        const bool cancelled = poll_cancel();
        lock.lock();
        if (cancelled) throw Error(ErrorKind::Cancelled, "cancelled");
    }
    if (receiver_gone_) return false;
    channel_.push_back(std::move(batch));
    lock.unlock();
    cv_.notify_all();
    clock.add_to(timings_.read_blocked);
    return true;
}

void MaskRasteriser::submit(MaskJob job) {
    require_mask_size(job.h, job.w);
    current_.push_back(std::move(job));
    if (current_.size() == kMaskBatch) {
        std::vector<MaskJob> full;
        full.reserve(kMaskBatch);
        full.swap(current_);
        if (!send(std::move(full))) {
            // The thread only stops early by failing: report why.
            close_and_join();
            rethrow_failure();
            throw Error(ErrorKind::Value, "mask rasteriser stopped");
        }
    }
}

void MaskRasteriser::rethrow_failure() {
    if (!failure_) return;
    try {
        std::rethrow_exception(failure_);
    } catch (const Error& e) {
        if (e.kind() == ErrorKind::Internal) throw Error(ErrorKind::Internal, "mask worker panicked");
        throw;
    } catch (const std::bad_alloc&) {
        throw Error(ErrorKind::Memory, "not enough memory to rasterise the masks");
    } catch (...) {
        throw Error(ErrorKind::Internal, "mask worker panicked");
    }
}

void MaskRasteriser::close_and_join() noexcept {
    if (joined_) return;
    {
        std::lock_guard<std::mutex> g(mutex_);
        closed_ = true;
    }
    cv_.notify_all();
    thread_->join();
    joined_ = true;
}

std::vector<RasterResult> MaskRasteriser::finish() {
    // A failed last send is not reported by itself: the join tells why.
    if (!current_.empty()) send(std::move(current_));
    current_.clear();
    close_and_join();
    rethrow_failure();
    return std::move(results_);
}

void MaskRasteriser::abandon() noexcept {
    current_.clear();
    close_and_join();
    results_.clear();
}

}  // namespace zerlin
