#include "zerlin/pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <stdexcept>
#include <thread>
#include <vector>

#include "zerlin/cancel.hpp"
#include "zerlin/error.hpp"

using zerlin::Pool;

namespace {

// Prefix-dependent work: each index's value depends only on the index, so the
// output must match the sequential loop whatever the worker count.
std::vector<double> squares_of_sums(Pool& pool, std::size_t n, std::size_t min_piece) {
    std::vector<double> out(n, -1.0);
    pool.for_range(n, min_piece, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            double s = 0;
            for (std::size_t k = 0; k <= i % 97; ++k) s += 1.0 / double(k + 1);
            out[i] = s * s;
        }
    });
    return out;
}

}  // namespace

TEST(Pool, SameResultsForOneAndManyWorkers) {
    Pool one(1), many(7);
    for (std::size_t n : {0u, 1u, 63u, 64u, 65u, 1000u, 12345u}) {
        for (std::size_t piece : {1u, 64u, 1000u}) {
            auto a = squares_of_sums(one, n, piece);
            auto b = squares_of_sums(many, n, piece);
            ASSERT_EQ(a, b) << "n=" << n << " piece=" << piece;
            for (double v : a) ASSERT_GE(v, 1.0);  // every index was visited
        }
    }
}

TEST(Pool, PiecesCoverRangeOnceAndRespectMinimum) {
    Pool pool(4);
    const std::size_t n = 10007;
    std::vector<int> hits(n, 0);
    std::mutex m;
    std::vector<std::pair<std::size_t, std::size_t>> pieces;
    pool.for_range(n, 100, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) hits[i]++;
        std::lock_guard<std::mutex> g(m);
        pieces.emplace_back(b, e);
    });
    for (int h : hits) ASSERT_EQ(h, 1);
    for (auto [b, e] : pieces) EXPECT_GE(e - b, 100u);
    EXPECT_GT(pieces.size(), 1u);
}

TEST(Pool, NestedLoopsDoNotDeadlock) {
    for (std::size_t threads : {1u, 2u, 5u}) {
        Pool pool(threads);
        const std::size_t outer = 40, inner = 500;
        std::vector<long> sums(outer, 0);
        pool.for_range(outer, 1, [&](std::size_t b, std::size_t e) {
            for (std::size_t k = b; k < e; ++k) {
                std::vector<long> part(inner, 0);
                pool.for_range(inner, 16, [&](std::size_t ib, std::size_t ie) {
                    for (std::size_t i = ib; i < ie; ++i) part[i] = long(i * k);
                });
                sums[k] = std::accumulate(part.begin(), part.end(), 0L);
            }
        });
        for (std::size_t k = 0; k < outer; ++k) EXPECT_EQ(sums[k], long(k * inner * (inner - 1) / 2));
    }
}

TEST(Pool, FailureOfLowestPieceIsReturned) {
    Pool pool(4);
    for (int round = 0; round < 20; ++round) {
        try {
            pool.for_range(1000, 10, [&](std::size_t b, std::size_t e) {
                for (std::size_t i = b; i < e; ++i)
                    if (i == 333 || i == 777) throw zerlin::Error(zerlin::ErrorKind::Value, "bad " + std::to_string(i));
            });
            FAIL() << "no exception";
        } catch (const zerlin::Error& err) {
            EXPECT_EQ(err.message(), "bad 333");
            EXPECT_EQ(err.kind(), zerlin::ErrorKind::Value);
        }
    }
    // The pool stays usable after a failure.
    auto v = squares_of_sums(pool, 500, 10);
    EXPECT_EQ(v.size(), 500u);
}

TEST(Pool, NestedFailurePropagatesThroughOuterLoop) {
    Pool pool(3);
    EXPECT_THROW(pool.for_range(8, 1,
                                [&](std::size_t b, std::size_t) {
                                    pool.for_range(100, 10, [&](std::size_t ib, std::size_t) {
                                        if (b == 5 && ib == 0) throw std::runtime_error("inner");
                                    });
                                }),
                 std::runtime_error);
}

TEST(Pool, CustomStackSizeAndParallelFor) {
    Pool pool(2, 1 << 20);
    EXPECT_EQ(pool.size(), 2u);
    std::vector<long> squares(1000);
    zerlin::parallel_for(squares.size(), 10, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) squares[i] = long(i * i);
    });
    for (std::size_t i = 0; i < squares.size(); ++i) ASSERT_EQ(squares[i], long(i * i));
    EXPECT_GE(zerlin::available_cpus(), 1u);
    EXPECT_GE(Pool::global().size(), 1u);
}

// ---------------------------------------------------------------- cancellation

namespace {

bool is_cancelled_error(const std::exception_ptr& e) {
    try {
        std::rethrow_exception(e);
    } catch (const zerlin::Error& err) {
        return err.kind() == zerlin::ErrorKind::Cancelled;
    } catch (...) {
        return false;
    }
}

// Cancels its token after a number of questions, counting them (only the
// thread that installed it may ask).
struct CountingInterrupter final : zerlin::Interrupter {
    std::thread::id owner = std::this_thread::get_id();
    std::atomic<int> asked{0}, foreign{0};
    int stop_after = 1;
    bool interrupted() noexcept override {
        if (std::this_thread::get_id() != owner) ++foreign;
        return ++asked >= stop_after;
    }
};

}  // namespace

TEST(PoolCancel, CancelledLoopStopsEveryPieceAndThrowsCancelled) {
    Pool pool(4);
    zerlin::CancelToken token;
    zerlin::CancelScope scope(&token);
    std::atomic<std::size_t> done{0};
    std::exception_ptr err;
    try {
        pool.for_range(100000, 1, [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i) {
                zerlin::check_cancelled();
                if (done.fetch_add(1) == 500) token.cancel();
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            }
        });
    } catch (...) {
        err = std::current_exception();
    }
    ASSERT_TRUE(err && is_cancelled_error(err));
    EXPECT_LT(done.load(), 600u);  // each running piece stopped at its next check point
    // The pool serves the next loop as before.
    zerlin::CancelToken fresh;
    zerlin::CancelScope again(&fresh);
    std::atomic<std::size_t> all{0};
    pool.for_range(1000, 1, [&](std::size_t b, std::size_t e) { all += e - b; });
    EXPECT_EQ(all.load(), 1000u);
}

TEST(PoolCancel, WaitingThreadAsksItsInterrupterOnly) {
    Pool pool(2);
    zerlin::CancelToken token;
    CountingInterrupter interrupter;
    interrupter.stop_after = 3;
    zerlin::CancelScope scope(&token, &interrupter);
    std::exception_ptr err;
    const auto start = std::chrono::steady_clock::now();
    try {
        // Pieces long enough that the starting thread mostly waits; each stops
        // at its check points once the interrupter has said so.
        pool.for_range(64, 1, [&](std::size_t, std::size_t) {
            for (int k = 0; k < 400; ++k) {
                zerlin::check_cancelled();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    } catch (...) {
        err = std::current_exception();
    }
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(err && is_cancelled_error(err));
    EXPECT_EQ(interrupter.foreign.load(), 0);
    EXPECT_GE(interrupter.asked.load(), 3);
    EXPECT_LT(took, std::chrono::seconds(2));  // far less than the 64 x 0.4 s / 2 workers uncancelled
}

TEST(PoolCancel, NoTokenMeansNoCheck) {
    EXPECT_EQ(zerlin::current_cancel_token(), nullptr);
    EXPECT_FALSE(zerlin::cancel_requested());
    zerlin::check_cancelled();  // nothing installed: never throws
}
