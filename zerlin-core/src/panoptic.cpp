#include "zerlin/panoptic.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "zerlin/hashmap.hpp"
#include "zerlin/pool.hpp"

namespace zerlin::panoptic {

namespace {

constexpr int kIdBits = 24;  // a colour holds ids below 2^24
constexpr int64_t kIdMask = (int64_t(1) << kIdBits) - 1;

inline int64_t pair_key(int64_t gt, int64_t pred) {
    return (gt << kIdBits) | pred;
}

inline uint32_t colour_id(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16);
}

// Hands out the unfiltered rows of one map in order, keeping two rows.
class RowReader {
  public:
    RowReader(const SegmentMap& map, uint32_t width) : map_(map), row_bytes_(std::size_t(width) * map.channels) {
        if (map_.png_filtered) {
            prev_.assign(row_bytes_, 0);
            cur_.assign(row_bytes_, 0);
        }
    }

    bool size_matches(uint32_t height) const {
        std::size_t per_row = row_bytes_ + (map_.png_filtered ? 1 : 0);
        if (per_row == 0) return map_.size == 0;
        return map_.size % per_row == 0 && map_.size / per_row == height;
    }

    // The next row, or nullptr when its filter type is unknown.
    const uint8_t* next() {
        if (!map_.png_filtered) {
            const uint8_t* row = map_.data + offset_;
            offset_ += row_bytes_;
            return row;
        }
        const uint8_t* in = map_.data + offset_;
        offset_ += row_bytes_ + 1;
        std::swap(prev_, cur_);
        if (!unfilter_row(in[0], in + 1, prev_.data(), cur_.data(), row_bytes_, map_.channels)) return nullptr;
        return cur_.data();
    }

  private:
    const SegmentMap& map_;
    std::size_t row_bytes_;
    std::size_t offset_ = 0;
    std::vector<uint8_t> prev_, cur_;
};

using PairCounts = HashMap<int64_t, uint64_t>;

// Joint histogram of (gt id, pred id) over the image's pixels, or the fault
// of a corrupt map. Equal neighbouring pairs are counted as one run.
// Whether the 8 pixels at p equal the pixel before p (bytes included that
// the id ignores: a mismatch there only sends the pixels the slow way).
template <std::size_t C>
inline bool block_repeats_left(const uint8_t* p) {
    return std::memcmp(p, p - C, 8 * C) == 0;
}

// Run of equal (gt id, pred id) pairs across a row, counted into `counts`
// when the pair changes.
struct PairRun {
    uint32_t gt = 0, pred = 0;
    uint64_t length = 0;
    void add(uint32_t a, uint32_t b, PairCounts& counts) {
        if (a == gt && b == pred) {
            ++length;
            return;
        }
        flush(counts);
        gt = a;
        pred = b;
        length = 1;
    }
    void flush(PairCounts& counts) {
        if (length != 0) *counts.find_or_insert(pair_key(gt, pred), [] { return uint64_t(0); }).first += length;
    }
};

template <std::size_t GC, std::size_t PC>
void count_row(const uint8_t* g, const uint8_t* p, uint32_t width, PairRun& run, PairCounts& counts) {
    uint32_t x = 0;
    while (x < width) {
        run.add(colour_id(g + x * GC), colour_id(p + x * PC), counts);
        ++x;
        // Flat stretches, common in segment maps, go 8 pixels at a time.
        while (x + 8 <= width && block_repeats_left<GC>(g + x * GC) && block_repeats_left<PC>(p + x * PC)) {
            run.length += 8;
            x += 8;
        }
    }
}

// Joint histogram of (gt id, pred id) over the image's pixels, or the fault
// of a corrupt map.
ImageFault joint_histogram(const ImageInput& image, PairCounts& counts) {
    RowReader gt(image.gt, image.width), pred(image.pred, image.width);
    if (!gt.size_matches(image.height)) return ImageFault::GtMapCorrupt;
    if (!pred.size_matches(image.height)) return ImageFault::PredMapCorrupt;
    auto row_counter = [&]() -> void (*)(const uint8_t*, const uint8_t*, uint32_t, PairRun&, PairCounts&) {
        const bool g3 = image.gt.channels == 3, p3 = image.pred.channels == 3;
        if (g3) return p3 ? count_row<3, 3> : count_row<3, 4>;
        return p3 ? count_row<4, 3> : count_row<4, 4>;
    }();
    PairRun run;
    for (uint32_t y = 0; y < image.height; ++y) {
        const uint8_t* g = gt.next();
        if (!g) return ImageFault::GtMapCorrupt;
        const uint8_t* p = pred.next();
        if (!p) return ImageFault::PredMapCorrupt;
        row_counter(g, p, image.width, run, counts);
    }
    run.flush(counts);
    return ImageFault::None;
}

HashMap<int64_t, uint32_t> index_by_id(std::size_t n, auto&& id_of) {
    HashMap<int64_t, uint32_t> index(n + 1);
    for (std::size_t i = 0; i < n; ++i) index.insert(id_of(i), uint32_t(i));
    return index;
}

struct PredStats {
    std::vector<uint64_t> area;          // pixels per predicted JSON segment
    std::vector<uint64_t> void_overlap;  // of which gt VOID
};

// Checks the predicted map against its JSON and measures each segment.
ImageFault check_predictions(const ImageInput& image, const std::vector<std::pair<int64_t, uint64_t>>& pairs,
                             const HashMap<int64_t, uint32_t>& pred_index, PredStats& stats, int64_t& segment) {
    const std::size_t n = image.pred_segments.size();
    stats.area.assign(n, 0);
    stats.void_overlap.assign(n, 0);
    std::vector<int64_t> map_ids;
    for (const auto& [key, count] : pairs) {
        int64_t gt = key >> kIdBits, pred = key & kIdMask;
        map_ids.push_back(pred);
        const uint32_t* i = pred_index.find(pred);
        if (!i) continue;
        stats.area[*i] += count;
        if (gt == kVoid) stats.void_overlap[*i] += count;
    }
    std::sort(map_ids.begin(), map_ids.end());
    map_ids.erase(std::unique(map_ids.begin(), map_ids.end()), map_ids.end());
    for (int64_t id : map_ids) {
        const uint32_t* i = pred_index.find(id);
        if (!i) {
            if (id == kVoid) continue;
            segment = id;
            return ImageFault::PredSegmentNotInJson;
        }
        if (image.pred_segments[*i].category == kUnknownCategory) {
            segment = id;
            return ImageFault::PredUnknownCategory;
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (stats.area[i] == 0) {
            segment = image.pred_segments[i].id;
            return ImageFault::PredSegmentNotInMap;
        }
    }
    return ImageFault::None;
}

}  // namespace

namespace {

// Sub, Average and Paeth take each byte from the one a pixel earlier: the
// previous pixel stays in registers (a store-to-load round trip per byte
// would cost more than the arithmetic).
enum class LeftFilter { Sub, Average, Paeth };

template <std::size_t Bpp>
inline bool all_zero(const uint8_t* p) {
    uint64_t w[Bpp];
    std::memcpy(w, p, sizeof w);  // 8 pixels
    uint64_t any = 0;
    for (uint64_t v : w) any |= v;
    return any == 0;
}

// Sub, Average and Paeth take each byte from the one a pixel earlier: the
// previous pixel stays in registers (a store-to-load round trip per byte
// would cost more than the arithmetic). Where 8 pixels of Sub, or of Paeth
// under a flat row, have zero residuals, they repeat the previous pixel.
template <std::size_t Bpp, LeftFilter F>
void unfilter_left(const uint8_t* in, const uint8_t* prev, uint8_t* out, std::size_t n) {
    uint8_t a[Bpp] = {};
    uint8_t c[Bpp] = {};
    for (std::size_t i = 0; i < n; i += Bpp) {
        if constexpr (F != LeftFilter::Average) {
            auto repeats = [&] {
                return i != 0 && i + 8 * Bpp <= n && all_zero<Bpp>(in + i) &&
                       (F == LeftFilter::Sub || std::memcmp(prev + i, prev + i - Bpp, 8 * Bpp) == 0);
            };
            if (repeats()) {
                uint8_t pattern[8 * Bpp];
                for (std::size_t k = 0; k < 8; ++k) std::memcpy(pattern + k * Bpp, a, Bpp);
                do {
                    std::memcpy(out + i, pattern, sizeof pattern);
                    i += 8 * Bpp;
                } while (repeats());
                std::memcpy(c, prev + i - Bpp, Bpp);
                if (i >= n) break;
            }
        }
        for (std::size_t k = 0; k < Bpp; ++k) {
            const uint8_t b = prev[i + k];
            uint8_t predicted;
            if constexpr (F == LeftFilter::Sub) {
                predicted = a[k];
            } else if constexpr (F == LeftFilter::Average) {
                predicted = uint8_t((unsigned(a[k]) + b) >> 1);
            } else {
                // |p - a|, |p - b|, |p - c| for p = a + b - c, without branches.
                const int pa = std::abs(int(b) - int(c[k])), pb = std::abs(int(a[k]) - int(c[k]));
                const int pc = std::abs(int(a[k]) + int(b) - 2 * int(c[k]));
                const uint8_t bc = pb <= pc ? b : c[k];
                predicted = (pa <= pb && pa <= pc) ? a[k] : bc;
            }
            a[k] = uint8_t(in[i + k] + predicted);
            c[k] = b;
            out[i + k] = a[k];
        }
    }
}

template <std::size_t Bpp>
bool unfilter_fixed(uint8_t type, const uint8_t* in, const uint8_t* prev, uint8_t* out, std::size_t n) {
    switch (type) {
        case 0:
            std::memcpy(out, in, n);
            return true;
        case 1:
            unfilter_left<Bpp, LeftFilter::Sub>(in, prev, out, n);
            return true;
        case 2:
            for (std::size_t i = 0; i < n; ++i) out[i] = uint8_t(in[i] + prev[i]);
            return true;
        case 3:
            unfilter_left<Bpp, LeftFilter::Average>(in, prev, out, n);
            return true;
        case 4:
            unfilter_left<Bpp, LeftFilter::Paeth>(in, prev, out, n);
            return true;
        default:
            return false;
    }
}

}  // namespace

bool unfilter_row(uint8_t type, const uint8_t* in, const uint8_t* prev, uint8_t* out, std::size_t n, std::size_t bpp) {
    // Segment maps are RGB or RGBA; a row is whole pixels.
    if (bpp == 3 && n % 3 == 0) return unfilter_fixed<3>(type, in, prev, out, n);
    if (bpp == 4 && n % 4 == 0) return unfilter_fixed<4>(type, in, prev, out, n);
    return false;
}

ImageOutcome match_image(const ImageInput& image) {
    ImageOutcome out;
    PairCounts counts(256);
    out.fault = joint_histogram(image, counts);
    if (out.fault != ImageFault::None) return out;

    // The reference visits pairs in increasing (gt id, pred id) order, and
    // IoU sums depend on the order of their terms.
    std::vector<std::pair<int64_t, uint64_t>> pairs;
    pairs.reserve(counts.size());
    counts.for_each([&](int64_t key, uint64_t count) { pairs.emplace_back(key, count); });
    std::sort(pairs.begin(), pairs.end());

    const auto& gts = image.gt_segments;
    const auto& preds = image.pred_segments;
    auto gt_index = index_by_id(gts.size(), [&](std::size_t i) { return gts[i].id; });
    auto pred_index = index_by_id(preds.size(), [&](std::size_t i) { return preds[i].id; });
    PredStats stats;
    out.fault = check_predictions(image, pairs, pred_index, stats, out.fault_segment);
    if (out.fault != ImageFault::None) return out;

    std::vector<uint8_t> gt_matched(gts.size(), 0), pred_matched(preds.size(), 0);
    for (const auto& [key, count] : pairs) {
        const uint32_t* gi = gt_index.find(key >> kIdBits);
        const uint32_t* pi = pred_index.find(key & kIdMask);
        if (!gi || !pi) continue;
        const GtSegment& gt = gts[*gi];
        if (gt.crowd || gt.category != preds[*pi].category) continue;
        // Left to right, as the reference's mixed integer and float arithmetic rounds.
        double uni = ((double(stats.area[*pi]) + gt.area) - double(count)) - double(stats.void_overlap[*pi]);
        double iou = uni != 0 ? double(count) / uni : HUGE_VAL;
        if (iou > 0.5) {
            out.matches.push_back({gt.category, iou});
            gt_matched[*gi] = 1;
            pred_matched[*pi] = 1;
        }
    }

    std::vector<std::pair<uint32_t, int64_t>> crowd_of;  // category -> its last crowd segment
    for (std::size_t i = 0; i < gts.size(); ++i) {
        if (gt_matched[i]) continue;
        if (!gts[i].crowd) {
            out.false_negatives.push_back(gts[i].category);
            continue;
        }
        auto it = std::find_if(crowd_of.begin(), crowd_of.end(), [&](auto& c) { return c.first == gts[i].category; });
        if (it == crowd_of.end())
            crowd_of.emplace_back(gts[i].category, gts[i].id);
        else
            it->second = gts[i].id;
    }
    for (std::size_t i = 0; i < preds.size(); ++i) {
        if (pred_matched[i]) continue;
        uint64_t ignored = stats.void_overlap[i];
        auto it = std::find_if(crowd_of.begin(), crowd_of.end(), [&](auto& c) { return c.first == preds[i].category; });
        if (it != crowd_of.end() && it->second >= 0 && it->second <= kIdMask) {
            if (const uint64_t* c = counts.find(pair_key(it->second, preds[i].id))) ignored += *c;
        }
        if (double(ignored) / double(stats.area[i]) > 0.5) continue;
        out.false_positives.push_back(preds[i].category);
    }
    return out;
}

std::vector<ImageOutcome> match_images(std::span<const ImageInput> images) {
    std::vector<ImageOutcome> out(images.size());
    parallel_for(images.size(), 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) out[i] = match_image(images[i]);
    });
    return out;
}

}  // namespace zerlin::panoptic
