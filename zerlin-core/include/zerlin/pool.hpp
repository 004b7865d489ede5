// Process-wide worker pool with order-preserving parallel loops.
//
// Work is expressed as loops over index ranges [0, n). A range is split
// recursively in halves down to a minimum piece size; each piece runs on some
// worker, and every result is stored at its index, so outputs never depend on
// how many threads ran or in which order pieces finished. A thread that waits
// for its loop helps by running queued pieces, so loops may nest (a job per
// category running per-image loops) without deadlock.
//
// A loop carries the cancellation token of the thread that started it
// (cancel.hpp): once it is cancelled, pieces not yet begun fail at once with
// Error(Cancelled) and running ones stop at their own check points; the
// starting thread, while it waits, keeps asking its interrupter.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "zerlin/thread.hpp"

namespace zerlin {

// Number of CPUs this process may use: the affinity mask, capped by a cgroup
// CPU quota when one is set. Always at least 1.
std::size_t available_cpus();

class Pool {
  public:
    // Starts `threads` workers (at least 1), each with the given stack size
    // (0 = the system default). Throws Error(Internal, "failed to spawn thread").
    explicit Pool(std::size_t threads, std::size_t stack_bytes = 0);
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // The process-wide pool, created on first use with one worker per
    // available CPU.
    static Pool& global();

    std::size_t size() const noexcept { return workers_.size(); }

    // Runs body(begin, end) over disjoint pieces covering [0, n), each at
    // least min_piece long (unless n itself is shorter). Blocks until every
    // piece has run. If pieces throw, the exception of the lowest-indexed
    // failing piece is rethrown once all pieces have finished (a cancelled
    // loop: Error(Cancelled) once every started piece has stopped).
    void for_range(std::size_t n, std::size_t min_piece, const std::function<void(std::size_t, std::size_t)>& body);

  private:
    struct Task {
        std::function<void()> run;
    };
    struct Loop;

    void worker_main();
    void push(std::function<void()> fn);
    bool run_one();  // runs one queued task if any; false when the queue was empty
    void split(Loop& loop, std::size_t begin, std::size_t end);

    std::vector<Thread> workers_;
    std::deque<Task> queue_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
};

// Loop over [0, n) on the global pool.
template <class F>
void parallel_for(std::size_t n, std::size_t min_piece, F&& body) {
    Pool::global().for_range(n, min_piece, [&](std::size_t b, std::size_t e) { body(b, e); });
}

}  // namespace zerlin
