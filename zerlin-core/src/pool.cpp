#include "zerlin/pool.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "os/os.hpp"
#include "zerlin/cancel.hpp"
#include "zerlin/error.hpp"

namespace zerlin {

std::size_t available_cpus() {
    std::size_t n = os::affinity_cpus();
    if (n == 0) n = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t quota = os::cpu_quota();
    if (quota > 0) n = std::min(n, quota);
    return std::max<std::size_t>(n, 1);
}

struct Pool::Loop {
    const std::function<void(std::size_t, std::size_t)>* body;
    std::size_t min_piece;
    std::size_t grain;
    std::atomic<std::size_t> pending{1};
    CancelToken* token = nullptr;  // the starting thread's
    std::mutex err_mutex;
    std::size_t err_index = SIZE_MAX;
    std::exception_ptr err;
};

Pool::Pool(std::size_t threads, std::size_t stack_bytes) {
    threads = std::max<std::size_t>(threads, 1);
    workers_.reserve(threads);
    for (std::size_t i = 0; i < threads; ++i) {
        try {
            workers_.emplace_back([this] { worker_main(); }, stack_bytes);
        } catch (...) {
            {
                std::lock_guard<std::mutex> g(mutex_);
                stopping_ = true;
            }
            wake_.notify_all();
            for (auto& t : workers_) t.join();
            throw;
        }
    }
}

Pool::~Pool() {
    {
        std::lock_guard<std::mutex> g(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : workers_) t.join();
}

Pool& Pool::global() {
    // Never destroyed: workers must outlive every caller, including ones that
    // run while the interpreter shuts down.
    static Pool* pool = new Pool(available_cpus(), std::size_t(16) << 20);
    return *pool;
}

void Pool::worker_main() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stopping and drained
        Task task = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        task.run();
        lock.lock();
    }
}

void Pool::push(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        queue_.push_back(Task{std::move(fn)});
    }
    wake_.notify_one();
}

bool Pool::run_one() {
    Task task;
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (queue_.empty()) return false;
        // Newest first: the waiting thread most likely helps its own loop.
        task = std::move(queue_.back());
        queue_.pop_back();
    }
    task.run();
    return true;
}

void Pool::split(Loop& loop, std::size_t begin, std::size_t end) {
    while (end - begin >= 2 * loop.min_piece && end - begin > loop.grain) {
        std::size_t mid = begin + (end - begin) / 2;
        loop.pending.fetch_add(1, std::memory_order_relaxed);
        push([this, &loop, mid, end] { split(loop, mid, end); });
        end = mid;
    }
    try {
        // The starting thread keeps its interrupter for the pieces it runs
        // itself; other threads only see the token.
        std::optional<CancelScope> scope;
        if (current_cancel_token() != loop.token) scope.emplace(loop.token, nullptr);
        check_cancelled();
        (*loop.body)(begin, end);
    } catch (...) {
        std::lock_guard<std::mutex> g(loop.err_mutex);
        if (begin < loop.err_index) {
            loop.err_index = begin;
            loop.err = std::current_exception();
        }
    }
    if (loop.pending.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        // Last piece: the loop object may vanish once the waiter sees zero, so
        // only the pool's own members are touched from here on.
        std::lock_guard<std::mutex> g(mutex_);
        wake_.notify_all();
    }
}

void Pool::for_range(std::size_t n, std::size_t min_piece, const std::function<void(std::size_t, std::size_t)>& body) {
    if (n == 0) return;
    if (n < 2 * std::max<std::size_t>(min_piece, 1)) {
        // One piece: run here, without the queue or waking any worker (a
        // small batch's loops are mostly of this kind).
        check_cancelled();
        body(0, n);
        return;
    }
    Loop loop;
    loop.body = &body;
    loop.token = current_cancel_token();
    loop.min_piece = std::max<std::size_t>(min_piece, 1);
    // Pieces finer than a few per worker only add queue traffic.
    loop.grain = std::max<std::size_t>(n / (size() * 8), 1);
    split(loop, 0, n);
    std::unique_lock<std::mutex> lock(mutex_);
    while (loop.pending.load(std::memory_order_acquire) != 0) {
        if (!queue_.empty()) {
            Task task = std::move(queue_.back());
            queue_.pop_back();
            lock.unlock();
            task.run();
            lock.lock();
            continue;
        }
        if (!loop.token) {
            wake_.wait(lock);
            continue;
        }
        // Waiting passes no check point: ask the interrupter now and then
        // (never under the pool's lock). A cancelled loop still waits for
        // its started pieces, which stop at their own check points.
        wake_.wait_for(lock, kCancelPollPeriod);
        lock.unlock();
        poll_cancel();
        lock.lock();
    }
    lock.unlock();
    if (loop.err) std::rethrow_exception(loop.err);
}

}  // namespace zerlin
