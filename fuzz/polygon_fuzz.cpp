// Polygon and box rasterisation with extreme coordinates and image sizes:
// the mask covers exactly the image, its box lies inside it, and the box
// rasteriser agrees with the same rectangle drawn as a polygon.
#include <cmath>
#include <vector>

#include "harness.hpp"
#include "zerlin/rle.hpp"

namespace {

uint64_t run_sum(const zerlin::Rle& r) {
    uint64_t s = 0;
    for (uint32_t c : r.counts) s += c;
    return s;
}

// `exact`: the runs cover the image exactly. A union of rings may stop
// after its last foreground run (the rest is background) past 2^31 pixels,
// as the reference's merge does.
void check_mask(const zerlin::Rle& m, uint32_t h, uint32_t w, bool exact) {
    FUZZ_CHECK(m.h == h && m.w == w);
    if (m.counts.empty()) return;
    if (exact || uint64_t(h) * w < (uint64_t(1) << 31)) FUZZ_CHECK(run_sum(m) == uint64_t(h) * w);
    FUZZ_CHECK(run_sum(m) <= uint64_t(h) * w);
    double box[4];
    zerlin::rle_to_bbox(m, box);
    FUZZ_CHECK(box[0] >= 0 && box[1] >= 0 && box[0] + box[2] <= w && box[1] + box[3] <= h);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    const uint32_t h = in.side(), w = in.side();
    const uint8_t rings = 1 + in.u8() % 3;
    zerlin::Polygons poly;
    for (uint8_t r = 0; r < rings && in.left() > 0; ++r) {
        const std::size_t n = in.u8() % 24;
        for (std::size_t i = 0; i < n; ++i) poly.coords.push_back(in.coord());
        poly.ends.push_back(uint32_t(poly.coords.size()));
    }
    fuzz::expect_clean([&] {
        zerlin::require_mask_size(h, w);  // as every caller does first
        zerlin::RasterScratch scratch;
        zerlin::Rle m = zerlin::rle_from_polygons(poly, h, w, scratch);
        if (!poly.ends.empty()) check_mask(m, h, w, poly.ends.size() == 1);
        if (poly.coords.size() >= 4) {
            const double* b = poly.coords.data();
            zerlin::Rle boxed = zerlin::rle_from_bbox(b, h, w, scratch);
            check_mask(boxed, h, w, true);
            // A box on whole pixels inside the image covers exactly its pixels.
            const bool whole = std::floor(b[0]) == b[0] && std::floor(b[1]) == b[1] && std::floor(b[2]) == b[2] &&
                               std::floor(b[3]) == b[3];
            if (whole && b[0] >= 0 && b[1] >= 0 && b[2] > 0 && b[3] > 0 && b[0] + b[2] <= w && b[1] + b[3] <= h)
                FUZZ_CHECK(zerlin::rle_area(boxed) == uint64_t(b[2] * b[3]));
        }
    });
    return 0;
}
