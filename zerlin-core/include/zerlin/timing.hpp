// Phase timing of an evaluation: totals any thread adds to.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace zerlin {

// Nanosecond phase totals, added to atomically from any thread.
struct TimingCells {
    std::atomic<uint64_t> gt_read{0};
    std::atomic<uint64_t> dt_read{0};
    std::atomic<uint64_t> read_blocked{0};
    std::atomic<uint64_t> rasterise{0};
    std::atomic<uint64_t> group_index{0};
    std::atomic<uint64_t> iou_cpu{0};
    std::atomic<uint64_t> match_cpu{0};
    std::atomic<uint64_t> accumulate_cpu{0};
};

// Monotonic stopwatch in nanoseconds.
class Stopwatch {
  public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}
    uint64_t elapsed_ns() const {
        auto d = std::chrono::steady_clock::now() - start_;
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
    }
    void add_to(std::atomic<uint64_t>& cell) const { cell.fetch_add(elapsed_ns(), std::memory_order_relaxed); }

  private:
    std::chrono::steady_clock::time_point start_;
};

}  // namespace zerlin
