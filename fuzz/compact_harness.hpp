// Compact loading followed by what an Evaluator does with the handle: the
// snapshot's columns become record sets (scalars for every row, geometry for
// the rows evaluation can reach, as the Python binding's handle reader does),
// and the engine runs on them for boxes, masks, boundaries and keypoints.
// Both sides come from the one file: its rows as ground truth and again as
// detections. A results file also has its masks read by the sequential
// reader, which must accept and give the same masks as the span scanner.
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "harness.hpp"
#include "zerlin/compact.hpp"
#include "zerlin/eval.hpp"
#include "zerlin/group.hpp"
#include "zerlin/pipeline.hpp"
#include "zerlin/snapshot.hpp"

namespace fuzz {

using Sizes = std::map<int64_t, std::pair<uint32_t, uint32_t>>;

// Keeps the "images" member's id/height/width triples; other members are
// taken whole, as a caller building them would.
class ImagesSink : public zerlin::DatasetSink {
public:
    Sizes sizes;
    void member(zerlin::JsonString key, zerlin::JsonReader& reader) override {
        if (key.text != "images") return zerlin::read_any_value(reader);
        Images h{sizes};
        reader.parse_value(h);
    }
    void annotations(zerlin::JsonString) override {}

private:
    struct Images {
        Sizes& sizes;
        int depth = 0;
        std::string key;
        std::optional<uint64_t> id, height, width;
        void number(uint64_t v) {
            if (depth != 2) return;
            if (key == "id") id = v;
            if (key == "height") height = v;
            if (key == "width") width = v;
        }
        void on_null() {}
        void on_bool(bool) {}
        void on_u64(uint64_t v) { number(v); }
        void on_i64(int64_t) {}
        void on_double(double) {}
        void on_string(zerlin::JsonString) {}
        void on_key(zerlin::JsonString s) { key = s.text; }
        void on_array_begin() { ++depth; }
        void on_array_end() { --depth; }
        void on_object_begin() {
            if (++depth == 2) id.reset(), height.reset(), width.reset();
        }
        void on_object_end() {
            if (depth-- == 2 && id && height && width && *id <= uint64_t(INT64_MAX) && *height <= UINT32_MAX &&
                *width <= UINT32_MAX)
                sizes[int64_t(*id)] = {uint32_t(*height), uint32_t(*width)};
        }
    };
};

inline std::vector<int64_t> distinct(std::vector<int64_t> v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    return v;
}

inline int32_t position(const std::vector<int64_t>& ids, int64_t id) {
    auto it = std::lower_bound(ids.begin(), ids.end(), id);
    return it != ids.end() && *it == id ? int32_t(it - ids.begin()) : -1;
}

class HandleSides {
public:
    HandleSides(const zerlin::CompactData& h, const Sizes& sizes, zerlin::EvalParams p)
        : h_(h), snap_(h.snapshot ? std::string_view(*h.snapshot) : std::string_view()), sizes_(sizes),
          p_(std::move(p)), kind_(zerlin::geometry_for(p_.iou_kind)) {}

    void run() {
        zerlin::RecordSet gt(kind_), dt(kind_);
        records(true, gt);
        records(false, dt);
        geometry(true, gt, dt);
        geometry(false, dt, gt);
        zerlin::Engine engine(p_, std::move(gt), std::move(dt));
        zerlin::RunResult r = engine.run(true);
        FUZZ_CHECK(r.precision.size() == r.T * r.R * r.K * r.A * r.M);
        for (double v : r.precision) FUZZ_CHECK(v == -1.0 || (v >= 0.0 && v <= 1.0));
        if (!p_.iou_thrs.empty() && !p_.area_rng.empty()) (void)engine.per_instance(0, 0, p_.det_limit());
    }

private:
    bool masks() const {
        return kind_ == zerlin::GeometryKind::Masks || kind_ == zerlin::GeometryKind::BoundaryMasks;
    }

    void records(bool is_gt, zerlin::RecordSet& rs) const {
        const zerlin::AnnotationColumns& c = *h_.columns;
        const bool keypoints = kind_ == zerlin::GeometryKind::Keypoints;
        for (std::size_t i = 0; i < h_.size(); ++i) {
            const bool crowd = h_.row_crowd(i);
            rs.push_scalars(h_.row_id(i), position(p_.img_ids, c.image_id(i)),
                            position(p_.cat_ids, c.category_id(i)), c.scores[i], h_.row_area(i), crowd,
                            is_gt && crowd);
        }
        if (kind_ == zerlin::GeometryKind::Boxes || (keypoints && is_gt))
            rs.boxes.share(std::shared_ptr<const std::vector<double>>(h_.columns, &c.boxes));
    }

    std::vector<uint8_t> wanted(const zerlin::RecordSet& rs, bool is_gt, const zerlin::RecordSet& other) const {
        std::vector<uint8_t> keep(rs.size(), 1);
        if (!is_gt)
            keep = zerlin::select_top_detections(rs.image_index, rs.category_index, rs.scores, p_.num_slots(),
                                                 p_.use_cats, p_.det_limit());
        // Rows outside img_ids or cat_ids take no part.
        for (std::size_t r = 0; r < rs.size(); ++r)
            if (rs.image_index[r] < 0 || rs.category_index[r] < 0) keep[r] = 0;
        (void)other;
        return keep;
    }

    void geometry(bool is_gt, zerlin::RecordSet& rs, const zerlin::RecordSet& other) const {
        if (kind_ == zerlin::GeometryKind::Boxes) return;
        const std::vector<uint8_t> keep = wanted(rs, is_gt, other);
        if (masks()) mask_geometry(rs, keep);
        else keypoint_geometry(is_gt, rs, keep);
    }

    void keypoint_geometry(bool is_gt, zerlin::RecordSet& rs, const std::vector<uint8_t>& keep) const {
        const zerlin::AnnotationColumns& c = *h_.columns;
        zerlin::KeypointReader reader;
        std::vector<double> xy, xyv;
        std::vector<uint8_t> vis;
        zerlin::RecordSet rows(zerlin::GeometryKind::Keypoints);
        for (std::size_t i = 0; i < rs.size(); ++i) {
            rows.push_scalars(0, 0, 0, 0, 0, false, false);
            xy.clear();
            vis.clear();
            if (!(keep[i] && h_.snapshot && reader.read(snap_, c.keypoints_span(i), xy, is_gt ? &vis : nullptr))) {
                rows.push_missing_keypoints(is_gt);
                continue;
            }
            const std::size_t k = xy.size() / 2;
            xyv.resize(3 * k);
            for (std::size_t j = 0; j < k; ++j) {
                xyv[3 * j] = xy[2 * j];
                xyv[3 * j + 1] = xy[2 * j + 1];
                xyv[3 * j + 2] = is_gt && vis[j] ? 1.0 : 0.0;
            }
            rows.push_keypoints(xyv.data(), xyv.size(), is_gt);
        }
        rows.pad_keypoints(rows.keypoint_count, is_gt);
        rs.keypoint_count = rows.keypoint_count;
        rs.keypoints = std::move(rows.keypoints);
        rs.visibility = std::move(rows.visibility);
    }

    zerlin::Rle rasterise(std::size_t i, zerlin::Geometry g, zerlin::RasterScratch& scratch) const {
        const zerlin::AnnotationColumns& c = *h_.columns;
        auto size = sizes_.find(c.image_id(i));
        if (size == sizes_.end()) throw zerlin::Error(zerlin::ErrorKind::Key, "no image entry");
        if (std::holds_alternative<std::monostate>(g)) {
            zerlin::BoxGeom b;
            std::copy_n(&c.boxes[4 * i], 4, b.box);
            g = b;
        }
        return zerlin::rasterise_job(zerlin::MaskJob{size->second.first, size->second.second, std::move(g)}, scratch);
    }

    void mask_geometry(zerlin::RecordSet& rs, const std::vector<uint8_t>& keep) const {
        const zerlin::AnnotationColumns& c = *h_.columns;
        const std::size_t n = rs.size();
        zerlin::RasterScratch scratch;
        rs.masks.assign(n, zerlin::Rle{});
        if (h_.snapshot && c.has_segmentation) {
            zerlin::SegmentationScan scan;
            std::vector<zerlin::Geometry> geoms(n);
            for (std::size_t i = 0; i < n; ++i) {
                if (!keep[i]) continue;
                zerlin::scan_segmentation(snap_, c.segmentation_span(i), scan);
                geoms[i] = zerlin::to_geometry(scan, snap_);
            }
            for (std::size_t i = 0; i < n; ++i)
                if (keep[i]) rs.masks[i] = rasterise(i, std::move(geoms[i]), scratch);
            if (h_.results) check_sequential_reader(rs, keep);
        } else {
            for (std::size_t i = 0; i < n; ++i)
                if (keep[i]) rs.masks[i] = rasterise(i, std::monostate{}, scratch);
        }
        if (kind_ == zerlin::GeometryKind::BoundaryMasks) {
            rs.boundaries.assign(n, zerlin::Rle{});
            for (std::size_t i = 0; i < n; ++i)
                if (keep[i]) rs.boundaries[i] = zerlin::rle_boundary(rs.masks[i], p_.boundary_dilation);
        }
    }

    // The reader used for results files too large for spans.
    void check_sequential_reader(const zerlin::RecordSet& rs, const std::vector<uint8_t>& keep) const {
        zerlin::RasterScratch scratch;
        try {
            zerlin::read_segmentations_sequentially(
                snap_, rs.size(), [&](std::size_t i) { return keep[i] != 0; },
                [&](std::size_t i, zerlin::SegmentationScan& scan) {
                    FUZZ_CHECK(rasterise(i, zerlin::to_geometry(scan, snap_), scratch) == rs.masks[i]);
                });
        } catch (const zerlin::JsonError& e) {
            fail("sequential reader refused a file the span scanner read:", e.what());
        }
    }

    const zerlin::CompactData& h_;
    std::string_view snap_;
    const Sizes& sizes_;
    zerlin::EvalParams p_;
    zerlin::GeometryKind kind_;
};

inline zerlin::EvalParams params_for(const zerlin::AnnotationColumns& c, zerlin::IouKind kind, bool use_cats) {
    zerlin::EvalParams p;
    std::vector<int64_t> imgs, cats;
    for (std::size_t i = 0; i < c.size(); ++i) imgs.push_back(c.image_id(i)), cats.push_back(c.category_id(i));
    p.img_ids = distinct(std::move(imgs));
    p.cat_ids = distinct(std::move(cats));
    // A subset of the images, so rows outside img_ids are present too.
    if (p.img_ids.size() > 1) p.img_ids.pop_back();
    for (int i = 0; i < 10; ++i) p.iou_thrs.push_back(0.5 + 0.05 * i);
    for (int i = 0; i <= 100; ++i) p.rec_thrs.push_back(i / 100.0);
    p.max_dets = {1, 10, 100};
    p.area_rng = {{0, 1e10}, {0, 1024}, {1024, 9216}, {9216, 1e10}};
    p.use_cats = use_cats;
    p.iou_kind = kind;
    p.kpt_sigmas.assign(17, 0.05);
    return p;
}

// Loads text as a ground-truth or results file; on success evaluates it
// with each kind of geometry.
inline void load_and_evaluate(std::string_view text, bool results) {
    expect_clean([&] {
        auto snapshot = std::make_shared<const std::string>(text);
        ImagesSink sink;
        zerlin::SnapshotColumns built = zerlin::build_snapshot(*snapshot, results, results ? nullptr : &sink, false);
        if (results) {
            // Results carry no image sizes: every image is 40 x 60.
            for (std::size_t i = 0; i < built.columns.size(); ++i) sink.sizes[built.columns.image_id(i)] = {40, 60};
        }
        zerlin::CompactData h;
        h.snapshot = snapshot;
        h.columns = std::make_shared<const zerlin::AnnotationColumns>(std::move(built.columns));
        h.results = results;
        h.spans_kept = built.spans_kept;
        for (zerlin::IouKind kind :
             {zerlin::IouKind::Bbox, zerlin::IouKind::Segm, zerlin::IouKind::Boundary, zerlin::IouKind::Keypoints}) {
            expect_clean([&] {
                HandleSides(h, sink.sizes, params_for(*h.columns, kind, kind != zerlin::IouKind::Segm)).run();
            });
        }
    });
}

}  // namespace fuzz
