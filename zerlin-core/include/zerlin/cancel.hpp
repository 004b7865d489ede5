// Cooperative cancellation of long work.
//
// A caller that may want to stop a long computation installs a CancelToken
// for its thread (CancelScope). Long loops of the core call check_cancelled()
// at their check points; once the token is cancelled it throws
// Error(Cancelled), which unwinds like any failure, so nothing half-built
// survives. The worker pool and the rasteriser thread carry the token of the
// thread that gave them work, so every piece of one call stops together.
//
// What cancels a token is the caller's business: the thread that installed
// it may also install an Interrupter, which the check points of that thread
// (and the pool while that thread waits for its pieces) ask at most every
// few milliseconds whether the work should stop. The core itself knows no
// signals and no interpreter.
#pragma once

#include <atomic>
#include <chrono>

namespace zerlin {

class CancelToken {
  public:
    void cancel() noexcept { flag_.store(true, std::memory_order_relaxed); }
    bool cancelled() const noexcept { return flag_.load(std::memory_order_relaxed); }

  private:
    std::atomic<bool> flag_{false};
};

// Asked by the installing thread's check points whether to cancel. It runs
// on that thread only, and never while the core holds a lock of its own.
class Interrupter {
  public:
    virtual ~Interrupter() = default;
    virtual bool interrupted() noexcept = 0;
};

// Installs a token (and optionally an interrupter) as the current thread's
// for its lifetime, restoring the previous ones afterwards.
class CancelScope {
  public:
    explicit CancelScope(CancelToken* token, Interrupter* interrupter = nullptr) noexcept;
    ~CancelScope();
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;

  private:
    CancelToken* token_;
    Interrupter* interrupter_;
};

// The current thread's token, or nullptr.
CancelToken* current_cancel_token() noexcept;

// Whether the current work should stop; asks the interrupter when one is
// due (every few milliseconds of check points). Never throws.
bool cancel_requested() noexcept;

// As cancel_requested(), asking the interrupter whenever its period has
// passed (for a thread that has been waiting rather than passing check points).
bool poll_cancel() noexcept;

// Throws Error(ErrorKind::Cancelled) when cancel_requested().
void check_cancelled();

// How often a waiting thread asks its interrupter.
inline constexpr std::chrono::milliseconds kCancelPollPeriod{20};

}  // namespace zerlin
