// Boundary masks: a mask minus its repeated 3x3 erosion.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "zerlin/error.hpp"
#include "zerlin/rle.hpp"

namespace zerlin {

namespace {

int64_t erosion_rounds(uint32_t h, uint32_t w, double ratio) {
    const uint64_t hh = h, ww = w;
    const double r = std::round(ratio * std::sqrt(double(hh * hh + ww * ww)));
    int64_t n;
    if (r != r)
        n = 0;
    else if (r >= 9223372036854775807.0)
        n = INT64_MAX;
    else if (r <= -9223372036854775808.0)
        n = INT64_MIN;
    else
        n = int64_t(r);
    return std::max<int64_t>(n, 1);
}

// One erosion of the interior of a zero-framed buffer of pw columns of ph
// bytes: dst = 1 where all nine neighbours in src are set. The frame of dst is
// never written. Returns whether anything survived.
bool erode(const uint8_t* src, uint8_t* dst, size_t ph, size_t pw, uint8_t* across) {
    uint8_t any = 0;
    for (size_t x = 1; x + 1 < pw; ++x) {
        const uint8_t* a = src + (x - 1) * ph;
        const uint8_t* b = a + ph;
        const uint8_t* c = b + ph;
        for (size_t y = 0; y < ph; ++y) across[y] = a[y] & b[y] & c[y];
        uint8_t* o = dst + x * ph;
        for (size_t y = 1; y + 1 < ph; ++y) {
            const uint8_t v = across[y - 1] & across[y] & across[y + 1];
            o[y] = v;
            any |= v;
        }
    }
    return any != 0;
}

}  // namespace

Rle rle_boundary(const Rle& r, double dilation_ratio) {
    if (r.h == 0 || r.w == 0) return r;
    const int64_t rounds = erosion_rounds(r.h, r.w, dilation_ratio);
    const size_t h = r.h, w = r.w, n_pixels = h * w;
    if (n_pixels > std::vector<uint8_t>().max_size()) throw std::bad_alloc();
    // The decoded mask and, at most, two eroded copies of it.
    require_memory(3 * uint64_t(n_pixels), "a boundary mask");

    // Decode, noting the rows and columns the foreground reaches: erosion
    // never sets a pixel outside the mask, so only that window is eroded.
    std::vector<uint8_t> mask(n_pixels, 0);
    size_t x0 = SIZE_MAX, x1 = 0, y0 = SIZE_MAX, y1 = 0;
    const std::vector<uint32_t>& c = r.counts;
    size_t pos = 0;
    for (size_t j = 0; j + 1 < c.size() && pos < n_pixels; j += 2) {
        pos = std::min(pos + c[j], n_pixels);
        const size_t end = std::min(pos + c[j + 1], n_pixels);
        if (end > pos) {
            std::memset(mask.data() + pos, 1, end - pos);
            const size_t cx0 = pos / h, cx1 = (end - 1) / h;
            x0 = std::min(x0, cx0);
            x1 = std::max(x1, cx1);
            if (cx0 != cx1) {
                y0 = 0;
                y1 = h - 1;
            } else {
                y0 = std::min(y0, pos % h);
                y1 = std::max(y1, (end - 1) % h);
            }
        }
        pos = end;
    }

    if (x0 != SIZE_MAX) {
        // Window with a one-pixel zero frame: outside the window the mask is
        // background, as it is outside the image.
        const size_t bh = y1 - y0 + 1, bw = x1 - x0 + 1, ph = bh + 2, pw = bw + 2;
        std::vector<uint8_t> p(ph * pw, 0), q(ph * pw, 0), across(ph);
        for (size_t x = 0; x < bw; ++x) std::memcpy(&p[(x + 1) * ph + 1], &mask[(x0 + x) * h + y0], bh);
        uint8_t* src = p.data();
        uint8_t* dst = q.data();
        for (int64_t i = 0; i < rounds; ++i) {
            const bool any = erode(src, dst, ph, pw, across.data());
            std::swap(src, dst);
            if (!any) break;  // an empty erosion stays empty
        }
        // src holds the erosion; the boundary is the mask without it.
        for (size_t x = 0; x < bw; ++x) {
            uint8_t* m = &mask[(x0 + x) * h + y0];
            const uint8_t* e = src + (x + 1) * ph + 1;
            for (size_t y = 0; y < bh; ++y) m[y] &= uint8_t(e[y] ^ 1);
        }
    }
    return rle_from_mask(mask.data(), n_pixels, r.h, r.w);
}

}  // namespace zerlin
