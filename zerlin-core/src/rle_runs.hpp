// Internal: reading a mask's runs one at a time (from a compressed counts
// string or a run list), shared by the codec, set operations and IoU kernels.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

#include "zerlin/cancel.hpp"
#include "zerlin/error.hpp"

namespace zerlin::detail {

// Eight runs past the third, each written as one character (the common
// case: neighbouring columns differ little), decoded without a branch per
// character. False, with nothing read, when some character continues a value
// (a backslash does too, so escaped text falls back on its own).
template <class F>
bool eight_short_runs(const char* text, uint32_t& before_last, uint32_t& last, F& f) {
    uint8_t c[8];
    uint8_t any = 0;
    for (int k = 0; k < 8; ++k) {
        c[k] = uint8_t(uint8_t(text[k]) - 48);
        any |= c[k];
    }
    if (any & 32) return false;
    for (int k = 0; k < 8; ++k) {
        // A single group is a sign-extended 5-bit difference.
        const uint32_t run = before_last + uint32_t(int32_t((c[k] & 31) ^ 16) - 16);
        before_last = last;
        last = run;
        f(run);
    }
    return true;
}

// Where decoding a compressed counts string stopped: the next byte, how many
// runs came before it and the last two of them (later runs are differences).
struct DecodeState {
    size_t p = 0, i = 0;
    uint32_t before_last = 0, last = 0;  // runs i - 2 and i - 1
};

// Run number i of a compressed counts string, whose text starts at p (p is
// moved past it), of any length; before_last is run i - 2.
template <bool Escaped>
uint32_t read_run(std::string_view s, size_t& p, size_t i, uint32_t before_last) {
    const size_t n = s.size();
    uint64_t x = 0;
    for (size_t k = 0;; ++k) {
        if (Escaped && s[p] == '\\') {
            if (++p == n) throw_value("compressed counts string ends with an unpaired backslash");
        }
        const uint32_t c = uint8_t(uint8_t(s[p]) - 48);
        if (5 * k < 64) x |= uint64_t(c & 31) << (5 * k);
        // Last group of a value with its sign bit set: extend the sign.
        if ((c & 48) == 16 && 5 * (k + 1) <= 63) x |= ~uint64_t(0) << (5 * (k + 1));
        ++p;
        if (!(c & 32) || p == n) break;
    }
    if (i > 2) x += before_last;
    return uint32_t(x);
}

// Reads the runs of a compressed counts string one at a time, every state
// in the reader itself, so that a loop calling next() keeps it in registers
// (for walks that do little per run, where a callback's state in memory
// would cost more than the decoding).
template <bool Escaped>
class RunReader {
  public:
    explicit RunReader(std::string_view s) noexcept : s_(s) {}
    bool done() const noexcept { return p_ == s_.size(); }
    // The next run; not done() first.
    uint32_t next() {
        const uint32_t c = uint8_t(uint8_t(s_[p_]) - 48);
        uint32_t run;
        if (i_ > 2 && !(c & 32)) {
            // A single group is a sign-extended 5-bit difference.
            run = before_last_ + uint32_t(int32_t((c & 31) ^ 16) - 16);
            ++p_;
        } else {
            run = read_run<Escaped>(s_, p_, i_, before_last_);
        }
        before_last_ = last_;
        last_ = run;
        ++i_;
        return run;
    }
    size_t count() const noexcept { return i_; }

  private:
    std::string_view s_;
    size_t p_ = 0, i_ = 0;
    uint32_t before_last_ = 0, last_ = 0;
};

// Decodes the runs of a compressed counts string, escaped (doubled
// backslashes) or not, from `st` on, calling f(run) for each; Bounded stops
// after max_runs of them. Returns how many were decoded.
template <bool Escaped, bool Bounded, class F>
size_t decode_runs(std::string_view s, DecodeState& st, size_t max_runs, F& f) {
    const size_t n = s.size();
    size_t p = st.p, i = st.i, got = 0;
    uint32_t before_last = st.before_last, last = st.last;
    while (p < n && (!Bounded || got < max_runs)) {
        if (i > 2 && n - p >= 8 && (!Bounded || max_runs - got >= 8) &&
            eight_short_runs(s.data() + p, before_last, last, f)) {
            p += 8;
            i += 8;
            got += 8;
            continue;
        }
        const uint32_t run = read_run<Escaped>(s, p, i, before_last);
        before_last = last;
        last = run;
        f(last);
        ++i;
        ++got;
    }
    st = DecodeState{p, i, before_last, last};
    return got;
}

template <bool Escaped, class F>
void for_each_run_of(std::string_view s, F& f) {
    DecodeState st;
    decode_runs<Escaped, false>(s, st, 0, f);
}

// Calls f(run) for each run length of a compressed counts string, in order.
template <class F>
void for_each_string_run(std::string_view s, bool escaped, F&& f) {
    if (escaped)
        for_each_run_of<true>(s, f);
    else
        for_each_run_of<false>(s, f);
}

// The bounding box of a mask's foreground runs, fed as (background,
// foreground) pairs; a trailing background run is never fed.
class RunBox {
  public:
    RunBox(uint32_t h, uint32_t w) : h_(h), xs_(w), ys_(h) {}

    void add(uint32_t background, uint32_t foreground) {
        ++pairs_;
        if (h_ == 0) return;
        move(background);
        if (foreground == 0) return;  // an empty foreground run covers no pixel
        any_ = true;
        const uint32_t x0 = col_, y0 = row_;
        move(foreground - 1);
        const uint32_t x1 = col_, y1 = row_;
        move(1);
        if (x0 < x1) {  // the run wraps into a later column
            ys_ = 0;
            ye_ = h_ - 1;
        }
        xs_ = std::min(xs_, x0);
        xe_ = std::max(xe_, x1);
        ys_ = std::min({ys_, y0, y1});
        ye_ = std::max({ye_, y0, y1});
    }

    void box(double out[4]) const {
        if (pairs_ != 0 && h_ == 0) {
            out[0] = out[1] = 0;
            out[2] = out[3] = 1;
        } else if (!any_) {
            out[0] = out[1] = out[2] = out[3] = 0;
        } else {
            out[0] = double(xs_);
            out[1] = double(ys_);
            out[2] = double(uint64_t(xe_) - xs_ + 1);
            out[3] = double(uint64_t(ye_) - ys_ + 1);
        }
    }

  private:
    // Advances the pixel counter by n, keeping its column and row without a
    // division for runs shorter than a column. The counter wraps at 2^32 as
    // the reference's does.
    void move(uint32_t n) {
        const uint32_t next = cc_ + n;
        const uint64_t row = uint64_t(row_) + n;
        if (next < cc_) {
            col_ = next / h_;
            row_ = next % h_;
        } else if (row < h_) {
            row_ = uint32_t(row);
        } else if (row < 2 * uint64_t(h_)) {
            ++col_;
            row_ = uint32_t(row - h_);
        } else {
            col_ += uint32_t(row / h_);
            row_ = uint32_t(row % h_);
        }
        cc_ = next;
    }

    uint32_t h_, xs_, ys_, xe_ = 0, ye_ = 0;
    uint32_t cc_ = 0, col_ = 0, row_ = 0;  // cc_ = col_ * h_ + row_ until it wraps
    size_t pairs_ = 0;
    bool any_ = false;
};

// Run sources: a mask's runs, one at a time. next() gives false at the end,
// leaving its argument as it was.

class SpanRuns {
  public:
    explicit SpanRuns(std::span<const uint32_t> runs) noexcept : p_(runs.data()), end_(runs.data() + runs.size()) {}
    bool next(uint32_t& run) noexcept {
        if (p_ == end_) return false;
        run = *p_++;
        return true;
    }

  private:
    const uint32_t* p_;
    const uint32_t* end_;
};

// The runs of compressed counts (escaped: backslashes doubled), decoded a
// block at a time as they are asked for: a walk over two huge masks stores
// neither.
class StringRuns {
  public:
    explicit StringRuns(std::string_view s, bool escaped = false) noexcept : s_(s), escaped_(escaped) {}
    bool next(uint32_t& run) {
        if (at_ == filled_ && !refill()) return false;
        run = block_[at_++];
        return true;
    }

  private:
    bool refill() {
        check_cancelled();  // one walk can take tens of millions of runs
        size_t k = 0;
        auto put = [&](uint32_t r) { block_[k++] = r; };
        filled_ = escaped_ ? decode_runs<true, true>(s_, state_, kBlock, put)
                           : decode_runs<false, true>(s_, state_, kBlock, put);
        at_ = 0;
        return filled_ > 0;
    }

    static constexpr size_t kBlock = 1024;
    std::string_view s_;
    bool escaped_;
    DecodeState state_;
    size_t at_ = 0, filled_ = 0;
    uint32_t block_[kBlock];
};

// A source of `runs` runs summing to `sum`, extended with background up to
// `target` >= sum pixels. Only malformed masks whose runs sum differently
// need it: a mask is background past its end, and a joint walk of two masks
// needs equal sums to stop. A last background run takes the padding where it
// fits; otherwise (background, foreground) pairs follow, the foreground empty.
template <class Source>
class PaddedRuns {
  public:
    PaddedRuns(Source src, uint64_t runs, uint32_t last, uint64_t sum, uint64_t target)
        : src_(std::move(src)), left_(runs), rest_(target - sum), empty_next_(runs % 2 == 1) {
        extend_last_ = runs % 2 == 1 && rest_ <= uint64_t(UINT32_MAX - last);
    }
    bool next(uint32_t& run) {
        if (left_ > 0) {
            if (!src_.next(run)) return false;
            if (--left_ == 0 && extend_last_) {
                run += uint32_t(rest_);
                rest_ = 0;
            }
            return true;
        }
        if (rest_ == 0) return false;
        if (empty_next_) {
            empty_next_ = false;
            run = 0;
            return true;
        }
        run = uint32_t(std::min<uint64_t>(rest_, UINT32_MAX));
        rest_ -= run;
        empty_next_ = true;
        return true;
    }

  private:
    Source src_;
    uint64_t left_, rest_;
    bool empty_next_, extend_last_;
};

// Reading position in a mask's runs (at least one) during a joint walk of two masks.
template <class Source>
struct RunCursor {
    Source src;
    uint32_t left = 0;  // pixels left in the current run
    bool fg = false;    // the current run is foreground

    explicit RunCursor(Source s) : src(std::move(s)) { src.next(left); }

    void take(uint32_t c) {
        left -= c;
        if (left == 0 && src.next(left)) fg = !fg;
    }
};

}  // namespace zerlin::detail
