#include "zerlin/rle.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "rle_text.hpp"
#include "zerlin/error.hpp"

using namespace zerlin;
using Runs = std::vector<uint32_t>;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---- plain references, written from the pixel definitions -----------------

Runs ref_runs_of_raster(const std::vector<uint8_t>& m) {
    Runs out;
    uint8_t prev = 0;
    uint32_t run = 0;
    for (uint8_t b : m) {
        if (b != prev) {
            out.push_back(run);
            run = 0;
        }
        prev = b;
        ++run;
    }
    out.push_back(run);
    return out;
}

std::vector<uint8_t> raster_of(const Rle& r) {
    std::vector<uint8_t> m(size_t(r.h) * r.w, 0);
    rle_decode_into(r, m.data(), m.size());
    return m;
}

// Blobs of rectangles plus sprinkled pixels, column-major.
std::vector<uint8_t> random_raster(std::mt19937& rng, uint32_t h, uint32_t w) {
    std::vector<uint8_t> m(size_t(h) * w, 0);
    if (h == 0 || w == 0) return m;
    std::uniform_int_distribution<uint32_t> xs(0, w - 1), ys(0, h - 1), nblob(0, 4);
    const uint32_t blobs = nblob(rng);
    for (uint32_t b = 0; b < blobs; ++b) {
        uint32_t xa = xs(rng), xb = xs(rng), ya = ys(rng), yb = ys(rng);
        if (xa > xb) std::swap(xa, xb);
        if (ya > yb) std::swap(ya, yb);
        for (uint32_t x = xa; x <= xb; ++x)
            for (uint32_t y = ya; y <= yb; ++y) m[size_t(x) * h + y] = 1;
    }
    const uint32_t dots = nblob(rng) * 3;
    for (uint32_t d = 0; d < dots; ++d) m[size_t(xs(rng)) * h + ys(rng)] ^= 1;
    return m;
}

Rle random_rle(std::mt19937& rng, uint32_t h, uint32_t w) {
    const std::vector<uint8_t> m = random_raster(rng, h, w);
    return rle_from_mask(m.data(), m.size(), h, w);
}

// The polygon rasteriser as literally described: every upsampled point of
// every edge is generated, then consecutive pairs are examined.
int32_t ref_int(double v) {
    return (v > -2147483649.0 && v < 2147483648.0) ? int32_t(v) : INT32_MIN;
}

Runs ref_polygon(const std::vector<double>& xy, uint32_t h, uint32_t w) {
    const size_t k = xy.size() / 2;
    if (k == 0) return {h * w};
    std::vector<int64_t> X(k + 1), Y(k + 1);
    for (size_t j = 0; j < k; ++j) {
        X[j] = ref_int(5 * xy[2 * j] + .5);
        Y[j] = ref_int(5 * xy[2 * j + 1] + .5);
    }
    X[k] = X[0];
    Y[k] = Y[0];
    std::vector<std::pair<int64_t, int64_t>> pts;
    for (size_t j = 0; j < k; ++j) {
        int64_t xs = X[j], xe = X[j + 1], ys = Y[j], ye = Y[j + 1];
        const int64_t dx = std::llabs(xe - xs), dy = std::llabs(ys - ye);
        if (dx >= dy) {
            const bool flip = xs > xe;
            if (flip) std::swap(xs, xe), std::swap(ys, ye);
            const double s = double(ye - ys) / double(dx);
            for (int64_t d = 0; d <= dx; ++d) {
                const int64_t t = flip ? dx - d : d;
                pts.emplace_back(xs + t, ref_int(double(ys) + s * double(t) + .5));
            }
        } else {
            const bool flip = ys > ye;
            if (flip) std::swap(xs, xe), std::swap(ys, ye);
            const double s = double(xe - xs) / double(dy);
            for (int64_t d = 0; d <= dy; ++d) {
                const int64_t t = flip ? dy - d : d;
                pts.emplace_back(ref_int(double(xs) + s * double(t) + .5), ys + t);
            }
        }
    }
    Runs a;
    for (size_t i = 1; i < pts.size(); ++i) {
        const auto [pu, pv] = pts[i - 1];
        const auto [qu, qv] = pts[i];
        if (qu == pu) continue;
        double xd = double(qu < pu ? qu : qu - 1);
        xd = (xd + .5) / 5 - .5;
        if (std::floor(xd) != xd || xd < 0 || xd > double(uint64_t(w) - 1)) continue;
        double yd = (double(std::min(pv, qv)) + .5) / 5 - .5;
        if (yd < 0)
            yd = 0;
        else if (yd > h)
            yd = h;
        yd = std::ceil(yd);
        a.push_back(uint32_t(ref_int(xd)) * h + uint32_t(ref_int(yd)));
    }
    a.push_back(h * w);
    std::sort(a.begin(), a.end());
    uint32_t last = 0;
    for (uint32_t& x : a) {
        const uint32_t d = x - last;
        last = x;
        x = d;
    }
    Runs out{a[0]};
    for (size_t i = 1; i < a.size(); ++i) {
        if (a[i] > 0)
            out.push_back(a[i]);
        else if (++i < a.size())
            out.back() += a[i];
    }
    return out;
}

Runs square_runs_20x20() {
    Runs r{0};
    for (int i = 0; i < 10; ++i) {
        r.push_back(10);
        r.push_back(10);
    }
    r.back() = 210;
    return r;
}

// Pixel-wise erosion boundary with a zero frame, n rounds.
std::vector<uint8_t> ref_boundary(const std::vector<uint8_t>& m, uint32_t h, uint32_t w, int n) {
    std::vector<uint8_t> e = m, next(m.size());
    for (int it = 0; it < n; ++it) {
        for (uint32_t x = 0; x < w; ++x)
            for (uint32_t y = 0; y < h; ++y) {
                uint8_t all = 1;
                for (int dx = -1; dx <= 1; ++dx)
                    for (int dy = -1; dy <= 1; ++dy) {
                        const int64_t xx = int64_t(x) + dx, yy = int64_t(y) + dy;
                        if (xx < 0 || yy < 0 || xx >= w || yy >= h || !e[size_t(xx) * h + size_t(yy)]) all = 0;
                    }
                next[size_t(x) * h + y] = all;
            }
        e.swap(next);
    }
    std::vector<uint8_t> b(m.size());
    for (size_t i = 0; i < m.size(); ++i) b[i] = m[i] && !e[i];
    return b;
}

}  // namespace

// ---- codec -----------------------------------------------------------------

struct CodecCase {
    Runs runs;
    std::string text;
};

class CodecWorked : public ::testing::TestWithParam<CodecCase> {};

TEST_P(CodecWorked, EncodesAndDecodes) {
    const CodecCase& c = GetParam();
    EXPECT_EQ(rle_text(Rle{3, 4, c.runs}), c.text);
    const Rle back = rle_from_string(c.text, 3, 4, false);
    EXPECT_EQ(back.counts, c.runs);
    EXPECT_EQ(back.h, 3u);
    EXPECT_EQ(back.w, 4u);
    // The JSON-literal form doubles every backslash and decodes the same.
    std::string esc;
    for (char ch : c.text) {
        esc += ch;
        if (ch == '\\') esc += ch;
    }
    EXPECT_EQ(rle_from_string(esc, 3, 4, true).counts, c.runs);
}

INSTANTIATE_TEST_SUITE_P(Rle, CodecWorked,
                         ::testing::Values(CodecCase{{5, 3}, "53"}, CodecCase{{0, 40}, "0X1"},
                                           CodecCase{{1, 2, 3, 1}, "123O"}, CodecCase{{0, 4, 2}, "042"},
                                           CodecCase{{3, 5, 4, 2, 6}, "354M2"},
                                           CodecCase{{100, 200, 300, 400, 500}, "T3X6\\9X6X6"}, CodecCase{{0}, "0"},
                                           CodecCase{{12}, "<"}, CodecCase{{0, 12}, "0<"}, CodecCase{{}, ""}));

TEST(RleCodec, RoundTripsAnyRunValues) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<uint32_t> any, small(0, 70), len(0, 40), pick(0, 2);
    for (int iter = 0; iter < 2000; ++iter) {
        Runs runs(len(rng));
        for (uint32_t& x : runs) {
            const uint32_t p = pick(rng);
            x = p == 0 ? any(rng) : p == 1 ? small(rng) : UINT32_MAX - small(rng);
        }
        const std::string s = rle_text(Rle{1, 1, runs});
        for (char ch : s) ASSERT_TRUE(ch >= '0' && ch <= 'o');
        ASSERT_EQ(rle_from_string(s, 1, 1, false).counts, runs);
    }
}

TEST(RleCodec, BackslashesAndOddBytes) {
    EXPECT_EQ(rle_from_string("\\\\", 0, 0, true).counts, Runs{12});
    EXPECT_EQ(rle_from_string("\\\\", 0, 0, false).counts, Runs{396});
    // Any byte after a backslash is taken as it stands.
    EXPECT_EQ(rle_from_string("\\5", 0, 0, true).counts, Runs{5});
    // A byte outside the alphabet goes through the same arithmetic: 0x01 is
    // group 17 with the sign bit set, i.e. -15.
    EXPECT_EQ(rle_from_string(std::string("\x01", 1), 0, 0, false).counts, Runs{uint32_t(-15)});
    // Groups past the thirteenth contribute nothing.
    EXPECT_EQ(rle_from_string("ooooooooooooo0", 0, 0, false).counts, Runs{UINT32_MAX});
    // A string ending inside a value ends that value.
    EXPECT_EQ(rle_from_string("X", 0, 0, false).counts, Runs{8});
}

TEST(RleCodec, LoneTrailingBackslashIsAValueError) {
    for (const char* s : {"\\", "12\\", "\\\\\\"}) {
        try {
            rle_from_string(s, 1, 1, true);
            FAIL() << s;
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), ErrorKind::Value);
        }
    }
}

// ---- raster <-> runs -------------------------------------------------------

TEST(RleMask, WorkedRasters) {
    const std::vector<uint8_t> zeros(12, 0), ones(12, 1), mixed{0, 2, 2, 1};
    EXPECT_EQ(rle_from_mask(zeros.data(), 12, 3, 4).counts, Runs{12});
    EXPECT_EQ(rle_from_mask(ones.data(), 12, 3, 4).counts, Runs({0, 12}));
    EXPECT_EQ(rle_from_mask(nullptr, 0, 0, 0).counts, Runs{0});
    EXPECT_EQ(rle_from_mask(mixed.data(), 4, 2, 2).counts, Runs({1, 2, 1}));
}

TEST(RleMask, BlockSkippingMatchesByteRule) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<uint32_t> size(0, 300), pos, val(0, 3);
    for (int iter = 0; iter < 3000; ++iter) {
        std::vector<uint8_t> m(size(rng), 0);
        // Long equal stretches with changes at random places, sometimes
        // right at block edges.
        const uint32_t changes = val(rng) * 3;
        for (uint32_t c = 0; c < changes && !m.empty(); ++c) {
            const size_t at = pos(rng) % m.size();
            const size_t len = pos(rng) % (m.size() - at + 1);
            std::fill(m.begin() + at, m.begin() + at + len, uint8_t(val(rng)));
        }
        const Rle r = rle_from_mask(m.data(), m.size(), 1, uint32_t(m.size()));
        ASSERT_EQ(r.counts, ref_runs_of_raster(m));
        ASSERT_EQ(r.counts.capacity(), r.counts.size());
    }
}

TEST(RleMask, DecodeRoundTripAndClamping) {
    std::mt19937 rng(3);
    for (int iter = 0; iter < 300; ++iter) {
        const uint32_t h = rng() % 40, w = rng() % 40;
        const std::vector<uint8_t> m = random_raster(rng, h, w);
        const Rle r = rle_from_mask(m.data(), m.size(), h, w);
        ASSERT_EQ(raster_of(r), m);
    }
    // Runs past the end are cut; guard bytes behind the destination stay.
    std::vector<uint8_t> dst(10, 0xAA);
    std::fill(dst.begin(), dst.begin() + 6, 0);
    rle_decode_into(Rle{2, 3, {2, 3, 1, 100}}, dst.data(), 6);
    EXPECT_EQ(dst, std::vector<uint8_t>({0, 0, 1, 1, 1, 0, 0xAA, 0xAA, 0xAA, 0xAA}));
    std::vector<uint8_t> tail(6, 0);
    rle_decode_into(Rle{2, 3, {1, 2}}, tail.data(), 6);
    EXPECT_EQ(tail, std::vector<uint8_t>({0, 1, 1, 0, 0, 0}));
    rle_decode_into(Rle{2, 3, {9, 9, 9}}, tail.data(), 6);  // background only up to the end
    EXPECT_EQ(tail, std::vector<uint8_t>({0, 1, 1, 0, 0, 0}));
}

// ---- rasterisation ---------------------------------------------------------

TEST(Raster, WorkedPolygonsAndBoxes) {
    RasterScratch s;
    std::vector<double> tri{0, 0, 4, 0, 0, 4};
    EXPECT_EQ(rle_from_polygon(tri, 5, 5, s).counts, Runs({0, 3, 2, 2, 3, 1, 14}));
    const Runs square = square_runs_20x20();
    std::vector<double> sq{0, 0, 0, 10, 10, 10, 10, 0}, sq_rev{10, 0, 10, 10, 0, 10, 0, 0};
    EXPECT_EQ(rle_from_polygon(sq, 20, 20, s).counts, square);
    EXPECT_EQ(rle_from_polygon(sq_rev, 20, 20, s).counts, square);
    const double b0[4] = {0, 0, 10, 10}, b1[4] = {2.5, 2.5, 5, 5};
    EXPECT_EQ(rle_from_bbox(b0, 20, 20).counts, square);
    EXPECT_EQ(rle_from_bbox(b1, 10, 10).counts, Runs({33, 5, 5, 5, 5, 5, 5, 5, 5, 5, 22}));
    const Rle with_h_w = rle_from_bbox(b1, 10, 10, s);
    EXPECT_EQ(with_h_w.h, 10u);
    EXPECT_EQ(with_h_w.w, 10u);
}

TEST(Raster, DegenerateShapesCoverNothing) {
    RasterScratch s;
    const std::vector<std::vector<double>> shapes{
        {}, {3.2}, {3, 4}, {1, 1, 8, 8}, {2, 2, 2, 2, 2, 2}, {1, 5, 9, 5, 1, 5},
    };
    for (const auto& xy : shapes) EXPECT_EQ(rle_from_polygon(xy, 10, 12, s).counts, Runs{120});
    const double flat[4] = {1, 1, 5, 0}, thin[4] = {1, 1, 0, 5};
    EXPECT_EQ(rle_from_bbox(flat, 10, 12).counts, Runs{120});
    EXPECT_EQ(rle_from_bbox(thin, 10, 12).counts, Runs{120});
}

TEST(Raster, OddCoordinateIgnoredAndClipping) {
    RasterScratch s;
    std::vector<double> tri{1, 1, 7, 2, 3, 8}, tri_odd{1, 1, 7, 2, 3, 8, 99};
    EXPECT_EQ(rle_from_polygon(tri_odd, 10, 10, s).counts, rle_from_polygon(tri, 10, 10, s).counts);
    // A polygon covering the whole image and beyond is clipped to it.
    std::vector<double> big{-5, -5, -5, 30, 30, 30, 30, -5};
    EXPECT_EQ(rle_from_polygon(big, 20, 20, s).counts, Runs({0, 400}));
    // Partly outside: same pixels as the part inside.
    std::vector<double> left{-1, 2, -1, 6, 3, 6, 3, 2}, inside{0, 2, 0, 6, 3, 6, 3, 2};
    const Rle a = rle_from_polygon(left, 10, 10, s), b = rle_from_polygon(inside, 10, 10, s);
    EXPECT_EQ(a.counts, b.counts);
    EXPECT_EQ(rle_area(a), 12u);
}

TEST(Raster, MatchesLiteralAlgorithmOnRandomPolygons) {
    std::mt19937 rng(2024);
    RasterScratch s;  // shared on purpose: nothing may leak between calls
    std::uniform_int_distribution<int> nv(0, 9), kind(0, 5);
    for (int iter = 0; iter < 1500; ++iter) {
        const uint32_t h = rng() % 60, w = rng() % 60;
        const int k = kind(rng);
        // Mostly in and around the image; some with very long edges, which
        // take the jumping walk and its out-of-image skips.
        const double span = k == 0 ? 4000.0 : k == 1 ? 3.0 : 90.0;
        std::uniform_real_distribution<double> c(-span / 3, span);
        std::vector<double> xy(size_t(nv(rng)) * 2 + (rng() % 5 == 0));
        for (double& v : xy) v = (k == 2) ? std::round(c(rng) * 2) / 2 : c(rng);
        // Deliberate difference: the literal algorithm has no column limit
        // without columns, and fills a 0-pixel image with runs.
        const Runs want = w == 0 ? Runs{0} : ref_polygon(xy, h, w);
        ASSERT_EQ(rle_from_polygon(xy, h, w, s).counts, want)
            << "iteration " << iter << " h=" << h << " w=" << w << " xy=" << ::testing::PrintToString(xy);
    }
}

TEST(Raster, HugeAndNaNCoordinates) {
    RasterScratch s;
    // 5 * 1e12 leaves the 32-bit range and becomes INT32_MIN, like the last
    // in-range value that truncates to it. Edges of ~2^31 points are walked
    // without visiting every point (point by point this test takes minutes).
    std::vector<double> huge{2, 2, 1e12, 5, 8, 9}, edge{2, 2, -429496729.7, 5, 8, 9};
    std::vector<double> tall{2, 2, 3, 1e12, 8, 9};
    const Rle a = rle_from_polygon(huge, 10, 12, s);
    EXPECT_EQ(a.counts, rle_from_polygon(edge, 10, 12, s).counts);
    // Deliberately unlike the reference (which reads NaN as INT32_MIN): a
    // non-finite coordinate covers nothing.
    const double inf = std::numeric_limits<double>::infinity();
    for (double bad : {kNaN, inf, -inf}) {
        std::vector<double> xy{2, 2, 8, 2, 8, 9, 2, 9};
        for (size_t i = 0; i < xy.size(); ++i) {
            std::vector<double> v = xy;
            v[i] = bad;
            EXPECT_EQ(rle_from_polygon(v, 10, 12, s).counts, Runs{120}) << bad << " at " << i;
        }
        for (size_t i = 0; i < 4; ++i) {
            double box[4] = {2, 2, 6, 7};
            box[i] = bad;
            EXPECT_EQ(rle_from_bbox(box, 10, 12).counts, Runs{120}) << bad << " at " << i;
        }
    }
    // An edge far above the image: the crossings' row arithmetic must not
    // wrap (it did in 32 bits, filling from the bottom instead of the top).
    std::vector<double> far{0, -1e9, 8, -1e9, 8, 5, 0, 5}, near{0, -100, 8, -100, 8, 5, 0, 5};
    const Rle f = rle_from_polygon(far, 10, 10, s);
    EXPECT_EQ(f.counts, rle_from_polygon(near, 10, 10, s).counts);
    double fb[4];
    rle_to_bbox(f, fb);
    EXPECT_EQ(std::vector<double>(fb, fb + 4), std::vector<double>({0, 0, 8, 5}));
    const Rle b = rle_from_polygon(tall, 10, 12, s);
    for (const Rle* r : {&a, &b}) {
        uint64_t sum = 0;
        for (uint32_t x : r->counts) sum += x;
        EXPECT_EQ(sum, 120u);
    }
}

TEST(Raster, EmptyImagesAndOversizedPolygons) {
    RasterScratch s;
    // No columns (or rows): nothing to walk, whatever the polygon's extent.
    const double wide[4] = {0, 0, 1e8, 1};
    EXPECT_EQ(rle_from_bbox(wide, 10, 0).counts, Runs{0});
    EXPECT_EQ(rle_from_bbox(wide, 0, 10).counts, Runs{0});
    // Crossings beyond any machine's memory are refused before walking.
    std::vector<double> zigzag;
    for (int i = 0; i < 2000; ++i) zigzag.insert(zigzag.end(), {i % 2 ? 4e8 : 0.0, double(i)});
    try {
        rle_from_polygon(zigzag, 1, 4000000000u, s);
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::Memory);
        EXPECT_NE(std::string(e.what()).find("crossings of a polygon"), std::string::npos) << e.what();
    }
}

TEST(Raster, PolygonsUnionRingsAndValidateOffsets) {
    RasterScratch s;
    Polygons two{{0, 0, 0, 6, 6, 6, 6, 0, 3, 3, 3, 9, 9, 9, 9, 3}, {8, 16}};
    const Rle u = rle_from_polygons(two, 12, 12, s);
    EXPECT_EQ(rle_area(u), 36u + 36u - 9u);  // overlap counted once
    const Rle r0 = rle_from_polygon(std::span(two.coords).first(8), 12, 12, s);
    const Rle r1 = rle_from_polygon(std::span(two.coords).subspan(8), 12, 12, s);
    const Rle* both[2] = {&r0, &r1};
    EXPECT_EQ(u, rle_merge(both, false));
    Polygons one{{1, 1, 7, 2, 3, 8}, {6}};
    EXPECT_EQ(rle_from_polygons(one, 10, 10, s).counts, rle_from_polygon(one.coords, 10, 10, s).counts);
    EXPECT_EQ(rle_from_polygons(Polygons{}, 10, 10, s), Rle{});
    // An empty ring among others adds nothing.
    Polygons with_empty{{1, 1, 7, 2, 3, 8}, {6, 6}};
    EXPECT_EQ(rle_from_polygons(with_empty, 10, 10, s).counts, rle_from_polygon(one.coords, 10, 10, s).counts);
    for (const Polygons& bad : {Polygons{{1, 2, 3, 4}, {4, 2}}, Polygons{{1, 2, 3, 4}, {6}}}) {
        try {
            rle_from_polygons(bad, 10, 10, s);
            FAIL();
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), ErrorKind::Internal);
        }
    }
}

TEST(Raster, GeometryVariants) {
    RasterScratch s;
    const double box[4] = {2.5, 2.5, 5, 5};
    EXPECT_EQ(geometry_to_rle(Geometry{}, 10, 10, s), Rle{});
    EXPECT_EQ(geometry_to_rle(BoxGeom{{2.5, 2.5, 5, 5}}, 10, 10, s), rle_from_bbox(box, 10, 10));
    EXPECT_EQ(geometry_to_rle(UncompressedCounts{{1, 2}}, 10, 10, s), (Rle{10, 10, {1, 2}}));
    const Rle c = geometry_to_rle(CompressedCounts{"354M2"}, 4, 5, s);
    EXPECT_EQ(c, (Rle{4, 5, {3, 5, 4, 2, 6}}));
    EXPECT_EQ(c.counts.capacity(), c.counts.size());
    Polygons p{{0, 0, 0, 10, 10, 10, 10, 0}, {8}};
    EXPECT_EQ(geometry_to_rle(p, 20, 20, s).counts, square_runs_20x20());
}

// ---- set operations --------------------------------------------------------

TEST(RleSetOps, MergeWorkedCases) {
    const Rle a{2, 5, {0, 5, 5}}, b{2, 5, {5, 5}}, other{5, 2, {5, 5}}, none{2, 5, {}};
    const Rle* ab[2] = {&a, &b};
    EXPECT_EQ(rle_merge(ab, false), (Rle{2, 5, {0, 10}}));
    EXPECT_EQ(rle_merge(ab, true), (Rle{2, 5, {10}}));
    const Rle* one[1] = {&a};
    EXPECT_EQ(rle_merge(one, true), a);
    EXPECT_EQ(rle_merge({}, false), Rle{});
    const Rle* mism[2] = {&a, &other};
    EXPECT_EQ(rle_merge(mism, false), Rle{});
    const Rle* empty_then_ok[3] = {&a, &none, &b};
    EXPECT_EQ(rle_merge(empty_then_ok, false), (Rle{2, 5, {}}));
    const Rle* empty_then_mism[3] = {&a, &none, &other};
    EXPECT_EQ(rle_merge(empty_then_mism, false), Rle{});
}

TEST(RleSetOps, MergeMatchesPixelSetsOnRandomMasks) {
    std::mt19937 rng(5);
    for (int iter = 0; iter < 400; ++iter) {
        const uint32_t h = 1 + rng() % 30, w = 1 + rng() % 30;
        const int n = 2 + int(rng() % 4);
        std::vector<Rle> rles;
        for (int i = 0; i < n; ++i) rles.push_back(random_rle(rng, h, w));
        std::vector<const Rle*> ptrs;
        for (const Rle& r : rles) ptrs.push_back(&r);
        for (bool inter : {false, true}) {
            std::vector<uint8_t> acc = raster_of(rles[0]);
            for (int i = 1; i < n; ++i) {
                const std::vector<uint8_t> m = raster_of(rles[i]);
                for (size_t p = 0; p < acc.size(); ++p) acc[p] = inter ? (acc[p] & m[p]) : (acc[p] | m[p]);
            }
            const Rle got = rle_merge(ptrs, inter);
            ASSERT_EQ(got.counts, ref_runs_of_raster(acc));
            ASSERT_EQ(got.h, h);
            ASSERT_EQ(got.w, w);
        }
    }
}

TEST(RleSetOps, MasksWithUnequalRunSumsTreatTheTailAsBackground) {
    // Without padding the joint walk would never end.
    const Rle short_fg{2, 5, {0, 5}}, full{2, 5, {2, 2, 6}};
    const Rle* ab[2] = {&short_fg, &full};
    EXPECT_EQ(rle_merge(ab, false).counts, Runs({0, 5, 5}));
    EXPECT_EQ(rle_merge(ab, true).counts, Runs({2, 2, 6}));
    const Rle* ba[2] = {&full, &short_fg};
    EXPECT_EQ(rle_merge(ba, false).counts, Runs({0, 5, 5}));
    double out[2];
    const Rle* d[1] = {&full};
    const Rle* g[2] = {&short_fg, &full};
    rle_iou(d, g, {}, 0, out);
    EXPECT_EQ(out[0], 2.0 / 5.0);
    EXPECT_EQ(out[1], 1.0);
}

TEST(RleSetOps, AreaAndBbox) {
    EXPECT_EQ(rle_area(Rle{1, 3, {3}}), 0u);
    EXPECT_EQ(rle_area(Rle{3, 3, {0, 4, 2, 3}}), 7u);
    double bb[4];
    auto box = [&](const Rle& r) {
        rle_to_bbox(r, bb);
        return std::vector<double>(bb, bb + 4);
    };
    using B = std::vector<double>;
    EXPECT_EQ(box(Rle{4, 4, {5, 2, 9}}), B({1, 1, 1, 2}));
    EXPECT_EQ(box(Rle{4, 4, {3, 2, 11}}), B({0, 0, 2, 4}));  // wraps into the next column
    EXPECT_EQ(box(Rle{4, 4, {}}), B({0, 0, 0, 0}));
    EXPECT_EQ(box(Rle{4, 4, {16}}), B({0, 0, 0, 0}));
    EXPECT_EQ(box(Rle{0, 4, {0, 1}}), B({0, 0, 1, 1}));
    // Empty foreground runs cover no pixel (they wrapped to 2^32 - 1 before).
    EXPECT_EQ(box(Rle{1, 1, {0, 0, 0, 1}}), B({0, 0, 1, 1}));
    EXPECT_EQ(box(Rle{10, 1, {5, 0, 2, 1}}), B({0, 7, 1, 1}));
    EXPECT_EQ(box(Rle{3, 3, {1, 0, 8}}), B({0, 0, 0, 0}));

    std::mt19937 rng(9);
    for (int iter = 0; iter < 400; ++iter) {
        const uint32_t h = 1 + rng() % 25, w = 1 + rng() % 25;
        const std::vector<uint8_t> m = random_raster(rng, h, w);
        const Rle r = rle_from_mask(m.data(), m.size(), h, w);
        uint32_t xs = w, ys = h, xe = 0, ye = 0, area = 0;
        for (uint32_t x = 0; x < w; ++x)
            for (uint32_t y = 0; y < h; ++y)
                if (m[size_t(x) * h + y]) {
                    ++area;
                    xs = std::min(xs, x), xe = std::max(xe, x), ys = std::min(ys, y), ye = std::max(ye, y);
                }
        ASSERT_EQ(rle_area(r), area);
        // A column-spanning run widens the box to the full height.
        bool spans = false;
        size_t pos = 0;
        for (size_t j = 0; j + 1 < r.counts.size(); j += 2) {
            pos += r.counts[j];
            if (r.counts[j + 1] && pos / h != (pos + r.counts[j + 1] - 1) / h) spans = true;
            pos += r.counts[j + 1];
        }
        if (spans) ys = 0, ye = h - 1;
        const B expect = area ? B{double(xs), double(ys), double(xe - xs + 1), double(ye - ys + 1)} : B{0, 0, 0, 0};
        ASSERT_EQ(box(r), expect);
    }
}

// ---- IoU -------------------------------------------------------------------

TEST(BoxIou, WorkedValuesAndCrowd) {
    const double dt[] = {0, 0, 10, 10, 5, 0, 10, 10, 10, 0, 5, 5, 2, 2, 2, 2};
    const double gt[] = {0, 0, 10, 10, 0, 0, 100, 100};
    double out[8];
    const uint8_t crowd[] = {0, 1};
    box_iou(dt, 4, gt, 2, crowd, out);
    EXPECT_EQ(out[0], 1.0);
    EXPECT_EQ(out[2], 50.0 / 150.0);
    EXPECT_EQ(out[4], 0.0);  // touching edge
    EXPECT_EQ(out[6], 4.0 / 100.0);
    for (int d = 0; d < 4; ++d) EXPECT_EQ(out[2 * d + 1], d == 2 ? 25.0 / 25.0 : 1.0);  // inside a crowd box
    // Crowd flags shorter than the gt list: the rest are not crowd.
    box_iou(dt, 4, gt, 2, std::span<const uint8_t>(crowd, 1), out);
    EXPECT_EQ(out[1], 100.0 / 10000.0);
    box_iou(dt, 0, gt, 2, crowd, nullptr);  // nothing written
}

TEST(BoxIou, NonFiniteBoxesOverlapNothing) {
    // Deliberately unlike the reference, whose min/max let a NaN through
    // (IoU 1 for a NaN box against itself or a box it nearly covers).
    const double inf = std::numeric_limits<double>::infinity();
    const double good[] = {0, 0, 10, 10, 0, 0, 5, 10};
    const uint8_t crowd[] = {0, 1};
    const std::vector<uint32_t> idx01{0, 1};
    const std::vector<uint8_t> crowd_v(crowd, crowd + 2);
    for (double bad : {kNaN, inf, -inf}) {
        for (int i = 0; i < 4; ++i) {
            double b[8] = {0, 0, 10, 10, 0, 0, 10, 10};
            b[i] = b[4 + i] = bad;
            double out[4], idx_out[4];
            box_iou(b, 2, good, 2, crowd, out);  // non-finite detections
            for (double v : out) EXPECT_EQ(v, 0.0) << bad << " at " << i;
            box_iou(good, 2, b, 2, crowd, out);  // non-finite ground truths
            for (double v : out) EXPECT_EQ(v, 0.0) << bad << " at " << i;
            box_iou_indexed(b, good, idx01, idx01, crowd_v, idx_out);
            for (double v : idx_out) EXPECT_EQ(v, 0.0) << bad << " at " << i;
            box_iou_indexed(good, b, idx01, idx01, crowd_v, idx_out);
            for (double v : idx_out) EXPECT_EQ(v, 0.0) << bad << " at " << i;
        }
    }
}

TEST(BoxIou, IndexedFormMatchesAndRejectsBadIndices) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> c(0, 50), sz(0, 30);
    std::vector<double> dts(40), gts(24);
    for (size_t i = 0; i < dts.size(); ++i) dts[i] = (i % 4 < 2) ? c(rng) : sz(rng);
    for (size_t i = 0; i < gts.size(); ++i) gts[i] = (i % 4 < 2) ? c(rng) : sz(rng);
    const std::vector<uint8_t> crowd{0, 1, 0, 0, 1, 0};
    const std::vector<uint32_t> di{7, 2, 9, 0}, gi{5, 1, 3};
    std::vector<double> got(12), sel_d, sel_g, want(12);
    std::vector<uint8_t> sel_c;
    for (uint32_t d : di) sel_d.insert(sel_d.end(), dts.begin() + 4 * d, dts.begin() + 4 * d + 4);
    for (uint32_t g : gi) {
        sel_g.insert(sel_g.end(), gts.begin() + 4 * g, gts.begin() + 4 * g + 4);
        sel_c.push_back(crowd[g]);
    }
    box_iou_indexed(dts, gts, di, gi, crowd, got.data());
    box_iou(sel_d.data(), 4, sel_g.data(), 3, sel_c, want.data());
    EXPECT_EQ(got, want);
    const std::vector<uint32_t> bad_d{10}, bad_g{6}, ok_g{0};
    const std::vector<uint8_t> short_crowd{0};
    auto expect_internal = [&](auto&& call) {
        try {
            call();
            FAIL();
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), ErrorKind::Internal);
        }
    };
    expect_internal([&] { box_iou_indexed(dts, gts, bad_d, ok_g, crowd, got.data()); });
    expect_internal([&] { box_iou_indexed(dts, gts, di, bad_g, crowd, got.data()); });
    expect_internal([&] { box_iou_indexed(dts, gts, di, gi, short_crowd, got.data()); });
}

TEST(RleIou, WorkedCases) {
    RasterScratch s;
    const double b_a[4] = {0, 0, 10, 10}, b_b[4] = {20, 0, 5, 5}, b_in[4] = {2, 2, 3, 3}, b_big[4] = {0, 0, 30, 30};
    const Rle a = rle_from_bbox(b_a, 30, 30), b = rle_from_bbox(b_b, 30, 30), in = rle_from_bbox(b_in, 30, 30),
              big = rle_from_bbox(b_big, 30, 30);
    // An L shape and the square in its notch: disjoint, boxes overlap.
    std::vector<double> ell{0, 0, 0, 10, 10, 10, 10, 6, 4, 6, 4, 0};
    std::vector<double> notch{5, 1, 5, 5, 9, 5, 9, 1};
    const Rle l = rle_from_polygon(ell, 30, 30, s), n = rle_from_polygon(notch, 30, 30, s);
    const Rle other_size = rle_from_bbox(b_a, 31, 30), far_other = rle_from_bbox(b_b, 31, 30);
    const Rle* dt[3] = {&a, &in, &l};
    const Rle* gt[6] = {&a, &big, &n, &other_size, &far_other, &b};
    const uint8_t crowd[2] = {0, 1};
    double out[18];
    rle_iou(dt, gt, crowd, 0, out);
    EXPECT_EQ(out[0], 1.0);
    EXPECT_EQ(out[1], 1.0);      // a inside the crowd square
    EXPECT_EQ(out[6 + 1], 1.0);  // in inside the crowd square
    EXPECT_EQ(out[6 + 0], 9.0 / 100.0);
    EXPECT_EQ(out[12 + 2], 0.0);  // boxes overlap, pixels do not
    EXPECT_EQ(out[3], -1.0);      // different size, boxes overlap
    EXPECT_EQ(out[4], 0.0);       // different size, boxes apart
    EXPECT_EQ(out[5], 0.0);
    const Rle no_runs{30, 30, {}};
    const Rle* d1[1] = {&no_runs};
    rle_iou(d1, gt, crowd, 0, out);
    for (int g = 0; g < 6; ++g) EXPECT_EQ(out[g], 0.0);
}

TEST(RleIou, RunSumsPastTheIndexRangeAreWalked) {
    // Positions past 2^32 wrap in the box computation, so such masks take the
    // plain run walk.
    const Rle d{1, 1, {UINT32_MAX, 10, 3}}, g{1, 1, {UINT32_MAX, 5, 8}};
    const Rle* dt[1] = {&d};
    const Rle* gt[2] = {&g, &d};
    double out[2];
    rle_iou(dt, gt, {}, 0, out);
    EXPECT_EQ(out[0], 0.5);
    EXPECT_EQ(out[1], 1.0);
}

TEST(RleIou, MasksWithoutForegroundPixels) {
    // Rows of no height get the box [0, 0, 1, 1]: the boxes overlap while
    // the foreground interval list is empty.
    const Rle a{0, 4, {0, 0}}, b{0, 4, {0, 0, 0}};
    const Rle* p[2] = {&a, &b};
    double out[4] = {-1, -1, -1, -1};
    rle_iou(p, p, {}, 0.0, out);
    for (double v : out) EXPECT_EQ(v, 0.0);
}

TEST(RleIou, HintOnlyZeroesPairsBelowIt) {
    const double g_box[4] = {0, 0, 10, 10}, d_lo[4] = {0, 0, 10, 3}, d_hi[4] = {0, 0, 10, 6};
    const Rle g = rle_from_bbox(g_box, 20, 20), lo = rle_from_bbox(d_lo, 20, 20), hi = rle_from_bbox(d_hi, 20, 20);
    const Rle* dt[2] = {&lo, &hi};
    const Rle* gt[1] = {&g};
    double exact[2], hinted[2];
    rle_iou(dt, gt, {}, 0, exact);
    rle_iou(dt, gt, {}, 0.5, hinted);
    EXPECT_EQ(exact[0], 0.3);
    EXPECT_EQ(exact[1], 0.6);
    EXPECT_EQ(hinted[0], 0.0);
    EXPECT_EQ(hinted[1], 0.6);
}

TEST(RleIou, MatchesPixelCountsOnRandomMasks) {
    std::mt19937 rng(17);
    for (int iter = 0; iter < 150; ++iter) {
        const uint32_t h = 1 + rng() % 30, w = 1 + rng() % 30;
        const size_t nd = rng() % 5, ng = rng() % 5;
        std::vector<Rle> ds, gs;
        for (size_t i = 0; i < nd; ++i) ds.push_back(random_rle(rng, h, w));
        for (size_t i = 0; i < ng; ++i) gs.push_back(random_rle(rng, h, w));
        // Empty runs change no pixel and no IoU.
        for (Rle* r : {ds.empty() ? nullptr : &ds[0], gs.empty() ? nullptr : &gs[0]})
            if (r && rng() % 2) r->counts.insert(r->counts.begin() + rng() % (r->counts.size() + 1), 2, 0u);
        std::vector<const Rle*> dp, gp;
        for (const Rle& r : ds) dp.push_back(&r);
        for (const Rle& r : gs) gp.push_back(&r);
        std::vector<uint8_t> crowd(rng() % 6);
        for (uint8_t& c : crowd) c = uint8_t(rng() % 3);
        std::vector<double> out(nd * ng), hinted(nd * ng);
        rle_iou(dp, gp, crowd, 0, out.data());
        rle_iou(dp, gp, crowd, 0.4, hinted.data());
        for (size_t d = 0; d < nd; ++d) {
            const std::vector<uint8_t> md = raster_of(ds[d]);
            for (size_t g = 0; g < ng; ++g) {
                const std::vector<uint8_t> mg = raster_of(gs[g]);
                uint32_t i = 0, u = 0, ad = 0;
                for (size_t p = 0; p < md.size(); ++p) {
                    i += md[p] & mg[p];
                    u += md[p] | mg[p];
                    ad += md[p];
                }
                const bool c = g < crowd.size() && crowd[g];
                const double want = i == 0 ? 0.0 : double(i) / double(c ? ad : u);
                ASSERT_EQ(out[d * ng + g], want);
                const double hv = hinted[d * ng + g];
                ASSERT_TRUE(hv == want || (hv == 0.0 && want < 0.4));
            }
        }
    }
}

// ---- boundary --------------------------------------------------------------

TEST(Boundary, WorkedCases) {
    std::vector<uint8_t> dot(25, 0);
    dot[2 * 5 + 2] = 1;
    const Rle d = rle_from_mask(dot.data(), 25, 5, 5);
    EXPECT_EQ(rle_boundary(d, 0.02), d);
    struct Full {
        uint32_t h, w;
        double ratio;
        uint32_t area;
    };
    for (const Full& f : {Full{10, 10, 0.02, 36}, Full{20, 20, 0.1, 204}, Full{100, 100, 0.02, 10000 - 94 * 94},
                          Full{480, 640, 0.02, 480 * 640 - 448 * 608}, Full{10, 10, kNaN, 36}, Full{10, 10, -3, 36},
                          Full{10, 10, 1e300, 100}}) {
        const Rle full{f.h, f.w, {0, f.h * f.w}};
        const Rle b = rle_boundary(full, f.ratio);
        EXPECT_EQ(rle_area(b), f.area) << f.h << "x" << f.w << " " << f.ratio;
        EXPECT_EQ(b.h, f.h);
    }
    const Rle flat{0, 7, {3, 4}}, narrow{7, 0, {}};
    EXPECT_EQ(rle_boundary(flat, 0.02), flat);
    EXPECT_EQ(rle_boundary(narrow, 0.02), narrow);
    EXPECT_EQ(rle_boundary(Rle{6, 7, {42}}, 0.02), (Rle{6, 7, {42}}));
}

TEST(Boundary, MatchesPixelErosion) {
    std::mt19937 rng(23);
    for (int iter = 0; iter < 120; ++iter) {
        const uint32_t h = 1 + rng() % 70, w = 1 + rng() % 70;
        const double ratio = std::vector<double>{0.0, 0.02, 0.05, 0.1, 0.3}[rng() % 5];
        const int n = std::max(1, int(std::round(ratio * std::sqrt(double(h * h + w * w)))));
        const std::vector<uint8_t> m = random_raster(rng, h, w);
        Rle r = rle_from_mask(m.data(), m.size(), h, w);
        const std::vector<uint8_t> want = ref_boundary(m, h, w, n);
        ASSERT_EQ(raster_of(rle_boundary(r, ratio)), want) << h << "x" << w << " ratio " << ratio;
        // Runs past the end are cut before eroding.
        r.counts.push_back(7);
        r.counts.push_back(9);
        ASSERT_EQ(raster_of(rle_boundary(r, ratio)), want);
    }
}
