// RLE codec and set operations (IoU kernels: rle_iou.cpp).
#include "zerlin/rle.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#include "rle_runs.hpp"
#include "zerlin/cancel.hpp"
#include "zerlin/error.hpp"

namespace zerlin {

using namespace detail;

void require_mask_size(uint64_t h, uint64_t w) {
    if (h == 0 || w <= UINT32_MAX / h) return;
    throw Error(ErrorKind::Overflow, "mask size " + std::to_string(h) + " x " + std::to_string(w) +
                                         " has 2^32 pixels or more, beyond the 32-bit pixel indices of masks");
}

// ---- codec -----------------------------------------------------------------

void rle_to_string_into(const Rle& r, std::string& out) {
    const std::vector<uint32_t>& c = r.counts;
    // A difference of two 32-bit runs needs at most 7 groups of 5 bits.
    out.resize(c.size() * 7);
    char* o = out.data();
    for (size_t i = 0; i < c.size(); ++i) {
        int64_t x = int64_t(c[i]);
        if (i > 2) x -= int64_t(c[i - 2]);
        for (;;) {
            int64_t g = x & 31;
            x >>= 5;  // arithmetic: negative values keep their sign
            const bool more = (g & 16) ? x != -1 : x != 0;
            if (more) g |= 32;
            *o++ = char(g + 48);
            if (!more) break;
        }
    }
    out.resize(size_t(o - out.data()));
}

uint32_t rle_string_area(std::string_view s, bool escaped) {
    uint32_t area = 0;
    bool foreground = false;
    for_each_string_run(s, escaped, [&](uint32_t run) {
        if (foreground) area += run;
        foreground = !foreground;
    });
    return area;
}

RunTotal rle_string_run_total(std::string_view s) {
    RunTotal out;
    int64_t before_last = 0, last = 0;  // runs i - 2 and i - 1
    for (size_t p = 0, i = 0; p < s.size(); ++i) {
        uint64_t x = 0;
        uint32_t c = 0;
        uint64_t groups = 0;
        do {
            c = uint8_t(uint8_t(s[p++]) - 48);
            if (5 * groups < 64) x |= uint64_t(c & 31) << (5 * groups);
            ++groups;
        } while ((c & 32) && p < s.size());
        if (c & 32) out.sound = false;                                         // cut short
        if ((c & 16) && 5 * groups < 64) x -= uint64_t(1) << (5 * groups);     // negative
        const int64_t run = int64_t(x + (i > 2 ? uint64_t(before_last) : 0));  // wraps at 64 bits
        before_last = last;
        last = run;
        if (run < 0)
            out.sound = false;
        else
            out.total = uint64_t(run) > UINT64_MAX - out.total ? UINT64_MAX : out.total + uint64_t(run);
    }
    return out;
}

Rle rle_from_string(std::string_view s, uint32_t h, uint32_t w, bool escaped) {
    Rle r{h, w, {}};
    r.counts.reserve(s.size());
    for_each_string_run(s, escaped, [&](uint32_t run) { r.counts.push_back(run); });
    return r;
}

uint32_t rle_string_area_and_box(std::string_view s, uint32_t h, uint32_t w, bool escaped, double box[4]) {
    RunBox runs(h, w);
    uint32_t area = 0, background = 0;
    bool in_background = true;
    for_each_string_run(s, escaped, [&](uint32_t run) {
        if (in_background) {
            background = run;
        } else {
            area += run;
            runs.add(background, run);
        }
        in_background = !in_background;
    });
    runs.box(box);
    return area;
}

namespace {

// Number of leading bytes of p[0, n) equal to v. Whole 32-byte blocks are
// compared at once; the first differing byte is located word by word.
size_t equal_prefix(const uint8_t* p, size_t n, uint8_t v) {
    size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        const uint64_t pat = 0x0101010101010101ull * v;
        auto word = [&](size_t at) {
            uint64_t x;
            std::memcpy(&x, p + at, 8);
            return x ^ pat;
        };
        while (i + 32 <= n && (word(i) | word(i + 8) | word(i + 16) | word(i + 24)) == 0) i += 32;
        for (; i + 8 <= n; i += 8) {
            const uint64_t x = word(i);
            if (x) return i + size_t(std::countr_zero(x)) / 8;
        }
    }
    while (i < n && p[i] == v) ++i;
    return i;
}

}  // namespace

Rle rle_from_mask(const uint8_t* raster, size_t size, uint32_t h, uint32_t w) {
    thread_local std::vector<uint32_t> runs;
    runs.clear();
    uint8_t prev = 0;
    uint32_t run = 0;
    size_t i = 0;
    while (i < size) {
        const size_t k = equal_prefix(raster + i, size - i, prev);
        run += uint32_t(k);
        i += k;
        if (i == size) break;
        runs.push_back(run);
        run = 0;
        prev = raster[i];
    }
    runs.push_back(run);
    return Rle{h, w, std::vector<uint32_t>(runs.begin(), runs.end())};
}

void rle_decode_into(const Rle& r, uint8_t* dst, size_t n_pixels) {
    const std::vector<uint32_t>& c = r.counts;
    size_t pos = 0;
    for (size_t j = 0; j < c.size() && pos < n_pixels; j += 2) {
        pos = std::min(pos + c[j], n_pixels);
        if (j + 1 == c.size()) break;
        const size_t end = std::min(pos + c[j + 1], n_pixels);
        std::memset(dst + pos, 1, end - pos);
        pos = end;
    }
}

// ---- set operations --------------------------------------------------------

uint32_t rle_area(const Rle& r) {
    uint32_t a = 0;
    for (size_t j = 1; j < r.counts.size(); j += 2) a += r.counts[j];
    return a;
}

void rle_to_bbox(const Rle& r, double out[4]) {
    RunBox runs(r.h, r.w);
    for (size_t j = 0; j + 1 < r.counts.size(); j += 2) runs.add(r.counts[j], r.counts[j + 1]);
    runs.box(out);
}

namespace {

uint64_t run_sum(std::span<const uint32_t> runs) {
    uint64_t s = 0;
    for (uint32_t c : runs) s += c;
    return s;
}

// Copy of `runs` (summing to `sum`) padded up to `target`, as PaddedRuns reads them.
void pad_runs(std::span<const uint32_t> runs, uint64_t sum, uint64_t target, std::vector<uint32_t>& out) {
    out.clear();
    PaddedRuns<SpanRuns> src(SpanRuns(runs), runs.size(), runs.empty() ? 0 : runs.back(), sum, target);
    for (uint32_t run; src.next(run);) out.push_back(run);
}

// Calls f(a, b) with two run lists of equal sums, padding the shorter one.
template <class F>
auto with_equal_sums(std::span<const uint32_t> a, uint64_t sa, std::span<const uint32_t> b, uint64_t sb, F&& f) {
    if (sa == sb) return f(a, b);
    std::vector<uint32_t> padded;
    if (sa < sb) {
        pad_runs(a, sa, sb, padded);
        return f(std::span<const uint32_t>(padded), b);
    }
    pad_runs(b, sb, sa, padded);
    return f(a, std::span<const uint32_t>(padded));
}

void merge_two(std::span<const uint32_t> a, std::span<const uint32_t> b, bool intersect, std::vector<uint32_t>& out) {
    out.clear();
    RunCursor<SpanRuns> ca(SpanRuns{a}), cb(SpanRuns{b});
    bool v = false;
    uint32_t cc = 0;
    for (;;) {
        const uint32_t c = std::min(ca.left, cb.left);
        cc += c;
        ca.take(c);
        cb.take(c);
        const bool prev = v;
        v = intersect ? (ca.fg && cb.fg) : (ca.fg || cb.fg);
        const bool done = uint32_t(ca.left + cb.left) == 0;
        if (v != prev || done) {
            out.push_back(cc);
            cc = 0;
        }
        if (done) break;
    }
}

}  // namespace

Rle rle_merge(std::span<const Rle* const> rles, bool intersect) {
    const size_t n = rles.size();
    if (n == 0) return Rle{};
    const Rle& r0 = *rles[0];
    if (n == 1) return r0;
    for (size_t i = 1; i < n; ++i)
        if (rles[i]->h != r0.h || rles[i]->w != r0.w) return Rle{};
    for (size_t i = 0; i < n; ++i)
        if (rles[i]->counts.empty()) return Rle{r0.h, r0.w, {}};

    std::vector<uint32_t> acc(r0.counts), next;
    uint64_t acc_sum = run_sum(acc);
    for (size_t i = 1; i < n; ++i) {
        const std::vector<uint32_t>& b = rles[i]->counts;
        const uint64_t b_sum = run_sum(b);
        with_equal_sums(acc, acc_sum, b, b_sum, [&](std::span<const uint32_t> x, std::span<const uint32_t> y) {
            merge_two(x, y, intersect, next);
        });
        acc.swap(next);
        acc_sum = run_sum(acc);
    }
    acc.shrink_to_fit();
    return Rle{r0.h, r0.w, std::move(acc)};
}

}  // namespace zerlin
