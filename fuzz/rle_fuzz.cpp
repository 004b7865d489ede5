// Compressed RLE strings and the mask functions on them: decode, area,
// bounding box, IoU, merge and boundary on mutated strings and sizes. Where
// a mask's runs add up to exactly h * w pixels (a well-formed mask) and the
// image is small, results are checked against the decoded pixels.
#include <algorithm>
#include <string>
#include <vector>

#include "harness.hpp"
#include "zerlin/rle.hpp"

namespace {

constexpr uint64_t kDensePixels = 1 << 16;

uint64_t run_sum(const zerlin::Rle& r) {
    uint64_t s = 0;
    for (uint32_t c : r.counts) s += c;
    return s;
}

bool well_formed(const zerlin::Rle& r) {
    return run_sum(r) == uint64_t(r.h) * r.w;
}

// Area and box of the decoded pixels against the run functions.
void check_against_pixels(const zerlin::Rle& r) {
    const uint64_t n = uint64_t(r.h) * r.w;
    if (n == 0 || n > kDensePixels || !well_formed(r)) return;
    std::vector<uint8_t> px(n, 0);
    zerlin::rle_decode_into(r, px.data(), n);
    uint64_t area = 0;
    uint32_t x0 = r.w, y0 = r.h, x1 = 0, y1 = 0;
    for (uint64_t i = 0; i < n; ++i) {
        if (!px[i]) continue;
        ++area;
        const uint32_t x = uint32_t(i / r.h), y = uint32_t(i % r.h);
        x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
    }
    FUZZ_CHECK(zerlin::rle_area(r) == area);
    double box[4];
    zerlin::rle_to_bbox(r, box);
    if (area == 0) {
        FUZZ_CHECK(box[0] == 0 && box[1] == 0 && box[2] == 0 && box[3] == 0);
    } else {
        FUZZ_CHECK(box[0] == x0 && box[1] == y0 && box[2] == x1 - x0 + 1 && box[3] == y1 - y0 + 1);
    }
    // Encoding the pixels again gives the same runs up to zero-length ones.
    zerlin::Rle again = zerlin::rle_from_mask(px.data(), n, r.h, r.w);
    FUZZ_CHECK(zerlin::rle_area(again) == area);
}

// The counts of a compressed string read one character at a time: the
// decoder's batched path must agree with it on any text.
std::vector<uint32_t> runs_one_by_one(std::string_view s, bool escaped) {
    std::vector<uint32_t> runs;
    std::size_t p = 0;
    while (p < s.size()) {
        uint64_t x = 0;
        unsigned k = 0;
        uint8_t c = 0;
        do {
            if (escaped && s[p] == '\\' && ++p == s.size()) return runs;  // the decoder refuses this
            c = uint8_t(uint8_t(s[p++]) - 48);
            if (k < 64) x |= uint64_t(c & 31) << k;
            k += 5;
        } while ((c & 32) && p < s.size());
        if ((c & 48) == 16 && k <= 63) x |= ~uint64_t(0) << k;
        if (runs.size() > 2) x += runs[runs.size() - 2];
        runs.push_back(uint32_t(x));
    }
    return runs;
}

void check_decoding(std::string_view s, uint32_t h, uint32_t w, bool escaped) {
    const std::vector<uint32_t> expected = runs_one_by_one(s, escaped);
    zerlin::Rle r = zerlin::rle_from_string(s, h, w, escaped);
    FUZZ_CHECK(r.counts == expected);
    FUZZ_CHECK(zerlin::rle_string_area(s, escaped) == zerlin::rle_area(r));
}

void exercise(const std::vector<zerlin::Rle>& masks, uint8_t flags) {
    std::vector<const zerlin::Rle*> ptrs;
    for (const auto& m : masks) ptrs.push_back(&m);
    for (const auto& m : masks) {
        check_against_pixels(m);
        // The string form round-trips.
        std::string s;
        zerlin::rle_to_string_into(m, s);
        FUZZ_CHECK(zerlin::rle_from_string(s, m.h, m.w, false).counts == m.counts);
        double box[4];
        zerlin::rle_to_bbox(m, box);
        (void)zerlin::rle_area(m);
        if (uint64_t(m.h) * m.w <= kDensePixels && well_formed(m)) {
            const double ratio = (flags >> 4) / 64.0;
            zerlin::Rle b = zerlin::rle_boundary(m, ratio);
            FUZZ_CHECK(zerlin::rle_area(b) <= zerlin::rle_area(m));
        }
    }
    std::vector<uint8_t> crowd(masks.size());
    for (std::size_t i = 0; i < crowd.size(); ++i) crowd[i] = (flags >> i) & 1;
    std::vector<double> iou(masks.size() * masks.size());
    const double hint = flags & 8 ? 0.5 : 0.0;
    zerlin::rle_iou(ptrs, ptrs, crowd, hint, iou.data());
    // Runs adding up past 2^32 wrap as in the reference tools (an area
    // modulo 2^32, IoU values above 1 included); other masks give IoU in [0, 1].
    auto no_wrap = [](const zerlin::Rle& m) { return run_sum(m) <= UINT32_MAX; };
    const std::size_t n = masks.size();
    for (std::size_t d = 0; d < n; ++d) {
        const zerlin::Rle& m = masks[d];
        if (well_formed(m) && zerlin::rle_area(m) > 0) FUZZ_CHECK(iou[d * n + d] == 1.0);
        for (std::size_t g = 0; g < n; ++g) {
            const double v = iou[d * n + g];
            if (no_wrap(m) && no_wrap(masks[g])) FUZZ_CHECK(v == -1.0 || (v >= 0.0 && v <= 1.0));
        }
    }
    zerlin::Rle u = zerlin::rle_merge(ptrs, false);
    zerlin::Rle x = zerlin::rle_merge(ptrs, true);
    const bool same_size = std::all_of(masks.begin(), masks.end(),
                                       [&](const zerlin::Rle& m) { return m.h == masks[0].h && m.w == masks[0].w; });
    if (masks.size() == 2 && same_size && well_formed(masks[0]) && well_formed(masks[1])) {
        // Inclusion-exclusion over two well-formed masks.
        FUZZ_CHECK(uint64_t(zerlin::rle_area(u)) + zerlin::rle_area(x) ==
                   uint64_t(zerlin::rle_area(masks[0])) + zerlin::rle_area(masks[1]));
        check_against_pixels(u);
        check_against_pixels(x);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    const uint32_t h = in.side(), w = in.side();
    const uint8_t flags = in.u8();
    const bool escaped = flags & 1;
    const bool mixed_sizes = flags & 2;
    std::string_view rest = in.rest();
    fuzz::expect_clean([&] {
        // As the mask functions do on reading a size.
        zerlin::require_mask_size(h, w);
        std::vector<zerlin::Rle> masks;
        // Up to four counts strings separated by newlines.
        while (masks.size() < 4) {
            const std::size_t cut = std::min(rest.find('\n'), rest.size());
            const uint32_t mh = mixed_sizes && masks.size() == 1 ? w : h;
            const uint32_t mw = mixed_sizes && masks.size() == 1 ? h : w;
            masks.push_back(zerlin::rle_from_string(rest.substr(0, cut), mh, mw, escaped));
            check_decoding(rest.substr(0, cut), mh, mw, escaped);
            if (cut == rest.size()) break;
            rest.remove_prefix(cut + 1);
        }
        exercise(masks, flags);
    });
    return 0;
}
