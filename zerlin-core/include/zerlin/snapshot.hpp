// JSON snapshots: an annotation or results file kept whole in memory, with
// the per-annotation scalars parsed into columns and the geometry values
// (segmentation, keypoints) recorded as byte spans into the file, to be
// scanned only when an evaluation needs them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zerlin/json.hpp"
#include "zerlin/records.hpp"
#include "zerlin/rle.hpp"

namespace zerlin {

// Byte range of one value's text inside the snapshot.
struct Span {
    static constexpr std::uint32_t kAbsent = 0xFFFFFFFFu;
    std::uint32_t offset = kAbsent;
    std::uint32_t length = 0;
    bool absent() const noexcept { return offset == kAbsent; }
};

// Spans are kept only for files whose every offset fits 32 bits with one
// value to spare for the absent marker.
inline constexpr std::size_t kMaxSpanFileBytes = 0xFFFFFFFEu;

// Which geometry completes a results file's rows, chosen as the reference
// loader chooses it: by the first record alone. A box of its own makes every
// row a box row (area w * h); otherwise a segmentation makes the rows mask
// rows (area from the mask, box from the mask where none is written), and
// keypoints make them keypoint rows (box and area from the keypoints' extent).
enum class ResultsShape : std::uint8_t { Boxes, Masks, Keypoints };

// The records a file may hold.
enum class RecordGrammar : std::uint8_t {
    // Every record carries its box; ids are integers; "iscrowd" a bool or an integer.
    Compact,
    // Results files only: also the records the reference loader completes:
    // no "bbox" where the first record's shape derives it, ids and crowd
    // flags written as whole floats, and any "id" (rows are renumbered).
    // A "score" is required (null stands for 0.0 as in the compact grammar).
    Reference,
};

// One row per annotation, in file order.
struct AnnotationColumns {
    bool ground_truth = false;
    std::vector<double> boxes;   // x, y, w, h per row
    std::vector<double> scores;  // 0.0 where the file has none
    // image_id and category_id per row: two int32 while every id seen fits,
    // two int64 (and ids32 emptied) from the first one that does not.
    bool wide_ids = false;
    std::vector<std::int32_t> ids32;
    std::vector<std::int64_t> ids64;
    // Ground-truth files only: the file's id, area (w * h when absent) and crowd flag,
    // and its "ignore" member as a flag (LVIS reads it; COCO's rules derive their own).
    std::vector<std::int64_t> gt_ids;
    std::vector<double> gt_areas;
    std::vector<std::uint8_t> gt_crowd;
    std::vector<std::uint8_t> gt_ignore;
    // Created at the first row that has such a value; earlier rows absent.
    bool has_segmentation = false;
    std::vector<Span> segmentation;
    bool has_pose = false;
    std::vector<Span> pose;  // keypoints, num_keypoints per row
    // COCO-WholeBody: the parts' keypoint lists (foot, face, left hand, right
    // hand spans per row) and result part scores (PartScore order, NaN where
    // absent or null), each created at the first row that has one.
    bool has_parts = false;
    std::vector<Span> parts;
    bool has_part_scores = false;
    std::vector<double> part_scores;
    // Results of the reference grammar: their shape, the rows written
    // without a box (created at the first such row; those rows hold NaN
    // until completed) and, for the mask and keypoint shapes, the areas
    // derived by complete_results_geometry.
    ResultsShape shape = ResultsShape::Boxes;
    bool has_missing_boxes = false;
    std::vector<std::uint8_t> box_missing;
    std::vector<double> derived_areas;
    // Results: byte offset of the first score written as null (read as
    // 0.0, which the package refuses), kNoNullScore when none is.
    static constexpr std::size_t kNoNullScore = ~std::size_t(0);
    std::size_t first_null_score = kNoNullScore;
    // The record fields some record written as an object has as members
    // (bit f for the f-th of written_fields' names), whatever their values.
    std::uint32_t object_fields = 0;

    std::size_t size() const noexcept { return scores.size(); }
    std::int64_t image_id(std::size_t row) const noexcept { return wide_ids ? ids64[2 * row] : ids32[2 * row]; }
    std::int64_t category_id(std::size_t row) const noexcept {
        return wide_ids ? ids64[2 * row + 1] : ids32[2 * row + 1];
    }
    Span segmentation_span(std::size_t row) const noexcept { return has_segmentation ? segmentation[row] : Span{}; }
    Span keypoints_span(std::size_t row) const noexcept { return has_pose ? pose[2 * row] : Span{}; }
    Span num_keypoints_span(std::size_t row) const noexcept { return has_pose ? pose[2 * row + 1] : Span{}; }
    Span part_span(std::size_t row, KeypointPart part) const noexcept {
        if (part == KeypointPart::Body) return keypoints_span(row);
        return has_parts ? parts[(kKeypointPartCount - 1) * row + std::size_t(part) - 1] : Span{};
    }
    // NaN where the row has no such score.
    double part_score(std::size_t row, PartScore s) const noexcept;

    void reserve(std::size_t rows);
    // Appends a row of the results kind (no ground-truth extras).
    void push(const double box[4], double score, std::int64_t image_id, std::int64_t category_id);
    void push_segmentation(Span s);  // after push, when spans are kept
    void push_pose(Span keypoints, Span num_keypoints);
    // After push: the row's part spans (foot to right hand) and part scores.
    void push_parts(const Span (&spans)[kKeypointPartCount - 1], const double (&scores)[kPartScoreCount]);
    void push_box_missing(bool missing);  // after push, reference grammar only
    bool box_written(std::size_t row) const noexcept { return !has_missing_boxes || !box_missing[row]; }
    // The rows of `parts` (all of one kind) in order, the parts emptied.
    static AnnotationColumns concatenate(std::vector<AnnotationColumns>&& parts);
    void shrink_to_fit();
};

// The names of the record fields in cols.object_fields ("id", "bbox", ...),
// in the order of a record written as an array.
std::vector<std::string_view> written_fields(const AnnotationColumns& cols);

// Receives the members of a dataset document other than its annotations.
class DatasetSink {
  public:
    virtual ~DatasetSink() = default;
    // The reader stands before the member's value, which this must consume.
    virtual void member(JsonString key, JsonReader& reader) = 0;
    // The "annotations" member; its records went to the columns.
    virtual void annotations(JsonString key) = 0;
};

struct SnapshotColumns {
    AnnotationColumns columns;
    bool spans_kept = false;
};

// Parses a results file (a top-level array of records) or a dataset file
// (an object whose "annotations" array holds the records; the other members
// go to `sink`, which must be given). Large record arrays (a results file's,
// a dataset's annotations) are parsed in chunks on the worker pool, falling
// back to one sequential pass of the array (which reports the error) when
// any chunk fails or, in a dataset, two chunks hold the same id; `parallel`
// false forces the sequential pass. Throws JsonError. `text_done`, when
// given, is called at most once: by a parallel read of a results file of
// boxes, once every record is read and nothing more will be (a caller that
// evaluates boxes alone may free the text there, before the columns are
// joined).
SnapshotColumns build_snapshot(std::string_view text, bool results, DatasetSink* sink, bool parallel = true,
                               RecordGrammar grammar = RecordGrammar::Compact,
                               const std::function<void()>& text_done = {});

// Invalid-type / invalid-value message pieces, in the wording of the
// record grammar: "floating point `1.5`", "integer `7`", "string \"x\"".
std::string describe_float(double v);
std::string describe_string(std::string_view s);

// Reads and discards a JSON value of any kind with the checks of building
// it (nesting budget, number range, UTF-8), as a caller does that takes a
// value whole before looking at it.
void read_any_value(JsonReader& reader);

// ---------------------------------------------------------------- geometry scanners
//
// Geometry is read from a row's span only when an evaluation needs it. The
// common shape (polygon lists of plain numbers) is split and converted
// directly; anything else goes through the strict reader, which also words
// the error. Scanners throw JsonError positioned in the snapshot.

// One row's segmentation.
struct SegmentationScan {
    enum Kind : std::uint8_t {
        None,         // no segmentation value (absent or null)
        Polygons,     // coords, with ring_ends the running coordinate count after each ring
        CountsRef,    // compressed counts string inside the snapshot, see counts_*
        CountsOwned,  // compressed counts string decoded into `counts`
        Runs,         // uncompressed run lengths
    } kind = None;
    std::vector<double> coords;
    std::vector<std::uint32_t> ring_ends;
    // CountsRef: offset and byte length of the string's text (between its
    // quotes) in the snapshot; `counts_escaped` when it holds escaped
    // backslashes ("\\"), its only escapes, still to be unescaped.
    std::size_t counts_offset = 0, counts_length = 0;  // full width: results files may pass 4 GiB
    bool counts_escaped = false;
    std::string counts;
    std::vector<std::uint32_t> runs;
};

// Reads the segmentation whose text is `span` (absent: kind None) into out,
// reusing its buffers.
void scan_segmentation(std::string_view snapshot, Span span, SegmentationScan& out);

// The scan as mask geometry (None gives monostate). A referenced counts
// string shorter than kPackedMaskBytes is borrowed from the snapshot (which
// must outlive the geometry), escaped as it is written there; a longer one
// is copied out, unescaped.
Geometry to_geometry(const SegmentationScan& scan, std::string_view snapshot);

// The common shape of a keypoint list (plain numbers in one flat array),
// appended to xyv as written. Returns false for any other text, which the
// strict KeypointReader then reads (and words the error of); an absent,
// null or empty list appends nothing and sets `present` false.
bool scan_plain_keypoints(std::string_view snapshot, Span span, std::vector<double>& xyv, bool& present);

// Keypoints of a side whose count K is not known beforehand, read strictly
// row by row with their visibility flags.
class KeypointReader {
  public:
    // Appends the row's x, y pairs (and a flag v > 0 per keypoint when
    // `visible` is given). The first non-empty list fixes K; null, absent or
    // empty lists append nothing and give false.
    bool read(std::string_view snapshot, Span span, std::vector<double>& xy, std::vector<std::uint8_t>* visible);

  private:
    std::optional<std::uint32_t> k_;
    std::vector<double> xyv_;
};

// Walks a results snapshot's top-level array in file order. For record i
// with wanted(i), only its segmentation is read (strictly; a second
// "segmentation" member is a duplicate-field error) and handed to
// visit(i, scan); other records and members are skipped after a syntax
// check. Stops after `rows` records; an array that ends before gives
// "missing mask annotation". Exceptions thrown by visit propagate.
void read_segmentations_sequentially(std::string_view snapshot, std::size_t rows,
                                     const std::function<bool(std::size_t)>& wanted,
                                     const std::function<void(std::size_t, SegmentationScan&)>& visit);

}  // namespace zerlin
