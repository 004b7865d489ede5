// JSON snapshots: an annotation or results file kept whole in memory, with
// the per-annotation scalars parsed into columns and the geometry values
// (segmentation, keypoints) recorded as byte spans into the file, to be
// scanned only when an evaluation needs them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "zerlin/json.hpp"

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
    // Ground-truth files only: the file's id, area (w * h when absent) and crowd flag.
    std::vector<std::int64_t> gt_ids;
    std::vector<double> gt_areas;
    std::vector<std::uint8_t> gt_crowd;
    // Created at the first row that has such a value; earlier rows absent.
    bool has_segmentation = false;
    std::vector<Span> segmentation;
    bool has_pose = false;
    std::vector<Span> pose;  // keypoints, num_keypoints per row

    std::size_t size() const noexcept { return scores.size(); }
    std::int64_t image_id(std::size_t row) const noexcept {
        return wide_ids ? ids64[2 * row] : ids32[2 * row];
    }
    std::int64_t category_id(std::size_t row) const noexcept {
        return wide_ids ? ids64[2 * row + 1] : ids32[2 * row + 1];
    }
    Span segmentation_span(std::size_t row) const noexcept {
        return has_segmentation ? segmentation[row] : Span{};
    }
    Span keypoints_span(std::size_t row) const noexcept { return has_pose ? pose[2 * row] : Span{}; }
    Span num_keypoints_span(std::size_t row) const noexcept { return has_pose ? pose[2 * row + 1] : Span{}; }

    void reserve(std::size_t rows);
    // Appends a row of the results kind (no ground-truth extras).
    void push(const double box[4], double score, std::int64_t image_id, std::int64_t category_id);
    void push_segmentation(Span s);             // after push, when spans are kept
    void push_pose(Span keypoints, Span num_keypoints);
    // Appends other's rows after this one's (both of the same kind).
    void append(AnnotationColumns&& other);
    void shrink_to_fit();
};

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
// go to `sink`, which must be given). Large results files are parsed in
// chunks on the worker pool, falling back to one sequential pass (which
// reports the error) when any chunk fails; `parallel` false forces the
// sequential pass. Throws JsonError.
SnapshotColumns build_snapshot(std::string_view text, bool results, DatasetSink* sink, bool parallel = true);

// Invalid-type / invalid-value message pieces, in the wording of the
// record grammar: "floating point `1.5`", "integer `7`", "string \"x\"".
std::string describe_float(double v);
std::string describe_string(std::string_view s);

// Reads and discards a JSON value of any kind with the checks of building
// it (nesting budget, number range, UTF-8), as a caller does that takes a
// value whole before looking at it.
void read_any_value(JsonReader& reader);

}  // namespace zerlin
