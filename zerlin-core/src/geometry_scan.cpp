// Geometry scanners: a row's segmentation or keypoints read from its span
// of the snapshot when an evaluation needs it.
#include <charconv>
#include <cmath>

#include "float_text.hpp"
#include "json_values.hpp"
#include "plain_numbers.hpp"
#include "zerlin/snapshot.hpp"

namespace zerlin {

using namespace detail;

// ---------------------------------------------------------------- geometry scanners

namespace {

bool is_space_char(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

const char* skip_spaces(const char* p, const char* end) {
    while (p != end && is_space_char(*p)) ++p;
    return p;
}

// Polygon rings as nearly every file writes them: an array of flat arrays
// of plain numbers. False for any other text, which read_segmentation then
// reads (and words the error of).
bool fast_polygons(std::string_view text, SegmentationScan& out) {
    const char* p = skip_spaces(text.data(), text.data() + text.size());
    const char* const end = text.data() + text.size();
    if (p == end || *p != '[') return false;
    out.coords.clear();
    out.ring_ends.clear();
    p = skip_spaces(p + 1, end);
    if (p != end && *p == ']') {
        ++p;
    } else {
        for (;;) {
            p = plain_numbers::walk_array(p, end, [&](const char* q) -> const char* {
                double v;
                const char* next = plain_numbers::number(q, end, v);
                if (next != nullptr) out.coords.push_back(v);
                return next;
            });
            if (p == nullptr || out.coords.size() > 0xFFFFFFFFu) return false;
            out.ring_ends.push_back(std::uint32_t(out.coords.size()));
            p = skip_spaces(p, end);
            if (p == end) return false;
            const char c = *p++;
            if (c == ']') break;
            if (c != ',') return false;
            p = skip_spaces(p, end);
        }
    }
    if (skip_spaces(p, end) != end) return false;
    out.kind = SegmentationScan::Polygons;
    return true;
}

constexpr const char* kPointCoordinate = "a numeric keypoint coordinate";

// A polygon or keypoint coordinate: a number, true (1) or false (0).
double read_point(JsonReader& r) {
    int c = r.peek_nonspace();
    if (c == 't' || c == 'f') {
        r.advance();
        r.read_literal(c == 't' ? "rue" : "alse", c == 't' ? 3 : 4);
        return c == 't' ? 1.0 : 0.0;
    }
    if (c == '[' || c == '{') fail_container(r, c, kPointCoordinate);
    if (c < 0) r.fail_peek(JsonErrc::EofWhileParsingValue);
    if (!starts_number(c)) fail_invalid_type(r, kPointCoordinate);
    return number_value(r.read_number());
}

// Reads an array of points at the cursor, calling f(value) for each.
template <class F>
void read_points(JsonReader& r, F&& f) {
    if (r.peek_nonspace() != '[') fail_invalid_type(r, "a sequence");
    r.enter_container();
    r.advance();
    bool first = true;
    while (r.next_element(first)) f(read_point(r));
    r.advance();
    r.leave_container();
}

std::uint32_t read_run_length(JsonReader& r) {
    static const char* kExpected = "a uint32 run length";
    int c = r.peek_nonspace();
    if (c < 0) r.fail_peek(JsonErrc::EofWhileParsingValue);
    if (!starts_number(c)) fail_invalid_type(r, kExpected);
    JsonNumber n = r.read_number();
    if (n.kind == JsonNumber::U64 && n.u <= 0xFFFFFFFFu) return std::uint32_t(n.u);
    if (n.kind == JsonNumber::F64)
        r.fail_custom_here("invalid type: " + describe_float(n.d) + ", expected " + kExpected);
    r.fail_custom_here("invalid value: " + describe_number(n) + ", expected " + kExpected);
}

// The "counts" value of an RLE object.
void read_counts(JsonReader& r, SegmentationScan& out) {
    int c = r.peek_nonspace();
    if (c == '"') {
        r.advance();
        // A string whose only escapes are escaped backslashes is referenced
        // where it stands; anything else is decoded.
        const std::size_t start = r.offset();
        std::string_view text = r.text();
        const char* const base = text.data();
        const char* const end = base + text.size();
        bool escaped = false;
        for (const char* p = base + start;;) {
            p = json_detail::find_special<false>(p, end);  // a quote, a backslash or a control byte
            if (p == end || static_cast<unsigned char>(*p) < 0x20) break;
            if (*p == '"') {
                out.kind = SegmentationScan::CountsRef;
                out.counts_offset = start;
                out.counts_length = std::size_t(p - base) - start;
                out.counts_escaped = escaped;
                r.seek(std::size_t(p - base) + 1);
                return;
            }
            if (end - p < 2 || p[1] != '\\') break;
            escaped = true;
            p += 2;
        }
        out.kind = SegmentationScan::CountsOwned;
        out.counts.assign(r.read_string().text);
        return;
    }
    if (c == '[') {
        out.kind = SegmentationScan::Runs;
        out.runs.clear();
        r.enter_container();
        r.advance();
        bool first = true;
        while (r.next_element(first)) out.runs.push_back(read_run_length(r));
        r.advance();
        r.leave_container();
        return;
    }
    if (c < 0) r.fail_peek(JsonErrc::EofWhileParsingValue);
    fail_invalid_type(r, "a counts string or a list of run lengths");
}

// Reads the object at the cursor, handing the value of member `name` to
// read() and skipping the others after a syntax check; `name` given twice is
// a duplicate-field error. Returns whether it was there.
template <class F>
bool read_one_member(JsonReader& r, std::string_view name, F&& read) {
    r.enter_container();
    r.advance();
    bool first = true, seen = false;
    JsonString key;
    while (r.next_key(first, key)) {
        bool match = key.text == name;
        if (match && seen) fail_in_object(r, "duplicate field `" + std::string(name) + "`");
        r.member_colon();
        if (match) {
            seen = true;
            read();
        } else {
            r.skip_value();
        }
    }
    r.advance();
    r.leave_container();
    return seen;
}

// The strict reading of a segmentation value at the cursor.
void read_segmentation(JsonReader& r, SegmentationScan& out) {
    int c = r.peek_nonspace();
    if (c == '[') {
        out.kind = SegmentationScan::Polygons;
        out.coords.clear();
        out.ring_ends.clear();
        r.enter_container();
        r.advance();
        bool first = true;
        while (r.next_element(first)) {
            read_points(r, [&](double v) { out.coords.push_back(v); });
            if (out.coords.size() > 0xFFFFFFFFu) r.fail_custom_here("too many polygon coordinates");
            out.ring_ends.push_back(std::uint32_t(out.coords.size()));
        }
        r.advance();
        r.leave_container();
        return;
    }
    if (c == '{') {
        // "size" is skipped too: the image table gives the mask size.
        bool seen = read_one_member(r, "counts", [&] { read_counts(r, out); });
        if (!seen) r.fail_custom_here("RLE segmentation is missing counts");
        return;
    }
    if (c < 0) r.fail_peek(JsonErrc::EofWhileParsingValue);
    fail_invalid_type(r, "polygon rings or an RLE object");
}

std::string_view span_text(std::string_view snapshot, Span span) {
    return snapshot.substr(span.offset, span.length);
}

// All values of a keypoint list, strictly, as (x, y, v) triplets.
void read_triplets(JsonReader& r, std::vector<double>& xyv) {
    xyv.clear();
    read_points(r, [&](double v) { xyv.push_back(v); });
    if (xyv.size() % 3 != 0) r.fail_custom_here("incomplete keypoint triplet");
}

}  // namespace

void scan_segmentation(std::string_view snapshot, Span span, SegmentationScan& out) {
    out.kind = SegmentationScan::None;
    if (span.absent() || fast_polygons(span_text(snapshot, span), out)) return;
    JsonReader r(snapshot);
    r.seek(span.offset);
    read_segmentation(r, out);
}

Geometry to_geometry(const SegmentationScan& scan, std::string_view snapshot) {
    switch (scan.kind) {
        case SegmentationScan::Polygons:
            return Polygons{scan.coords, scan.ring_ends};
        case SegmentationScan::Runs:
            return UncompressedCounts{scan.runs};
        case SegmentationScan::CountsOwned:
            return CompressedCounts{scan.counts};
        case SegmentationScan::CountsRef: {
            std::string_view raw = snapshot.substr(scan.counts_offset, scan.counts_length);
            CompressedCounts c;
            // The text is decoded where it lies: copying every mask's counts
            // cost a pass over them and as much memory again. A huge mask is
            // kept compressed past the reading, so it takes its own copy.
            if (raw.size() < kPackedMaskBytes) {
                c.borrowed = raw;
                c.escaped = scan.counts_escaped;
                return c;
            }
            c.bytes.reserve(raw.size());
            for (std::size_t i = 0; i < raw.size(); ++i) {
                c.bytes.push_back(raw[i]);
                if (scan.counts_escaped && raw[i] == '\\') ++i;  // "\\\\" stands for one backslash
            }
            return c;
        }
        case SegmentationScan::None:
            break;
    }
    return std::monostate{};
}

bool scan_plain_keypoints(std::string_view snapshot, Span span, std::vector<double>& xyv, bool& present) {
    present = false;
    if (span.absent()) return true;
    // The span's text passed the syntax check when the snapshot was built,
    // so one walk reads it: a value, then a comma or the closing bracket.
    std::string_view text = span_text(snapshot, span);
    const char* p = text.data();
    const char* const end = p + text.size();
    auto skip_space = [&] {
        while (p != end && is_space_char(*p)) ++p;
    };
    skip_space();
    if (end - p == 4 && std::string_view(p, 4) == "null") return true;
    if (p == end || *p != '[') return false;
    const std::size_t start = xyv.size();
    const char* const open = p;
    const char* fast_end = plain_numbers::walk_array(p, end, [&](const char* q) -> const char* {
        double v;
        const char* last = plain_numbers::number(q, end, v);
        if (last != nullptr) xyv.push_back(v);
        return last;
    });
    if (fast_end != nullptr) {
        p = fast_end;
        skip_space();
        if (p == end && (xyv.size() - start) % 3 == 0) {
            present = xyv.size() > start;
            return true;
        }
    }
    // Literals and other spacing: the value by value walk, from the bracket again.
    xyv.resize(start);
    p = open + 1;
    skip_space();
    bool closed = p != end && *p == ']';
    while (!closed) {
        skip_space();
        double v;
        const std::string_view rest(p, std::size_t(end - p));
        if (rest.starts_with("true") || rest.starts_with("false")) {
            v = *p == 't' ? 1.0 : 0.0;
            p += *p == 't' ? 4 : 5;
        } else {
            auto res = parse_double(p, end, v);
            if (res.ec != std::errc() || !std::isfinite(v)) break;
            p = res.ptr;
        }
        xyv.push_back(v);
        skip_space();
        if (p == end || (*p != ',' && *p != ']')) break;
        closed = *p++ == ']';
    }
    if (!closed || (xyv.size() - start) % 3 != 0) {
        xyv.resize(start);
        return false;
    }
    present = xyv.size() > start;
    return true;
}

bool KeypointReader::read(std::string_view snapshot, Span span, std::vector<double>& xy,
                          std::vector<std::uint8_t>* visible) {
    if (span.absent()) return false;
    JsonReader r(snapshot);
    r.seek(span.offset);
    if (take_null(r)) return false;
    read_triplets(r, xyv_);
    if (xyv_.empty()) return false;
    std::size_t n = xyv_.size() / 3;
    if (!k_)
        k_ = std::uint32_t(n);
    else if (n != *k_)
        r.fail_custom_here("inconsistent keypoint counts");
    for (std::size_t i = 0; i < n; ++i) {
        xy.push_back(xyv_[3 * i]);
        xy.push_back(xyv_[3 * i + 1]);
        if (visible) visible->push_back(xyv_[3 * i + 2] > 0 ? 1 : 0);
    }
    return true;
}

void read_segmentations_sequentially(std::string_view snapshot, std::size_t rows,
                                     const std::function<bool(std::size_t)>& wanted,
                                     const std::function<void(std::size_t, SegmentationScan&)>& visit) {
    JsonReader r(snapshot);
    if (r.peek_nonspace() != '[') fail_invalid_type(r, "bbox annotations");
    r.enter_container();
    r.advance();
    bool first = true;
    SegmentationScan scan;
    for (std::size_t i = 0; i < rows; ++i) {
        if (!r.next_element(first)) r.fail_custom_here("missing mask annotation");
        if (!wanted(i)) {
            r.skip_value();
            continue;
        }
        scan.kind = SegmentationScan::None;
        int c = r.peek_nonspace();
        if (c == '{') {
            read_one_member(r, "segmentation", [&] {
                if (!take_null(r)) read_segmentation(r, scan);
            });
        } else if (c == '[') {
            // A record written as its eleven values: segmentation is the ninth.
            r.enter_container();
            r.advance();
            bool first_value = true;
            for (int f = 0; r.next_element(first_value); ++f) {
                if (f == kSegmentation && !take_null(r))
                    read_segmentation(r, scan);
                else if (f != kSegmentation)
                    r.skip_value();
            }
            r.advance();
            r.leave_container();
        } else {
            r.skip_value();
        }
        visit(i, scan);
    }
}

}  // namespace zerlin
