#include "zerlin/handle_side.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <exception>
#include <optional>
#include <span>
#include <string>

#include "float_text.hpp"
#include "zerlin/cancel.hpp"
#include "zerlin/error.hpp"
#include "zerlin/group.hpp"
#include "zerlin/pipeline.hpp"
#include "zerlin/pool.hpp"
#include "zerlin/snapshot.hpp"

namespace zerlin {

namespace {

std::string_view snapshot_of(const CompactData& h) {
    return h.snapshot ? std::string_view(*h.snapshot) : std::string_view();
}

// num_keypoints absent, null or zero.
bool no_keypoints(std::string_view snapshot, Span span) {
    if (span.absent()) return true;
    std::string_view t = snapshot.substr(span.offset, span.length);
    if (t == "null") return true;
    double v = 0;
    auto res = parse_double(t.data(), t.data() + t.size(), v);
    return res.ec == std::errc() && v == 0;
}

// The foreground area of a scanned RLE, without rasterising it.
double scanned_area(const SegmentationScan& scan, std::string_view snapshot) {
    switch (scan.kind) {
        case SegmentationScan::CountsRef:
            return rle_string_area(snapshot.substr(scan.counts_offset, scan.counts_length), scan.counts_escaped);
        case SegmentationScan::CountsOwned:
            return rle_string_area(scan.counts, false);
        case SegmentationScan::Runs:
            return rle_area(Rle{0, 0, scan.runs});
        default:
            throw_internal("a result without an RLE kept its area to its mask");
    }
}

// Mask jobs of one side's rows, each at its image's size.
class MaskJobs {
  public:
    MaskJobs(const CompactData& h, const ImageSizes& sizes, RecordSet& rs, PendingMasks& pending, bool boundary,
             bool areas_from_masks)
        : h_(h), sizes_(sizes), rs_(rs), pending_(pending), boundary_(boundary), areas_(areas_from_masks) {}

    // Whether a scanned mask is kept compressed as it lies in the text: a
    // results file's counts string is, held for the evaluation (decoded up
    // front the masks would take several times its size). Boundary bands
    // need the masks decoded.
    bool packs(const SegmentationScan& scan) const {
        return h_.results && !boundary_ && scan.kind == SegmentationScan::CountsRef;
    }

    // The summary of such a mask (taken on a worker), or nothing where its
    // image's size is missing or too large (submit() then says why).
    std::optional<PackedRle> pack(std::size_t row, const SegmentationScan& scan, std::string_view snap) const {
        const auto* size = sizes_.find(h_.columns->image_id(row));
        if (!size || (size->first != 0 && size->second > UINT32_MAX / size->first)) return std::nullopt;
        // Its owner is set in submit(): taken here, on several workers at once,
        // the shared count's cache line would bounce between cores per mask.
        return pack_rle(snap.substr(scan.counts_offset, scan.counts_length), size->first, size->second,
                        scan.counts_escaped);
    }

    // A row's geometry (monostate: the row's box) to rasterise, or its mask
    // packed by pack().
    void submit(std::size_t row, Geometry g, std::optional<PackedRle> packed = std::nullopt) {
        const std::int64_t image = h_.columns->image_id(row);
        const auto* size = sizes_.find(image);
        if (!size) throw Error(ErrorKind::Key, "no image entry for image_id " + std::to_string(image));
        if (packed) {
            require_mask_size(size->first, size->second);
            if (areas_) rs_.areas[row] = double(packed->area);
            packed->owner = h_.snapshot;
            packed_.emplace_back(std::uint32_t(row), std::move(*packed));
            return;
        }
        if (std::holds_alternative<std::monostate>(g)) {
            BoxGeom b;
            std::copy_n(&h_.columns->boxes[4 * row], 4, b.box);
            g = b;
        }
        // Detections' counts stay compressed in the file's text, held for the
        // evaluation: decoded up front they would take several times its size.
        auto* counts = std::get_if<CompressedCounts>(&g);
        if (counts && h_.results && counts->borrowed.data()) counts->holder = h_.snapshot;
        pending_.submit(rs_, std::uint32_t(row), MaskJob{size->first, size->second, std::move(g)});
    }

    void reserve_packed(std::size_t n) { packed_.reserve(n); }
    // The packed masks by row, rows ascending.
    std::vector<std::pair<std::uint32_t, PackedRle>> take_packed() { return std::move(packed_); }

  private:
    const CompactData& h_;
    const ImageSizes& sizes_;
    RecordSet& rs_;
    PendingMasks& pending_;
    bool boundary_, areas_;
    std::vector<std::pair<std::uint32_t, PackedRle>> packed_;
};

// What becomes of a row's segmentation.
enum class MaskUse : std::uint8_t { Unread, Rasterise, AreaOnly };

// Scans the used rows' segmentation spans in parallel, a block of rows at a
// time (so that the scanned geometry held stays small), then submits the
// masks to rasterise in row order and sets the areas of the others; the
// error reported is the first failing row's.
void scan_spans(const CompactData& h, const std::vector<MaskUse>& use, MaskJobs& jobs, RecordSet& rs) {
    const std::string_view snap = snapshot_of(h);
    const std::size_t n = use.size();
    struct Scanned {
        Geometry geometry;
        std::optional<PackedRle> packed;
        std::exception_ptr error;
    };
    if (h.results) jobs.reserve_packed(std::size_t(std::count(use.begin(), use.end(), MaskUse::Rasterise)));
    constexpr std::size_t kBlock = std::size_t(1) << 15;
    std::vector<Scanned> scanned(std::min(n, kBlock));
    for (std::size_t first = 0; first < n; first += kBlock) {
        const std::size_t count = std::min(kBlock, n - first);
        parallel_for(count, 256, [&](std::size_t b, std::size_t e) {
            SegmentationScan scan;
            for (std::size_t k = b; k < e; ++k) {
                check_cancelled();
                // Emptied here, on the workers: the block's entries are the
                // previous block's, moved from.
                scanned[k] = Scanned{};
                const std::size_t i = first + k;
                if (use[i] == MaskUse::Unread) continue;
                try {
                    scan_segmentation(snap, h.columns->segmentation_span(i), scan);
                } catch (const JsonError&) {
                    scanned[k].error = std::current_exception();
                    continue;
                }
                if (use[i] == MaskUse::AreaOnly)
                    rs.areas[i] = scanned_area(scan, snap);
                else if (jobs.packs(scan))
                    scanned[k].packed = jobs.pack(i, scan, snap);
                else
                    scanned[k].geometry = to_geometry(scan, snap);
            }
        });
        for (std::size_t k = 0; k < count; ++k)
            if (scanned[k].error) std::rethrow_exception(scanned[k].error);
        for (std::size_t k = 0; k < count; ++k)
            if (use[first + k] == MaskUse::Rasterise)
                jobs.submit(first + k, std::move(scanned[k].geometry), std::move(scanned[k].packed));
    }
}

}  // namespace

void HandleSideReader::records(const CompactData& handle, bool is_gt, RecordSet& rs) const {
    Stopwatch sw;
    // Mask results read for boxes or keypoints take boxes and areas from
    // their masks now; a mask evaluation takes the areas from its masks.
    CompactData h = handle;
    if (!masks()) h.columns = handle.completed_columns();
    const AnnotationColumns& c = *h.columns;
    const std::size_t n = h.size();
    const std::string_view snap = snapshot_of(h);
    const bool keypoints = kind_ == GeometryKind::Keypoints;
    SideBuilder rows(rs, is_gt, lk_);
    // The handle's box column serves as it is, shared with the handle.
    if (kind_ == GeometryKind::Boxes || (keypoints && is_gt))
        rs.boxes.share(std::shared_ptr<const std::vector<double>>(h.columns, &h.columns->boxes));
    std::atomic<std::size_t> fallbacks{0};
    rows.fill(n, [&](std::size_t i) {
        AnnotationRow row;
        row.id = h.row_id(i);
        row.image_id = c.image_id(i);
        row.category_id = c.category_id(i);
        row.score = c.scores[i];
        if (p_.part_score && !is_gt) {
            const double part = c.part_score(i, *p_.part_score);
            if (std::isnan(part))
                fallbacks.fetch_add(1, std::memory_order_relaxed);
            else
                row.score = part;
        }
        row.area = h.row_area(i);
        row.box = &c.boxes[4 * i];
        row.crowd = h.row_crowd(i);
        row.no_keypoints = keypoints && is_gt && no_keypoints(snap, c.num_keypoints_span(i));
        return row;
    });
    rs.score_fallbacks += fallbacks.load();
    sw.add_to(is_gt ? cells_.gt_read : cells_.dt_read);
}

// Rows of groups (image, category; category 0 for all when categories are
// pooled) that the other side has: only they meet a row of the other side.
// The groups are marked in a bitmap where it is no larger than a sorted key
// list would be (a row's 8 bytes, a megabyte at least), else looked up in one.
std::vector<std::uint8_t> HandleSideReader::in_other_groups(const RecordSet& rs, const RecordSet& other) const {
    auto valid = [](const RecordSet& s, std::size_t r) { return s.image_index[r] >= 0 && s.category_index[r] >= 0; };
    auto category = [&](const RecordSet& s, std::size_t r) {
        return std::uint64_t(p_.use_cats ? s.category_index[r] : 0);
    };
    std::uint64_t images = 0, categories = 1;
    for (std::size_t r = 0; r < other.size(); ++r)
        if (valid(other, r)) {
            images = std::max(images, std::uint64_t(other.image_index[r]) + 1);
            categories = std::max(categories, category(other, r) + 1);
        }
    std::vector<std::uint8_t> in(rs.size(), 0);
    const std::uint64_t cells = images * categories;  // both below 2^31
    if (cells <= 64 * std::uint64_t(rs.size() + other.size()) + (std::uint64_t(1) << 23)) {
        std::vector<std::uint64_t> bits((cells + 63) / 64, 0);
        for (std::size_t r = 0; r < other.size(); ++r)
            if (valid(other, r)) {
                const std::uint64_t cell = std::uint64_t(other.image_index[r]) * categories + category(other, r);
                bits[cell / 64] |= std::uint64_t(1) << (cell % 64);
            }
        for (std::size_t r = 0; r < rs.size(); ++r) {
            if (!valid(rs, r) || std::uint64_t(rs.image_index[r]) >= images || category(rs, r) >= categories) continue;
            const std::uint64_t cell = std::uint64_t(rs.image_index[r]) * categories + category(rs, r);
            in[r] = bits[cell / 64] >> (cell % 64) & 1u;
        }
        return in;
    }
    auto key = [&](const RecordSet& s, std::size_t r) {
        return std::uint64_t(std::uint32_t(s.image_index[r])) << 32 | std::uint32_t(category(s, r));
    };
    std::vector<std::uint64_t> groups;
    for (std::size_t r = 0; r < other.size(); ++r)
        if (valid(other, r)) groups.push_back(key(other, r));
    std::sort(groups.begin(), groups.end());
    for (std::size_t r = 0; r < rs.size(); ++r)
        in[r] = valid(rs, r) && std::binary_search(groups.begin(), groups.end(), key(rs, r));
    return in;
}

void HandleSideReader::geometry(const CompactData& h, bool is_gt, RecordSet& rs, const RecordSet& other) const {
    if (kind_ == GeometryKind::Boxes) return;
    if (h.boxes_only) throw_internal("a handle loaded for boxes alone holds no other geometry");
    Stopwatch sw;
    // Rows evaluation reads: detections within the first L of their group.
    // Where detections without a confident keypoint are left out, which ones
    // those are is known only once every list is read (a row past the first
    // L moves up for each one left out above it): every row is read then.
    std::vector<std::uint8_t> participating(rs.size(), 1);
    if (!is_gt && !(kind_ == GeometryKind::Keypoints && p_.skip_unscored))
        participating = select_top_detections(rs.image_index, rs.category_index, rs.scores, p_.num_slots(), p_.use_cats,
                                              p_.det_limit());
    if (masks()) {
        // A row of an image or category outside the evaluation, or of a group
        // the other side lacks, has its geometry (and its image's size) never read.
        std::vector<std::uint8_t> keep = in_other_groups(rs, other);
        for (std::size_t r = 0; r < rs.size(); ++r) {
            keep[r] &= participating[r];
            participating[r] &= rs.image_index[r] >= 0 && rs.category_index[r] >= 0;
        }
        mask_geometry(h, rs, participating, keep);
    } else {
        keypoint_geometry(h, is_gt, rs, participating);
    }
    sw.add_to(is_gt ? cells_.gt_read : cells_.dt_read);
}

namespace {

// Rows [first, last)'s keypoint lists read by the plain-number scanner on
// the worker pool, in pieces of consecutive rows: each row's selected lists
// joined into its piece's `values`, its end in `ends`. False when a list
// needs the strict reader or a part's count differs from the one `counts`
// holds (0: not seen yet), so that the strict reading words the error.
struct PlainPiece {
    std::vector<double> values;
    std::vector<std::size_t> ends;
    std::vector<std::uint32_t> counts;  // per row and part
    bool plain = true;
};

bool scan_plain_rows(std::string_view snap, const AnnotationColumns& c, std::span<const KeypointPart> parts,
                     const std::vector<std::uint8_t>& keep, std::size_t first, std::size_t last,
                     std::vector<std::uint32_t>& counts, std::vector<PlainPiece>& pieces) {
    constexpr std::size_t kRows = 128;
    pieces.resize((last - first + kRows - 1) / kRows);
    parallel_for(pieces.size(), 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t k = b; k < e; ++k) {
            PlainPiece& pc = pieces[k];
            const std::size_t row_end = std::min(last, first + (k + 1) * kRows);
            pc.values.clear();
            pc.ends.clear();
            pc.counts.clear();
            pc.plain = true;
            // Room for the usual numbers (several digits); short ones grow it.
            std::size_t bytes = 0;
            for (std::size_t i = first + k * kRows; i < row_end; ++i)
                for (KeypointPart part : parts) bytes += keep[i] ? c.part_span(i, part).length : 0;
            pc.values.reserve(bytes / 8 + 16);
            for (std::size_t i = first + k * kRows; i < row_end && pc.plain; ++i) {
                check_cancelled();
                for (KeypointPart part : parts) {
                    const std::size_t before = pc.values.size();
                    bool present = false;
                    if (keep[i] && !scan_plain_keypoints(snap, c.part_span(i, part), pc.values, present)) {
                        pc.plain = false;
                        break;
                    }
                    pc.counts.push_back(std::uint32_t((pc.values.size() - before) / 3));
                }
                pc.ends.push_back(pc.values.size());
            }
        }
    });
    for (const PlainPiece& pc : pieces) {
        if (!pc.plain) return false;
        for (std::size_t j = 0; j < pc.counts.size(); ++j) {
            std::uint32_t& fixed = counts[j % parts.size()];
            if (pc.counts[j] == 0) continue;
            if (fixed == 0) fixed = pc.counts[j];
            if (fixed != pc.counts[j]) return false;
        }
    }
    return true;
}

}  // namespace

void HandleSideReader::keypoint_geometry(const CompactData& h, bool is_gt, RecordSet& rs,
                                         const std::vector<std::uint8_t>& keep) const {
    const std::string_view snap = snapshot_of(h);
    static constexpr KeypointPart kBodyOnly[] = {KeypointPart::Body};
    const std::span<const KeypointPart> parts =
        p_.keypoint_parts.empty() ? std::span<const KeypointPart>(kBodyOnly) : std::span(p_.keypoint_parts);
    const std::size_t n = rs.size();
    // Rows are appended one at a time, so a row's place never depends on another's.
    RecordSet rows(GeometryKind::Keypoints);
    rows.reserve(n);
    // Blocks of rows bound the memory of the parallel reading (and let the
    // pieces' buffers serve again).
    constexpr std::size_t kBlock = 4096;
    std::vector<std::uint32_t> counts(parts.size(), 0);
    std::vector<PlainPiece> pieces;
    bool plain = h.snapshot != nullptr;
    // Detections hold only the lists evaluation reads (most rows of a large
    // file lie beyond the first L of their group): the others share the
    // zeros of slot 0, and keep their own `scored` byte.
    const bool slots = !is_gt;
    std::vector<uint32_t> slot;
    std::vector<uint8_t> scored;
    if (slots) {
        slot.reserve(n);
        scored.reserve(n);
        rows.push_scalars(0, 0, 0, 0, 0, false, false);
        rows.push_missing_keypoints(false);
    }
    for (std::size_t first = 0; plain && first < n; first += kBlock) {
        plain = scan_plain_rows(snap, *h.columns, parts, keep, first, std::min(n, first + kBlock), counts, pieces);
        for (std::size_t k = 0; plain && k < pieces.size(); ++k) {
            const PlainPiece& pc = pieces[k];
            for (std::size_t r = 0; r < pc.ends.size(); ++r) {
                const std::size_t begin = r == 0 ? 0 : pc.ends[r - 1], end = pc.ends[r];
                if (slots && begin == end) {
                    slot.push_back(0);
                    scored.push_back(0);
                    continue;
                }
                rows.push_scalars(0, 0, 0, 0, 0, false, false);
                if (begin == end)
                    rows.push_missing_keypoints(is_gt);
                else
                    rows.push_keypoints(pc.values.data() + begin, end - begin, is_gt);
                if (slots) {
                    slot.push_back(uint32_t(rows.size() - 1));
                    scored.push_back(rows.scored.back());
                }
            }
        }
    }
    if (!plain) {
        rows = RecordSet(GeometryKind::Keypoints);
        rows.reserve(n);
        strict_keypoints(h, is_gt, parts, keep, rows);
    }
    rows.pad_keypoints(rows.keypoint_count, is_gt);
    rs.keypoint_count = rows.keypoint_count;
    rs.keypoints = std::move(rows.keypoints);
    rs.visibility = std::move(rows.visibility);
    if (plain && slots) {
        rs.keypoint_slot = std::move(slot);
        rs.scored = std::move(scored);
    } else {
        rs.scored = std::move(rows.scored);
    }
}

void HandleSideReader::strict_keypoints(const CompactData& h, bool is_gt, std::span<const KeypointPart> parts,
                                        const std::vector<std::uint8_t>& keep, RecordSet& rows) const {
    const std::string_view snap = snapshot_of(h);
    // One reader per list: each part fixes its own count.
    std::vector<KeypointReader> readers(parts.size());
    std::vector<double> xy, xyv;
    std::vector<std::uint8_t> vis;
    for (std::size_t i = 0; i < keep.size(); ++i) {
        rows.push_scalars(0, 0, 0, 0, 0, false, false);
        xy.clear();
        vis.clear();
        bool any = false;
        if (keep[i] && h.snapshot) {
            // A row lacking one of the lists joins the others' only if it
            // lacks them all; else its joined length is refused below.
            for (std::size_t k = 0; k < parts.size(); ++k)
                any |= readers[k].read(snap, h.columns->part_span(i, parts[k]), xy, &vis);
        }
        if (!any) {
            rows.push_missing_keypoints(is_gt);
            continue;
        }
        const std::size_t k = xy.size() / 2;
        xyv.resize(3 * k);
        for (std::size_t j = 0; j < k; ++j) {
            xyv[3 * j] = xy[2 * j];
            xyv[3 * j + 1] = xy[2 * j + 1];
            xyv[3 * j + 2] = vis[j] ? 1.0 : 0.0;
        }
        rows.push_keypoints(xyv.data(), xyv.size(), is_gt);
    }
}

void HandleSideReader::mask_geometry(const CompactData& h, RecordSet& rs,
                                     const std::vector<std::uint8_t>& participating,
                                     const std::vector<std::uint8_t>& keep) const {
    const AnnotationColumns& c = *h.columns;
    const std::string_view snap = snapshot_of(h);
    const bool boundary = kind_ == GeometryKind::BoundaryMasks;
    const bool areas_from_masks = h.mask_areas_deferred();
    PendingMasks pending(boundary ? std::optional<double>(p_.boundary_dilation) : std::nullopt, cells_);
    MaskJobs jobs(h, lk_.sizes, rs, pending, boundary, areas_from_masks);
    const std::size_t n = rs.size();
    // Rows that take part without meeting the other side need only their area.
    std::vector<MaskUse> use(n, MaskUse::Unread);
    for (std::size_t i = 0; i < n; ++i)
        if (keep[i])
            use[i] = MaskUse::Rasterise;
        else if (areas_from_masks && participating[i])
            use[i] = MaskUse::AreaOnly;
    if (h.snapshot && c.has_segmentation) {
        scan_spans(h, use, jobs, rs);
    } else if (h.snapshot && h.results) {
        auto wanted = [&](std::size_t i) { return use[i] != MaskUse::Unread; };
        auto visit = [&](std::size_t i, SegmentationScan& scan) {
            if (use[i] == MaskUse::Rasterise)
                jobs.submit(i, to_geometry(scan, snap));
            else
                rs.areas[i] = scanned_area(scan, snap);
        };
        read_segmentations_sequentially(snap, n, wanted, visit);
    } else {
        // A ground-truth file too large for spans kept no segmentation:
        // box masks in its place would be a quietly wrong evaluation.
        if (h.snapshot && !h.spans_kept) throw_value("segmentation files of 4 GiB or more require dictionary loading");
        for (std::size_t i = 0; i < n; ++i)
            if (keep[i]) jobs.submit(i, std::monostate{});
    }
    rs.packed_masks = jobs.take_packed();
    pending.finish({&rs}, areas_from_masks);
}

}  // namespace zerlin
