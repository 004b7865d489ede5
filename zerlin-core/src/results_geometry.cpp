#include "zerlin/results_geometry.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "zerlin/cancel.hpp"
#include "zerlin/error.hpp"
#include "zerlin/pool.hpp"
#include "zerlin/rle.hpp"
#include "zerlin/snapshot.hpp"

namespace zerlin {

namespace {

// A row whose geometry is not of the shapes completed here.
struct Refusal {
    std::string reason;
};

[[noreturn]] void refuse(std::string reason) {
    throw Refusal{std::move(reason)};
}

std::uint32_t read_u32(JsonReader& r, const char* what) {
    int c = r.peek_nonspace();
    if (c != '-' && !(c >= '0' && c <= '9')) refuse(std::string(what) + " is not an integer");
    JsonNumber n = r.read_number();
    if (n.kind != JsonNumber::U64 || n.u > 0xFFFFFFFFu) refuse(std::string(what) + " is not a uint32");
    return std::uint32_t(n.u);
}

// An array at the cursor, f() reading each element.
template <class F>
void read_array(JsonReader& r, const char* what, F&& f) {
    if (r.peek_nonspace() != '[') refuse(std::string(what) + " is not a list");
    r.enter_container();
    r.advance();
    bool first = true;
    while (r.next_element(first)) f();
    r.advance();
    r.leave_container();
}

// The foreground area and bounding box of the RLE object at the cursor:
// {"size": [h, w], "counts": a string or run lengths}.
double read_rle_area_and_box(JsonReader& r, double box[4], bool decode) {
    if (r.peek_nonspace() != '{') refuse("the segmentation is not an RLE object");
    r.enter_container();
    r.advance();
    bool first = true, seen_size = false, seen_counts = false, compressed = false;
    JsonString key;
    std::vector<std::uint32_t> size;
    std::string_view counts;  // into the text, or into `owned` when it had escapes
    std::string owned;
    Rle runs;
    const std::string_view text = r.text();
    while (r.next_key(first, key)) {
        const bool is_size = key.text == "size", is_counts = key.text == "counts";
        if ((is_size && seen_size) || (is_counts && seen_counts)) refuse("the RLE object repeats a key");
        r.member_colon();
        if (is_size) {
            seen_size = true;
            read_array(r, "the RLE size", [&] { size.push_back(read_u32(r, "an RLE size")); });
        } else if (is_counts) {
            seen_counts = true;
            compressed = r.peek_nonspace() == '"';
            if (compressed) {
                r.advance();
                counts = r.read_string().text;
                const std::less<const char*> before;
                const bool in_text =
                    !before(counts.data(), text.data()) && before(counts.data(), text.data() + text.size());
                if (!in_text) counts = owned.assign(counts);
            } else {
                read_array(r, "the RLE counts", [&] { runs.counts.push_back(read_u32(r, "a run length")); });
            }
        } else {
            r.skip_value();
        }
    }
    r.advance();
    r.leave_container();
    if (!seen_counts || size.size() != 2) refuse("the RLE object lacks counts or a size of two values");
    try {
        require_mask_size(size[0], size[1]);
    } catch (const Error& e) {
        refuse(e.message());
    }
    if (!decode) return 0.0;
    if (compressed) return double(rle_string_area_and_box(counts, size[0], size[1], false, box));
    runs.h = size[0];
    runs.w = size[1];
    rle_to_bbox(runs, box);
    return double(rle_area(runs));
}

// Every value of a flat keypoint list at the cursor (true and false as 1 and 0).
void read_keypoint_values(JsonReader& r, std::vector<double>& out) {
    out.clear();
    read_array(r, "the keypoints", [&] {
        int c = r.peek_nonspace();
        if (c == 't' || c == 'f') {
            r.advance();
            r.read_literal(c == 't' ? "rue" : "alse", c == 't' ? 3 : 4);
            out.push_back(c == 't' ? 1.0 : 0.0);
            return;
        }
        if (c != '-' && !(c >= '0' && c <= '9')) refuse("a keypoint value is not a number");
        JsonNumber n = r.read_number();
        out.push_back(n.kind == JsonNumber::U64 ? double(n.u) : n.kind == JsonNumber::I64 ? double(n.i) : n.d);
    });
}

// A row's keypoint list: a flat list of plain numbers in the keypoint
// walk's one pass, any other text (and its errors) by the reader above.
void keypoint_values(std::string_view snapshot, Span span, std::vector<double>& values) {
    values.clear();
    bool present = false;
    if (scan_plain_keypoints(snapshot, span, values, present) && present) return;
    JsonReader r(snapshot);
    r.seek(span.offset);
    read_keypoint_values(r, values);
}

void complete_mask_row(AnnotationColumns& cols, std::string_view snapshot, std::size_t row, bool decode) {
    Span span = cols.segmentation_span(row);
    if (span.absent()) refuse("no segmentation");
    JsonReader r(snapshot);
    r.seek(span.offset);
    double box[4];
    const double area = read_rle_area_and_box(r, box, decode);
    if (!decode) return;
    cols.derived_areas[row] = area;
    if (!cols.box_written(row)) std::copy_n(box, 4, &cols.boxes[4 * row]);
}

// Keypoints of every row must have the length of the first row's (a
// multiple of three): other files the objects route handles.
void complete_keypoint_row(AnnotationColumns& cols, std::string_view snapshot, std::size_t row,
                           std::vector<double>& values, std::size_t length) {
    Span span = cols.keypoints_span(row);
    if (span.absent()) refuse("no keypoints");
    keypoint_values(snapshot, span, values);
    if (values.size() != length) refuse("keypoint lists of different or unusable lengths");
    double x0 = values[0], x1 = values[0], y0 = values[1], y1 = values[1];
    for (std::size_t j = 0; j < values.size(); j += 3) {
        x0 = std::min(x0, values[j]);
        x1 = std::max(x1, values[j]);
        y0 = std::min(y0, values[j + 1]);
        y1 = std::max(y1, values[j + 1]);
    }
    double* box = &cols.boxes[4 * row];
    box[0] = x0;
    box[1] = y0;
    box[2] = x1 - x0;
    box[3] = y1 - y0;
    cols.derived_areas[row] = (x1 - x0) * (y1 - y0);
}

// The length every keypoint list must have: the first row's.
std::size_t keypoint_length(const AnnotationColumns& cols, std::string_view snapshot) {
    std::vector<double> values;
    Span span = cols.keypoints_span(0);
    if (span.absent()) refuse("no keypoints");
    keypoint_values(snapshot, span, values);
    if (values.empty() || values.size() % 3 != 0) refuse("keypoint lists of different or unusable lengths");
    return values.size();
}

}  // namespace

void complete_results_geometry(AnnotationColumns& cols, std::string_view snapshot, bool decode_masks) {
    const std::size_t n = cols.size();
    if (cols.shape == ResultsShape::Boxes || n == 0) return;
    const bool masks = cols.shape == ResultsShape::Masks;
    if (!masks || decode_masks) cols.derived_areas.assign(n, 0.0);
    std::size_t length = 0;
    try {
        if (!masks) length = keypoint_length(cols, snapshot);
    } catch (const Refusal& refusal) {
        throw_value("result 1: " + refusal.reason);
    }
    // The refusal reported is the first failing row's, whatever the threads
    // did: each piece stops at its first failure and the pool rethrows the
    // lowest piece's. `first_failure` only lets pieces past a failure stop early.
    std::atomic<std::size_t> first_failure{n};
    auto fail_at = [&](std::size_t i, const std::string& reason) {
        std::size_t seen = first_failure.load();
        while (i < seen && !first_failure.compare_exchange_weak(seen, i)) {
        }
        throw_value("result " + std::to_string(i + 1) + ": " + reason);
    };
    parallel_for(n, 1024, [&](std::size_t b, std::size_t e) {
        std::vector<double> values;
        for (std::size_t i = b; i < e && i < first_failure.load(std::memory_order_relaxed); ++i) {
            check_cancelled();
            try {
                if (masks)
                    complete_mask_row(cols, snapshot, i, decode_masks);
                else
                    complete_keypoint_row(cols, snapshot, i, values, length);
            } catch (const Refusal& refusal) {
                fail_at(i, refusal.reason);
            } catch (const JsonError& err) {
                fail_at(i, err.what());
            }
        }
    });
}

}  // namespace zerlin
