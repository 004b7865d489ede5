// Run-length-encoded binary masks in the COCO layout: codec, rasterisation of
// polygons and boxes, set operations, IoU kernels and boundary masks.
//
// Pixels are walked column-major (pixel (y, x) at x*h + y); runs alternate
// background/foreground and always start with background. All run arithmetic
// is unsigned 32-bit and wraps, as the COCO tools do, so masks and IoU values
// come out bit-identical to theirs. Runs whose sum differs from h*w are never
// rejected: a short mask is background past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zerlin {

struct Rle {
    uint32_t h = 0, w = 0;
    std::vector<uint32_t> counts;
    bool operator==(const Rle&) const = default;
};

// ---- codec -----------------------------------------------------------------

// COCO compressed counts string of r.counts (h and w are not part of it).
void rle_to_string_into(const Rle& r, std::string& out);  // out is replaced

// Decodes a compressed counts string. `escaped` reads the raw bytes of a JSON
// string literal in which every backslash is doubled; a lone trailing
// backslash throws Error(Value, ...). Never fails on content otherwise.
Rle rle_from_string(std::string_view s, uint32_t h, uint32_t w, bool escaped);
// The foreground area of a compressed counts string, with its bounding box
// into `box` (as rle_to_bbox gives it), without keeping the runs.
uint32_t rle_string_area_and_box(std::string_view s, uint32_t h, uint32_t w, bool escaped, double box[4]);
uint32_t rle_string_area(std::string_view s, bool escaped);

// The runs of a compressed counts string as its numbers are written, in 64
// bits (not wrapped to 32 as decoding wraps them): their sum (saturating),
// and whether the text is sound: no run negative, no number cut short by
// the text's end. What checks of runs against h*w read.
struct RunTotal {
    uint64_t total = 0;
    bool sound = true;
};
RunTotal rle_string_run_total(std::string_view s);

// Runs of a column-major raster of `size` bytes (h, w stored as given). A new
// run starts wherever the byte value changes.
Rle rle_from_mask(const uint8_t* raster, size_t size, uint32_t h, uint32_t w);

// Writes r as 0/1 bytes into a zero-filled dst of n_pixels bytes; runs past the
// end are cut, pixels no run reaches stay 0.
void rle_decode_into(const Rle& r, uint8_t* dst, size_t n_pixels);

// Pixel indices, run sums and areas are 32-bit: a mask of 2^32 pixels or more
// would wrap silently. Throws Error(Overflow, ...) for such an h x w.
void require_mask_size(uint64_t h, uint64_t w);

// ---- rasterisation ---------------------------------------------------------

// Per-worker buffers of the polygon rasteriser; only their capacity carries
// over from one call to the next.
struct RasterScratch {
    std::vector<int32_t> xs, ys;        // vertices, upsampled
    std::vector<uint32_t> idx;          // boundary pixel indices, then runs
    std::vector<uint32_t> sort_tmp;     // second buffer of the index sort
    std::vector<uint32_t> buckets;      // bucket offsets of the index sort
    std::vector<Rle> rings;             // per-ring masks of a multi-ring polygon
    std::vector<const Rle*> ring_ptrs;  // views of `rings` for the union
};

// Polygon x0, y0, x1, y1, ... (a trailing odd coordinate is ignored). An empty
// image or a non-finite coordinate gives the empty mask; a polygon whose
// crossings would not fit in memory throws Error(Memory, ...).
Rle rle_from_polygon(std::span<const double> xy, uint32_t h, uint32_t w, RasterScratch& scratch);
// Box x, y, width, height, rasterised as a 4-vertex polygon.
Rle rle_from_bbox(const double box[4], uint32_t h, uint32_t w);
Rle rle_from_bbox(const double box[4], uint32_t h, uint32_t w, RasterScratch& scratch);

struct Polygons {
    std::vector<double> coords;  // all rings, back to back
    std::vector<uint32_t> ends;  // end offset of each ring in coords
};
struct CompressedCounts {
    std::string bytes;  // plain (not escaped) compressed string
    // Where set, the string itself, in a buffer its caller keeps alive for
    // as long as the records made from it (bytes then stays empty).
    std::string_view borrowed;
    bool escaped = false;  // the borrowed text is a JSON string's, every backslash doubled
    // Where set, keeps the borrowed text alive: such a mask is kept
    // compressed until it is compared (a decoded mask takes four bytes a
    // run, several times its text).
    std::shared_ptr<const void> holder;
    std::string_view text() const noexcept { return borrowed.data() ? borrowed : std::string_view(bytes); }
};
struct UncompressedCounts {
    std::vector<uint32_t> runs;
};
struct BoxGeom {
    double box[4];
};
using Geometry = std::variant<std::monostate, Polygons, UncompressedCounts, CompressedCounts, BoxGeom>;

// Union of the rings; no ring gives the empty record (0 x 0). Offsets that
// decrease or pass the coordinates throw Error(Internal, ...).
Rle rle_from_polygons(const Polygons& poly, uint32_t h, uint32_t w, RasterScratch& scratch);
Rle geometry_to_rle(const Geometry& g, uint32_t h, uint32_t w, RasterScratch& scratch);

// ---- set operations and IoU ------------------------------------------------

// Union (or intersection) of masks of one size. No masks, or masks of
// different sizes, give the empty record; a mask without runs gives a record
// of the first mask's size without runs.
Rle rle_merge(std::span<const Rle* const> rles, bool intersect);
uint32_t rle_area(const Rle& r);
// [x, y, width, height] of the foreground; [0, 0, 0, 0] without foreground runs.
void rle_to_bbox(const Rle& r, double out[4]);

// IoU of boxes (4 doubles each): out[d * n_gt + g]. A nonzero crowd[g] divides
// by the detection's area; crowd may be shorter than the gt list.
void box_iou(const double* dt, size_t n_dt, const double* gt, size_t n_gt, std::span<const uint8_t> crowd, double* out);
// Same over the records named by the index lists; crowd is indexed by gt
// record. An index outside its table throws Error(Internal, ...).
void box_iou_indexed(std::span<const double> dt_boxes, std::span<const double> gt_boxes,
                     std::span<const uint32_t> dt_idx, std::span<const uint32_t> gt_idx,
                     std::span<const uint8_t> crowd_by_gt_record, double* out);
// Mask IoU, out[d * n_gt + g]: -1 for overlapping boxes of masks of different
// sizes. With hint > 0 a pair whose IoU is provably below hint may get 0.
void rle_iou(std::span<const Rle* const> dt, std::span<const Rle* const> gt, std::span<const uint8_t> crowd,
             double hint, double* out);

// ---- masks kept compressed -------------------------------------------------

// Compressed counts of at least this many bytes (a million runs or more) are
// kept compressed where masks are held for a while, and compared without
// decoding them whole.
constexpr size_t kPackedMaskBytes = size_t(1) << 20;

// A mask too large to hold decoded for long (tens of millions of runs take
// four bytes each) kept as its plain compressed counts, with what comparing
// it needs summarised in one pass. A comparison decodes its runs as it walks
// them and stores none.
struct PackedRle {
    uint32_t h = 0, w = 0;
    std::string_view counts;            // in `owner`, or in a buffer the caller keeps alive
    bool escaped = false;               // counts as a JSON string holds them, backslashes doubled
    std::shared_ptr<const void> owner;  // may be null (see counts)
    uint32_t area = 0;                  // as rle_area gives it
    uint32_t last = 0;                  // the last run (0 without runs)
    uint64_t runs = 0;                  // how many
    uint64_t sum = 0;                   // of the runs, without wrapping
    double box[4] = {0, 0, 0, 0};       // as rle_to_bbox gives it
};
// The summary of compressed counts (escaped: backslashes doubled), viewing
// (not copying) them.
PackedRle pack_rle(std::string_view counts, uint32_t h, uint32_t w, bool escaped = false);
// Its decoded runs (for tests and for callers that need the mask itself).
Rle unpack_rle(const PackedRle& p);

// One mask of an IoU: its decoded runs, or (packed set) its compressed counts.
struct MaskRef {
    const Rle* rle = nullptr;
    const PackedRle* packed = nullptr;
};
// As rle_iou, over masks of either form, with bit-identical values. A pair
// involving a packed mask is compared by decoding both masks' runs as they
// are walked; long walks check for cancellation (cancel.hpp).
void rle_iou(std::span<const MaskRef> dt, std::span<const MaskRef> gt, std::span<const uint8_t> crowd, double hint,
             double* out);

// ---- boundary --------------------------------------------------------------

// The mask minus its erosion by a 3x3 square applied
// max(1, round(ratio * diagonal)) times, with background outside the image.
Rle rle_boundary(const Rle& r, double dilation_ratio);

}  // namespace zerlin
