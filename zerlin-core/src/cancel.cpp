#include "zerlin/cancel.hpp"

#include <algorithm>

#include "zerlin/error.hpp"

namespace zerlin {

namespace {

// Check points come at very different rates (per record of a file, per image
// of a category); the clock is read every `stride` of them, a stride that
// adapts so that reads come a few times per poll period. It stays small, as
// check points may slow down at once (records read, then masks compared).
constexpr unsigned kMaxStride = 16;

struct ThreadCancel {
    CancelToken* token = nullptr;
    Interrupter* interrupter = nullptr;
    unsigned stride = 1;
    unsigned countdown = 1;
    std::chrono::steady_clock::time_point last_read{};
    std::chrono::steady_clock::time_point next_poll{};
};

thread_local ThreadCancel t_cancel;

bool ask_interrupter(ThreadCancel& s) noexcept {
    const auto now = std::chrono::steady_clock::now();
    if (now < s.next_poll) return false;
    s.next_poll = now + kCancelPollPeriod;
    return s.interrupter->interrupted();
}

// At a check point that reads the clock: adapt the stride, then ask.
bool ask_at_check_point(ThreadCancel& s) noexcept {
    const auto now = std::chrono::steady_clock::now();
    const auto since = now - s.last_read;
    s.last_read = now;
    if (since > kCancelPollPeriod / 4)
        s.stride = std::max(1u, s.stride / 2);
    else if (since < kCancelPollPeriod / 16)
        s.stride = std::min(kMaxStride, s.stride * 2);
    s.countdown = s.stride;
    return ask_interrupter(s);
}

}  // namespace

CancelScope::CancelScope(CancelToken* token, Interrupter* interrupter) noexcept
    : token_(t_cancel.token), interrupter_(t_cancel.interrupter) {
    t_cancel.token = token;
    t_cancel.interrupter = interrupter;
    t_cancel.stride = t_cancel.countdown = 1;  // this call's check points may come at another rate
}

CancelScope::~CancelScope() {
    t_cancel.token = token_;
    t_cancel.interrupter = interrupter_;
}

CancelToken* current_cancel_token() noexcept {
    return t_cancel.token;
}

bool cancel_requested() noexcept {
    ThreadCancel& s = t_cancel;
    if (!s.token) return false;
    if (s.interrupter && --s.countdown == 0 && ask_at_check_point(s)) s.token->cancel();
    return s.token->cancelled();
}

bool poll_cancel() noexcept {
    ThreadCancel& s = t_cancel;
    if (!s.token) return false;
    if (s.interrupter && ask_interrupter(s)) s.token->cancel();
    return s.token->cancelled();
}

void check_cancelled() {
    if (cancel_requested()) throw Error(ErrorKind::Cancelled, "cancelled");
}

}  // namespace zerlin
