#include "zerlin/snapshot.hpp"
#include "zerlin/text.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>

#include "zerlin/hashmap.hpp"
#include "zerlin/pool.hpp"

namespace zerlin {

// ---------------------------------------------------------------- columns

void AnnotationColumns::reserve(std::size_t rows) {
    boxes.reserve(4 * rows);
    scores.reserve(rows);
    if (wide_ids) ids64.reserve(2 * rows);
    else ids32.reserve(2 * rows);
    if (ground_truth) {
        gt_ids.reserve(rows);
        gt_areas.reserve(rows);
        gt_crowd.reserve(rows);
    }
}

static bool fits32(std::int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }

static void widen(AnnotationColumns& c) {
    c.ids64.assign(c.ids32.begin(), c.ids32.end());
    c.ids32.clear();
    c.ids32.shrink_to_fit();
    c.wide_ids = true;
}

void AnnotationColumns::push(const double box[4], double score, std::int64_t image_id, std::int64_t category_id) {
    boxes.insert(boxes.end(), box, box + 4);
    scores.push_back(score);
    if (!wide_ids && !(fits32(image_id) && fits32(category_id))) widen(*this);
    if (wide_ids) {
        ids64.push_back(image_id);
        ids64.push_back(category_id);
    } else {
        ids32.push_back(std::int32_t(image_id));
        ids32.push_back(std::int32_t(category_id));
    }
}

void AnnotationColumns::push_segmentation(Span s) {
    if (!has_segmentation) {
        if (s.absent()) return;
        has_segmentation = true;
        segmentation.assign(size() - 1, Span{});  // rows before this one had none
    }
    segmentation.push_back(s);
}

void AnnotationColumns::push_pose(Span keypoints, Span num_keypoints) {
    if (!has_pose) {
        if (keypoints.absent() && num_keypoints.absent()) return;
        has_pose = true;
        pose.assign(2 * (size() - 1), Span{});
    }
    pose.push_back(keypoints);
    pose.push_back(num_keypoints);
}

void AnnotationColumns::push_box_missing(bool missing) {
    if (!has_missing_boxes) {
        if (!missing) return;
        has_missing_boxes = true;
        box_missing.assign(size() - 1, 0);
    }
    box_missing.push_back(missing ? 1 : 0);
}

template <class T>
static void append_vec(std::vector<T>& a, std::vector<T>& b) {
    if (a.empty()) a.swap(b);
    else a.insert(a.end(), b.begin(), b.end());
}

// Brings a lazily created column to `rows` rows of `per_row` absent values.
template <class T>
static void fill_absent(std::vector<T>& v, bool& has, std::size_t rows, std::size_t per_row, T absent) {
    if (!has) {
        v.assign(rows * per_row, absent);
        has = true;
    }
}

void AnnotationColumns::append(AnnotationColumns&& o) {
    std::size_t n = size(), m = o.size();
    if (o.has_segmentation || has_segmentation) {
        fill_absent(segmentation, has_segmentation, n, 1, Span{});
        fill_absent(o.segmentation, o.has_segmentation, m, 1, Span{});
        append_vec(segmentation, o.segmentation);
    }
    if (o.has_pose || has_pose) {
        fill_absent(pose, has_pose, n, 2, Span{});
        fill_absent(o.pose, o.has_pose, m, 2, Span{});
        append_vec(pose, o.pose);
    }
    if (o.has_missing_boxes || has_missing_boxes) {
        fill_absent<std::uint8_t>(box_missing, has_missing_boxes, n, 1, 0);
        fill_absent<std::uint8_t>(o.box_missing, o.has_missing_boxes, m, 1, 0);
        append_vec(box_missing, o.box_missing);
    }
    if (o.wide_ids && !wide_ids) widen(*this);
    if (wide_ids && !o.wide_ids) widen(o);
    append_vec(boxes, o.boxes);
    append_vec(scores, o.scores);
    append_vec(ids32, o.ids32);
    append_vec(ids64, o.ids64);
    append_vec(gt_ids, o.gt_ids);
    append_vec(gt_areas, o.gt_areas);
    append_vec(gt_crowd, o.gt_crowd);
}

void AnnotationColumns::shrink_to_fit() {
    boxes.shrink_to_fit();
    scores.shrink_to_fit();
    ids32.shrink_to_fit();
    ids64.shrink_to_fit();
    gt_ids.shrink_to_fit();
    gt_areas.shrink_to_fit();
    gt_crowd.shrink_to_fit();
    segmentation.shrink_to_fit();
    pose.shrink_to_fit();
    box_missing.shrink_to_fit();
}

// ---------------------------------------------------------------- messages

std::string describe_float(double v) {
    // Plain decimal digits, the shortest that read back the same, and ".0"
    // when there is no fraction: 1e20 -> "100000000000000000000.0".
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    std::string s(buf, res.ptr);
    if (s.find('.') == std::string::npos) s += ".0";
    return "floating point `" + s + "`";
}

std::string describe_string(std::string_view s) { return "string " + quote_literal(s); }

namespace {

std::string describe_number(const JsonNumber& n) {
    if (n.kind == JsonNumber::U64) return "integer `" + std::to_string(n.u) + "`";
    if (n.kind == JsonNumber::I64) return "integer `" + std::to_string(n.i) + "`";
    return describe_float(n.d);
}

bool starts_number(int c) { return c == '-' || (c >= '0' && c <= '9'); }

// Handler that keeps nothing.
struct Discard {
    void on_null() {}
    void on_bool(bool) {}
    void on_u64(std::uint64_t) {}
    void on_i64(std::int64_t) {}
    void on_double(double) {}
    void on_string(JsonString) {}
    void on_key(JsonString) {}
    void on_array_begin() {}
    void on_array_end() {}
    void on_object_begin() {}
    void on_object_end() {}
};

// A rule broken inside an object, reported once the object's closing brace
// (if it comes next) has been read.
[[noreturn]] void fail_in_object(JsonReader& r, std::string reason) {
    if (r.peek_nonspace() == '}') r.advance();
    r.fail_custom_here(std::move(reason));
}

// The same inside an array: a closing bracket, or a comma and the
// whitespace after it, are read first.
[[noreturn]] void fail_in_array(JsonReader& r, std::string reason) {
    int c = r.peek_nonspace();
    if (c == ']') {
        r.advance();
    } else if (c == ',') {
        r.advance();
        r.peek_nonspace();
    }
    r.fail_custom_here(std::move(reason));
}

// The value at the cursor is of the wrong kind: read it (a scalar whole,
// a container not at all) and report it as found.
[[noreturn]] void fail_invalid_type(JsonReader& r, const char* expected) {
    int c = r.peek_nonspace();
    std::string found;
    switch (c) {
        case 'n': r.advance(); r.read_literal("ull", 3); found = "null"; break;
        case 't': r.advance(); r.read_literal("rue", 3); found = "boolean `true`"; break;
        case 'f': r.advance(); r.read_literal("alse", 4); found = "boolean `false`"; break;
        case '"': r.advance(); found = describe_string(r.read_string().text); break;
        case '[': found = "sequence"; break;
        case '{': found = "map"; break;
        default:
            if (!starts_number(c)) r.fail_peek(JsonErrc::ExpectedSomeValue);
            found = describe_number(r.read_number());
    }
    r.fail_custom_here("invalid type: " + found + ", expected " + expected);
}

// A container where a scalar was expected by a reader that takes any kind:
// the container is opened, and closed again if it is empty.
[[noreturn]] void fail_container(JsonReader& r, int open, const char* expected) {
    r.enter_container();
    r.advance();
    if (open == '[') fail_in_array(r, std::string("invalid type: sequence, expected ") + expected);
    fail_in_object(r, std::string("invalid type: map, expected ") + expected);
}

std::int64_t read_i64(JsonReader& r) {
    int c = r.peek_nonspace();
    if (c < 0) r.fail_peek(JsonErrc::EofWhileParsingValue);
    if (!starts_number(c)) fail_invalid_type(r, "i64");
    JsonNumber n = r.read_number();
    if (n.kind == JsonNumber::I64) return n.i;
    if (n.kind == JsonNumber::U64) {
        if (n.u <= std::uint64_t(INT64_MAX)) return std::int64_t(n.u);
        r.fail_custom_here("invalid value: integer `" + std::to_string(n.u) + "`, expected i64");
    }
    r.fail_custom_here("invalid type: " + describe_float(n.d) + ", expected i64");
}

// A whole-number float in the int64 range as that integer.
bool whole_i64(double d, std::int64_t& out) {
    if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0) || std::trunc(d) != d) return false;
    out = std::int64_t(d);
    return true;
}

// An integer, or under the reference grammar also a float holding a whole
// number (the reference loader keys by value, and 3.0 == 3).
std::int64_t read_id(JsonReader& r, RecordGrammar grammar) {
    if (grammar == RecordGrammar::Compact) return read_i64(r);
    int c = r.peek_nonspace();
    if (c < 0) r.fail_peek(JsonErrc::EofWhileParsingValue);
    if (!starts_number(c)) fail_invalid_type(r, "i64");
    const std::size_t start = r.offset();
    JsonNumber n = r.read_number();
    std::int64_t v;
    if (n.kind == JsonNumber::F64 && whole_i64(n.d, v)) return v;
    r.seek(start);
    return read_i64(r);
}

double number_value(const JsonNumber& n) {
    if (n.kind == JsonNumber::U64) return double(n.u);
    if (n.kind == JsonNumber::I64) return double(n.i);
    return n.d;
}

// "null" at the cursor: read it and say so.
bool take_null(JsonReader& r) {
    if (r.peek_nonspace() != 'n') return false;
    r.advance();
    r.read_literal("ull", 3);
    return true;
}

std::optional<double> read_optional_f64(JsonReader& r) {
    if (take_null(r)) return std::nullopt;
    int c = r.peek_nonspace();
    if (c < 0) r.fail_peek(JsonErrc::EofWhileParsingValue);
    if (!starts_number(c)) fail_invalid_type(r, "f64");
    return number_value(r.read_number());
}

constexpr const char* kCoordinate = "a bbox coordinate with an exactly representable integer part";
constexpr std::uint64_t kExactInteger = std::uint64_t(1) << 53;

double read_coordinate(JsonReader& r) {
    int c = r.peek_nonspace();
    if (c == '[' || c == '{') fail_container(r, c, kCoordinate);
    if (c < 0) r.fail_peek(JsonErrc::EofWhileParsingValue);
    if (!starts_number(c)) fail_invalid_type(r, kCoordinate);
    JsonNumber n = r.read_number();
    if ((n.kind == JsonNumber::U64 && n.u > kExactInteger) ||
        (n.kind == JsonNumber::I64 && n.i < -std::int64_t(kExactInteger)))
        r.fail_custom_here("bbox integer exceeds exact float64 range");
    return number_value(n);
}

void read_bbox(JsonReader& r, double out[4]) {
    static const char* kExpected = "an array of length 4";
    int c = r.peek_nonspace();
    if (c < 0) r.fail_peek(JsonErrc::EofWhileParsingValue);
    if (c != '[') fail_invalid_type(r, kExpected);
    r.enter_container();
    r.advance();
    bool first = true;
    for (int i = 0; i < 4; ++i) {
        if (!r.next_element(first))
            fail_in_array(r, "invalid length " + std::to_string(i) + ", expected " + kExpected);
        out[i] = read_coordinate(r);
    }
    r.end_array();
    r.leave_container();
}

}  // namespace

void read_any_value(JsonReader& r) {
    Discard d;
    r.parse_value(d);
}

namespace {

// ---------------------------------------------------------------- records

enum Field : int {
    kCaption, kId, kImageId, kCategoryId, kBbox, kArea, kScore, kIscrowd, kSegmentation, kKeypoints, kNumKeypoints,
    kFieldCount, kUnknown = -1,
};

constexpr const char* kFieldNames[kFieldCount] = {
    "caption", "id", "image_id", "category_id", "bbox", "area", "score", "iscrowd",
    "segmentation", "keypoints", "num_keypoints",
};

int field_of(std::string_view key) {
    // The length and first byte single out the candidate name.
    int f = kUnknown;
    switch (key.size()) {
        case 2: f = kId; break;
        case 4: f = kBbox; break;
        case 5: f = kScore; break;
        case 7: f = key[0] == 'c' ? kCaption : key[0] == 'i' ? kIscrowd : kUnknown; break;
        case 8: f = key[0] == 'i' ? kImageId : kUnknown; break;
        case 9: f = kKeypoints; break;
        case 11: f = kCategoryId; break;
        case 12: f = kSegmentation; break;
        case 13: f = kNumKeypoints; break;
        default: break;
    }
    if (key.size() == 4 && key[0] == 'a') f = kArea;
    return f != kUnknown && key == kFieldNames[f] ? f : kUnknown;
}

struct Record {
    bool seen[kFieldCount] = {};
    bool caption = false;
    std::optional<std::int64_t> id;
    std::int64_t image_id = 0, category_id = 0;
    double bbox[4] = {0, 0, 0, 0};
    std::optional<double> area, score;
    int crowd = -1;  // -1 absent or null, else 0/1
    Span segmentation, keypoints, num_keypoints;
    bool has_pose = false;  // keypoints or num_keypoints given and not null
};

class RecordReader {
public:
    RecordReader(JsonReader& r, bool spans_kept, RecordGrammar grammar)
        : r_(r), spans_kept_(spans_kept), grammar_(grammar) {}

    // One record, an object or an array of the eleven fields in order.
    void read(Record& rec) {
        rec = Record{};
        int c = r_.peek_nonspace();
        if (c == '{') read_object(rec);
        else if (c == '[') read_array(rec);
        else if (c < 0) r_.fail_peek(JsonErrc::EofWhileParsingValue);
        else fail_invalid_type(r_, "struct Record");
    }

private:
    void read_object(Record& rec) {
        r_.enter_container();
        r_.advance();
        bool first = true;
        JsonString key;
        while (r_.next_key(first, key)) {
            int f = field_of(key.text);
            if (f != kUnknown) {
                if (rec.seen[f]) fail_in_object(r_, std::string("duplicate field `") + kFieldNames[f] + "`");
                rec.seen[f] = true;
            }
            r_.member_colon();
            read_field(f, rec, false);
        }
        r_.advance();
        r_.leave_container();
        // A box the reference grammar may derive is checked with the file's shape.
        for (int f : {kImageId, kCategoryId, kBbox})
            if (!rec.seen[f] && (f != kBbox || grammar_ == RecordGrammar::Compact))
                r_.fail_custom_here(std::string("missing field `") + kFieldNames[f] + "`");
    }

    void read_array(Record& rec) {
        r_.enter_container();
        r_.advance();
        bool first = true;
        for (int f = 0; f < kFieldCount; ++f) {
            if (!r_.next_element(first))
                fail_in_array(r_, "invalid length " + std::to_string(f) + ", expected struct Record with 11 elements");
            rec.seen[f] = true;
            read_field(f, rec, true);
        }
        r_.end_array();
        r_.leave_container();
    }

    void read_field(int f, Record& rec, bool in_array) {
        switch (f) {
            case kCaption: r_.skip_value(); rec.caption = true; return;
            case kId:
                // The reference loader renumbers results whatever their ids say.
                if (grammar_ == RecordGrammar::Reference) r_.skip_value();
                else if (!take_null(r_)) rec.id = read_i64(r_);
                return;
            case kImageId: rec.image_id = read_id(r_, grammar_); return;
            case kCategoryId: rec.category_id = read_id(r_, grammar_); return;
            case kBbox: read_bbox(r_, rec.bbox); return;
            case kArea: rec.area = read_optional_f64(r_); return;
            case kScore: rec.score = read_optional_f64(r_); return;
            case kIscrowd: rec.crowd = read_crowd(in_array); return;
            case kSegmentation: read_span(rec.segmentation); return;
            case kKeypoints: rec.has_pose |= read_span(rec.keypoints); return;
            case kNumKeypoints: rec.has_pose |= read_span(rec.num_keypoints); return;
            default: r_.skip_value(); return;
        }
    }

    // true / false / an integer, or null (-1). Anything else is read whole
    // and then refused.
    int read_crowd(bool in_array) {
        if (take_null(r_)) return -1;
        int c = r_.peek_nonspace();
        if (c == 't' || c == 'f') {
            r_.advance();
            r_.read_literal(c == 't' ? "rue" : "alse", c == 't' ? 3 : 4);
            return c == 't';
        }
        if (starts_number(c)) {
            JsonNumber n = r_.read_number();
            if (n.kind == JsonNumber::I64) return 1;
            if (n.kind == JsonNumber::U64 && n.u <= std::uint64_t(INT64_MAX)) return n.u != 0;
            std::int64_t whole;
            if (n.kind == JsonNumber::F64 && grammar_ == RecordGrammar::Reference && whole_i64(n.d, whole))
                return whole != 0;
        } else {
            read_any_value(r_);
        }
        const char* msg = "data did not match any variant of untagged enum Crowd";
        if (in_array) fail_in_array(r_, msg);
        fail_in_object(r_, msg);
    }

    // The text of any value (syntax-checked, valid UTF-8) into `out` when
    // spans are kept. False for null, which stands for no value.
    bool read_span(Span& out) {
        out = Span{};
        if (take_null(r_)) return false;
        r_.peek_nonspace();
        std::size_t start = r_.offset();
        r_.skip_value();
        std::size_t end = r_.offset();
        const char* base = r_.text().data();
        if (!json_detail::utf8_valid(base + start, base + end)) r_.fail_here(JsonErrc::InvalidUnicodeCodePoint);
        if (spans_kept_) out = Span{std::uint32_t(start), std::uint32_t(end - start)};
        return true;
    }

    JsonReader& r_;
    bool spans_kept_;
    RecordGrammar grammar_;
};

// Checks a parsed record against the file's rules and appends its row.
class RowAppender {
public:
    // `first_rows` says whether the first record read is the file's first,
    // which chooses the results shape under the reference grammar.
    RowAppender(AnnotationColumns& cols, bool results, bool spans_kept, RecordGrammar grammar, bool first_rows)
        : cols_(cols), results_(results), spans_kept_(spans_kept), grammar_(grammar), first_rows_(first_rows),
          ids_(results ? 16 : 112) {
        cols_.ground_truth = !results;
    }

    // The reader stands just after the record, where rule errors are reported.
    void append(const Record& rec, const JsonReader& r) {
        if (results_ && rec.caption) r.fail_custom_here("caption results require caption loading");
        const bool box_missing = !rec.seen[kBbox];
        if (grammar_ == RecordGrammar::Reference) {
            if (first_rows_ && cols_.size() == 0) cols_.shape = shape_of(rec);
            // Only a chunk holding the first record knows the shape; the
            // others keep their rows, checked once the chunks are merged.
            if (box_missing && first_rows_ && cols_.shape == ResultsShape::Boxes)
                r.fail_custom_here("missing field `bbox`");
        }
        if (!results_) {
            if (!rec.id) r.fail_custom_here("missing GT id");
            if (!ids_.insert(*rec.id, 0).second) r.fail_custom_here("duplicate GT ids require dictionary indexing");
        }
        if (rec.has_pose && !spans_kept_) r.fail_custom_here("pose files of 4 GiB or more require dictionary loading");
        static constexpr double kUnknownBox[4] = {NAN, NAN, NAN, NAN};
        const double* b = box_missing ? kUnknownBox : rec.bbox;
        cols_.push(b, rec.score.value_or(0.0), rec.image_id, rec.category_id);
        cols_.push_pose(rec.keypoints, rec.num_keypoints);
        cols_.push_segmentation(rec.segmentation);
        if (grammar_ == RecordGrammar::Reference) cols_.push_box_missing(box_missing);
        if (!results_) {
            cols_.gt_ids.push_back(*rec.id);
            cols_.gt_areas.push_back(rec.area ? *rec.area : b[2] * b[3]);
            cols_.gt_crowd.push_back(rec.crowd > 0 ? 1 : 0);
        }
    }

    std::size_t size() const noexcept { return cols_.size(); }

    // Room for about as many rows as records of `record_bytes` fit in `bytes`.
    void reserve_like(std::size_t record_bytes, std::size_t bytes) {
        cols_.reserve(std::size_t(double(bytes) / double(std::max<std::size_t>(record_bytes, 1)) * 1.125) + 16);
    }

private:
    static ResultsShape shape_of(const Record& rec) {
        if (rec.seen[kBbox] || !(rec.seen[kSegmentation] || rec.seen[kKeypoints])) return ResultsShape::Boxes;
        return rec.seen[kSegmentation] ? ResultsShape::Masks : ResultsShape::Keypoints;
    }

    AnnotationColumns& cols_;
    bool results_;
    bool spans_kept_;
    RecordGrammar grammar_;
    bool first_rows_;
    HashMap<std::int64_t, char> ids_;
};

// The array of records at the cursor (results top level or a dataset's
// "annotations"), every row appended.
void read_record_array(JsonReader& r, RowAppender& rows, bool spans_kept, RecordGrammar grammar) {
    int c = r.peek_nonspace();
    if (c < 0) r.fail_peek(JsonErrc::EofWhileParsingValue);
    if (c != '[') fail_invalid_type(r, "bbox annotations");
    r.enter_container();
    r.advance();
    RecordReader records(r, spans_kept, grammar);
    Record rec;
    bool first = true;
    while (r.next_element(first)) {
        std::size_t begin = r.offset();
        records.read(rec);
        rows.append(rec, r);
        if (rows.size() == 1) rows.reserve_like(r.offset() - begin, r.text().size() - begin);
    }
    r.advance();
    r.leave_container();
}

void read_dataset(JsonReader& r, RowAppender& rows, bool spans_kept, DatasetSink& sink) {
    int c = r.peek_nonspace();
    if (c < 0) r.fail_peek(JsonErrc::EofWhileParsingValue);
    if (c != '{') fail_invalid_type(r, "COCO dataset");
    r.enter_container();
    r.advance();
    bool first = true, seen_annotations = false;
    JsonString key;
    std::string key_copy;  // the key's bytes may live in scratch the value reuses
    while (r.next_key(first, key)) {
        key_copy.assign(key.text);
        JsonString k{key_copy, key.ascii};
        if (key.text == "annotations") {
            if (seen_annotations) fail_in_object(r, "duplicate annotation arrays require ordinary JSON loading");
            seen_annotations = true;
            r.member_colon();
            read_record_array(r, rows, spans_kept, RecordGrammar::Compact);
            sink.annotations(k);
        } else {
            r.member_colon();
            sink.member(k, r);
        }
    }
    r.advance();
    r.leave_container();
    if (!seen_annotations) r.fail_custom_here("missing annotations");
}

// ---------------------------------------------------------------- parallel results

constexpr std::size_t kParallelMinBytes = 4u << 20;

// Offset of the '{' in the first "}<ws>,<ws>{" at or after `from`, or npos.
std::size_t find_record_start(std::string_view text, std::size_t from) {
    auto is_ws = [](char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; };
    while (from < text.size()) {
        const void* hit = std::memchr(text.data() + from, '}', text.size() - from);
        if (!hit) return std::string_view::npos;
        std::size_t i = std::size_t(static_cast<const char*>(hit) - text.data()) + 1;
        while (i < text.size() && is_ws(text[i])) ++i;
        if (i < text.size() && text[i] == ',') {
            ++i;
            while (i < text.size() && is_ws(text[i])) ++i;
            if (i < text.size() && text[i] == '{') return i;
        }
        from = std::size_t(static_cast<const char*>(hit) - text.data()) + 1;
    }
    return std::string_view::npos;
}

// Records from `start` up to `stop` (the next chunk's first record), or to
// the closing bracket and the end of the document for the last chunk.
// Throws on anything else; the caller then parses the file sequentially.
struct ChunkPlan {
    bool spans_kept;
    RecordGrammar grammar;
};

AnnotationColumns read_chunk(std::string_view text, std::size_t start, std::size_t stop, bool first, bool last,
                             ChunkPlan plan) {
    AnnotationColumns cols;
    RowAppender rows(cols, true, plan.spans_kept, plan.grammar, first);
    JsonReader r(text);
    r.seek(start);
    r.enter_container();  // the top-level array
    RecordReader records(r, plan.spans_kept, plan.grammar);
    Record rec;
    for (;;) {
        std::size_t begin = r.offset();
        records.read(rec);
        rows.append(rec, r);
        if (rows.size() == 1) rows.reserve_like(r.offset() - begin, (last ? text.size() : stop) - start);
        int c = r.peek_nonspace();
        if (c == ',') {
            r.advance();
            r.peek_nonspace();
            if (!last && r.offset() == stop) return cols;
            if (!last && r.offset() > stop) throw_json_error(JsonErrc::Custom, text, r.offset());
            continue;
        }
        if (last && c == ']') {
            r.advance();
            r.finish();
            return cols;
        }
        throw_json_error(JsonErrc::Custom, text, r.offset());
    }
}

std::optional<AnnotationColumns> read_results_parallel(std::string_view text, ChunkPlan plan) {
    std::size_t threads = Pool::global().size();
    if (threads < 2 || text.size() < kParallelMinBytes) return std::nullopt;
    JsonReader r(text);
    if (r.peek_nonspace() != '[') return std::nullopt;
    r.advance();
    if (r.peek_nonspace() != '{') return std::nullopt;
    std::vector<std::size_t> starts{r.offset()};
    const std::size_t pieces = 4 * threads, stretch = text.size() / pieces;
    for (std::size_t m = 1; m < pieces; ++m) {
        std::size_t at = find_record_start(text, std::max(m * stretch, starts.front()));
        if (at != std::string_view::npos && at > starts.back()) starts.push_back(at);
    }
    const std::size_t n = starts.size();
    std::vector<std::optional<AnnotationColumns>> parts(n);
    std::atomic<bool> failed{false};
    parallel_for(n, 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e && !failed.load(std::memory_order_relaxed); ++i) {
            try {
                bool last = i + 1 == n;
                parts[i] = read_chunk(text, starts[i], last ? text.size() : starts[i + 1], i == 0, last, plan);
            } catch (...) {
                failed = true;
            }
        }
    });
    if (failed) return std::nullopt;
    AnnotationColumns all;
    all.ground_truth = false;
    all.shape = parts.front()->shape;
    for (auto& p : parts) all.append(std::move(*p));
    // Rows without a box in a file of boxes: the sequential pass names the first.
    if (all.shape == ResultsShape::Boxes && all.has_missing_boxes) return std::nullopt;
    return all;
}

}  // namespace

SnapshotColumns build_snapshot(std::string_view text, bool results, DatasetSink* sink, bool parallel,
                               RecordGrammar grammar) {
    if (!results && grammar != RecordGrammar::Compact) throw_internal("the reference grammar is for results files");
    SnapshotColumns out;
    out.spans_kept = text.size() <= kMaxSpanFileBytes;
    if (results && parallel) {
        if (auto cols = read_results_parallel(text, ChunkPlan{out.spans_kept, grammar})) {
            out.columns = std::move(*cols);
            out.columns.shrink_to_fit();
            return out;
        }
    }
    JsonReader r(text);
    RowAppender rows(out.columns, results, out.spans_kept, grammar, true);
    if (results) {
        read_record_array(r, rows, out.spans_kept, grammar);
    } else {
        if (!sink) throw_internal("a dataset snapshot needs a sink for its members");
        read_dataset(r, rows, out.spans_kept, *sink);
    }
    r.finish();
    out.columns.shrink_to_fit();
    return out;
}

// ---------------------------------------------------------------- geometry scanners

namespace {

bool is_space_char(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_space_char(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space_char(s.back())) s.remove_suffix(1);
    return s;
}

// Calls f(token) for each comma-separated token of s (none when s is blank);
// stops and returns false as soon as f does.
template <class F>
bool for_each_token(std::string_view s, F&& f) {
    if (trim(s).empty()) return true;
    for (;;) {
        std::size_t comma = s.find(',');
        if (!f(trim(s.substr(0, comma)))) return false;
        if (comma == std::string_view::npos) return true;
        s.remove_prefix(comma + 1);
    }
}

bool is_digit_char(char c) { return c >= '0' && c <= '9'; }

// true/false as 1/0, or a decimal literal with a finite value.
bool token_value(std::string_view t, double& v) {
    if (t == "true") return v = 1.0, true;
    if (t == "false") return v = 0.0, true;
    if (t.empty() || !(t[0] == '-' || is_digit_char(t[0]))) return false;
    auto res = std::from_chars(t.data(), t.data() + t.size(), v);
    return res.ec == std::errc() && res.ptr == t.data() + t.size() && std::isfinite(v);
}

bool fast_polygons(std::string_view text, SegmentationScan& out) {
    text = trim(text);
    if (text.size() < 2 || text.front() != '[' || text.back() != ']') return false;
    out.coords.clear();
    out.ring_ends.clear();
    std::string_view rest = trim(text.substr(1, text.size() - 2));
    while (!rest.empty()) {
        if (rest.front() != '[') return false;
        std::size_t close = rest.find(']');
        if (close == std::string_view::npos) return false;
        std::string_view inner = rest.substr(1, close - 1);
        if (inner.find('[') != std::string_view::npos) return false;
        bool ok = for_each_token(inner, [&](std::string_view t) {
            double v;
            if (!token_value(t, v)) return false;
            out.coords.push_back(v);
            return true;
        });
        if (!ok || out.coords.size() > 0xFFFFFFFFu) return false;
        out.ring_ends.push_back(std::uint32_t(out.coords.size()));
        rest = trim(rest.substr(close + 1));
        if (rest.empty()) break;
        if (rest.front() != ',') return false;
        rest = trim(rest.substr(1));
        if (rest.empty()) return false;
    }
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
    if (n.kind == JsonNumber::F64) r.fail_custom_here("invalid type: " + describe_float(n.d) + ", expected " + kExpected);
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
        bool escaped = false;
        for (std::size_t i = start; i < text.size(); ++i) {
            char ch = text[i];
            if (ch == '"') {
                out.kind = SegmentationScan::CountsRef;
                out.counts_offset = start;
                out.counts_length = i - start;
                out.counts_escaped = escaped;
                r.seek(i + 1);
                return;
            }
            if (static_cast<unsigned char>(ch) < 0x20) break;
            if (ch == '\\') {
                if (i + 1 >= text.size() || text[i + 1] != '\\') break;
                escaped = true;
                ++i;
            }
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

// Runs body, turning a reader error into its message.
template <class F>
std::optional<std::string> scanning(F&& body) {
    try {
        body();
    } catch (const JsonError& e) {
        return std::string(e.what());
    }
    return std::nullopt;
}

std::string_view span_text(std::string_view snapshot, Span span) {
    return snapshot.substr(span.offset, span.length);
}

bool fast_keypoints(std::string_view text, std::size_t k, double* out, std::size_t out_len) {
    if (out && out_len != 2 * k) return false;
    if (text.size() < 2 || text.front() != '[' || text.back() != ']') return false;
    std::size_t i = 0;
    bool ok = for_each_token(text.substr(1, text.size() - 2), [&](std::string_view t) {
        if (i >= 3 * k) return false;
        bool stored = out && i % 3 != 2;
        double v = 0;
        bool plain = !stored && t.size() < 301 && !t.empty() && (t[0] == '-' || is_digit_char(t[0])) &&
                     t.find_first_of("eE") == std::string_view::npos;
        if (!plain && !token_value(t, v)) return false;
        if (stored) out[2 * (i / 3) + i % 3] = v;
        ++i;
        return true;
    });
    return ok && i == 3 * k;
}

// All values of a keypoint list, strictly, as (x, y, v) triplets.
void read_triplets(JsonReader& r, std::vector<double>& xyv) {
    xyv.clear();
    read_points(r, [&](double v) { xyv.push_back(v); });
    if (xyv.size() % 3 != 0) r.fail_custom_here("incomplete keypoint triplet");
}

}  // namespace

std::optional<std::string> scan_segmentation(std::string_view snapshot, Span span, SegmentationScan& out) {
    out.kind = SegmentationScan::None;
    if (span.absent()) return std::nullopt;
    if (fast_polygons(span_text(snapshot, span), out)) return std::nullopt;
    return scanning([&] {
        JsonReader r(snapshot);
        r.seek(span.offset);
        read_segmentation(r, out);
    });
}

Geometry to_geometry(const SegmentationScan& scan, std::string_view snapshot) {
    switch (scan.kind) {
        case SegmentationScan::Polygons: return Polygons{scan.coords, scan.ring_ends};
        case SegmentationScan::Runs: return UncompressedCounts{scan.runs};
        case SegmentationScan::CountsOwned: return CompressedCounts{scan.counts};
        case SegmentationScan::CountsRef: {
            std::string_view raw = snapshot.substr(scan.counts_offset, scan.counts_length);
            CompressedCounts c;
            c.bytes.reserve(raw.size());
            for (std::size_t i = 0; i < raw.size(); ++i) {
                c.bytes.push_back(raw[i]);
                if (scan.counts_escaped && raw[i] == '\\') ++i;  // "\\\\" stands for one backslash
            }
            return c;
        }
        case SegmentationScan::None: break;
    }
    return std::monostate{};
}

std::optional<std::string> scan_keypoints(std::string_view snapshot, Span span, std::size_t k, double* out,
                                          std::size_t out_len) {
    if (span.absent()) return std::nullopt;
    if (fast_keypoints(span_text(snapshot, span), k, out, out_len)) return std::nullopt;
    return scanning([&] {
        JsonReader r(snapshot);
        r.seek(span.offset);
        std::vector<double> xyv;
        read_triplets(r, xyv);
        if (xyv.size() != 3 * k) r.fail_custom_here("inconsistent keypoint counts");
        for (std::size_t i = 0; i < xyv.size(); ++i) {
            std::size_t slot = 2 * (i / 3) + i % 3;
            if (out && i % 3 != 2 && slot < out_len) out[slot] = xyv[i];
        }
    });
}

std::optional<std::string> KeypointReader::read(std::string_view snapshot, Span span, std::vector<double>& xy,
                                                std::vector<std::uint8_t>* visible, bool& has_points) {
    has_points = false;
    if (span.absent()) return std::nullopt;
    return scanning([&] {
        JsonReader r(snapshot);
        r.seek(span.offset);
        if (take_null(r)) return;
        read_triplets(r, xyv_);
        if (xyv_.empty()) return;
        std::size_t n = xyv_.size() / 3;
        if (!k_) k_ = std::uint32_t(n);
        else if (n != *k_) r.fail_custom_here("inconsistent keypoint counts");
        for (std::size_t i = 0; i < n; ++i) {
            xy.push_back(xyv_[3 * i]);
            xy.push_back(xyv_[3 * i + 1]);
            if (visible) visible->push_back(xyv_[3 * i + 2] > 0 ? 1 : 0);
        }
        has_points = true;
    });
}

std::optional<std::string> read_segmentations_sequentially(std::string_view snapshot, std::size_t rows,
                                                           const std::function<bool(std::size_t)>& wanted,
                                                           const std::function<void(std::size_t, SegmentationScan&)>& visit) {
    return scanning([&] {
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
                    if (f == kSegmentation && !take_null(r)) read_segmentation(r, scan);
                    else if (f != kSegmentation) r.skip_value();
                }
                r.advance();
                r.leave_container();
            } else {
                r.skip_value();
            }
            visit(i, scan);
        }
    });
}

}  // namespace zerlin
