// Compact loading followed by what an Evaluator does with the handle: the
// snapshot's columns become record sets (scalars for every row, geometry for
// the rows evaluation can reach, by the Evaluator's own handle reader),
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
#include "zerlin/handle_side.hpp"
#include "zerlin/pipeline.hpp"
#include "zerlin/side_builder.hpp"
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

class HandleSides {
  public:
    HandleSides(const zerlin::CompactData& h, const Sizes& sizes, zerlin::EvalParams p)
        : h_(h),
          snap_(h.snapshot ? std::string_view(*h.snapshot) : std::string_view()),
          sizes_(sizes),
          p_(std::move(p)),
          kind_(zerlin::geometry_for(p_.iou_kind)) {}

    // Records and geometry through the Evaluator's own handle reader.
    void run() {
        zerlin::ImageSizes sizes(sizes_.size());
        for (const auto& [id, hw] : sizes_) sizes.insert(id, hw);
        zerlin::Lookups lk{zerlin::PositionTable(p_.img_ids), zerlin::PositionTable(p_.cat_ids), sizes};
        zerlin::TimingCells cells;
        zerlin::HandleSideReader reader(p_, lk, kind_, cells);
        zerlin::RecordSet gt(kind_), dt(kind_);
        reader.records(h_, true, gt);
        reader.records(h_, false, dt);
        reader.geometry(h_, true, gt, dt);
        reader.geometry(h_, false, dt, gt);
        if (h_.results && masks() && h_.snapshot && h_.columns->has_segmentation) check_sequential_reader(dt);
        zerlin::Engine engine(p_, std::move(gt), std::move(dt));
        zerlin::RunResult r = engine.run(true);
        FUZZ_CHECK(r.precision.size() == r.T * r.R * r.K * r.A * r.M);
        for (double v : r.precision) FUZZ_CHECK(v == -1.0 || (v >= 0.0 && v <= 1.0));
        if (!p_.iou_thrs.empty() && !p_.area_rng.empty()) (void)engine.per_instance(0, 0, p_.det_limit());
    }

  private:
    bool masks() const { return kind_ == zerlin::GeometryKind::Masks || kind_ == zerlin::GeometryKind::BoundaryMasks; }

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

    // The reader used for results files too large for spans must accept
    // what the span scanner read and give the same masks, for the rows the
    // evaluation decoded (the others keep an empty mask).
    void check_sequential_reader(const zerlin::RecordSet& rs) const {
        zerlin::RasterScratch scratch;
        auto decoded = [&](std::size_t i) { return !rs.masks.empty() && !rs.masks[i].counts.empty(); };
        try {
            zerlin::read_segmentations_sequentially(
                snap_, rs.size(), decoded, [&](std::size_t i, zerlin::SegmentationScan& scan) {
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
        auto snapshot = std::make_shared<const zerlin::Text>(text);
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
            expect_clean(
                [&] { HandleSides(h, sink.sizes, params_for(*h.columns, kind, kind != zerlin::IouKind::Segm)).run(); });
        }
    });
}

}  // namespace fuzz
