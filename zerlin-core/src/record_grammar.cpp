// The record grammar of annotation and results files, and the snapshot
// builder (sequential, and in chunks on the worker pool for large record
// arrays: a results file's, a dataset's annotations).
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <optional>
#include <utility>

#include "os/os.hpp"
#include "plain_numbers.hpp"
#include "record_values.hpp"
#include "zerlin/cancel.hpp"
#include "zerlin/hashmap.hpp"
#include "zerlin/pool.hpp"
#include "zerlin/snapshot.hpp"

namespace zerlin {

using namespace detail;

namespace {

// ---------------------------------------------------------------- records

int field_of(std::string_view key) {
    // The length and first byte single out the candidate name.
    int f = kUnknown;
    switch (key.size()) {
        case 2:
            f = kId;
            break;
        case 4:
            f = kBbox;
            break;
        case 5:
            f = kScore;
            break;
        case 7:
            f = key[0] == 'c' ? kCaption : key[0] == 'i' ? kIscrowd : kUnknown;
            break;
        case 8:
            f = key[0] == 'i' ? kImageId : kUnknown;
            break;
        case 9:
            f = kKeypoints;
            break;
        case 11:
            f = kCategoryId;
            break;
        case 12:
            f = kSegmentation;
            break;
        case 13:
            f = kNumKeypoints;
            break;
        default:
            break;
    }
    if (key.size() == 4 && key[0] == 'a') f = kArea;
    return f != kUnknown && key == kFieldNames[f] ? f : kUnknown;
}

// The field whose name and closing quote the bytes at p spell, or kUnknown:
// the keys of nearly every record, known without decoding them. Any other
// key (escaped, or a member no field names) is decoded and looked up.
int plain_field_at(const char* p, const char* end) noexcept {
    auto is = [p, end](int f) {
        const std::string_view name = kFieldNames[f];
        return std::size_t(end - p) > name.size() && std::memcmp(p, name.data(), name.size()) == 0 &&
               p[name.size()] == '"';
    };
    if (p == end) return kUnknown;
    switch (*p) {
        case 'i':
            return is(kImageId) ? kImageId : is(kId) ? kId : is(kIscrowd) ? kIscrowd : kUnknown;
        case 'c':
            return is(kCategoryId) ? kCategoryId : kUnknown;
        case 'b':
            return is(kBbox) ? kBbox : kUnknown;
        case 's':
            return is(kScore) ? kScore : is(kSegmentation) ? kSegmentation : kUnknown;
        case 'a':
            return is(kArea) ? kArea : kUnknown;
        default:
            return kUnknown;
    }
}

// COCO-WholeBody's members, read in object records only (a record written
// as an array holds the eleven fields alone): the parts' keypoint lists,
// then the part scores.
constexpr const char* kPartFieldNames[] = {"foot_kpts",      "face_kpts",       "lefthand_kpts",
                                           "righthand_kpts", "foot_score",      "face_score",
                                           "lefthand_score", "righthand_score", "wholebody_score"};
constexpr int kPartFieldCount = 9;
constexpr int kPartListCount = int(kKeypointPartCount) - 1;

// The part member `key` names, or -1. Unknown keys of every record pass here,
// so the common ones leave at the length test.
int part_field_of(std::string_view key) {
    if (key.size() < 9 || key.size() > 15) return -1;
    if (key.back() != 's' && key.back() != 'e') return -1;
    for (int f = 0; f < kPartFieldCount; ++f)
        if (key == kPartFieldNames[f]) return f;
    return -1;
}

const char* skip_spaces(const char* p, const char* end) noexcept {
    while (p != end && plain_numbers::space(*p)) ++p;
    return p;
}

// Past `text` at p, or nullptr.
const char* skip_literal(const char* p, const char* end, std::string_view text) noexcept {
    return std::size_t(end - p) >= text.size() && std::memcmp(p, text.data(), text.size()) == 0 ? p + text.size()
                                                                                                : nullptr;
}

// Past the string at p whose only escapes are doubled backslashes (the
// COCO counts alphabet holds the backslash) and whose bytes are all ASCII,
// or nullptr.
const char* skip_counts_string(const char* p, const char* end) noexcept {
    if (p == end || *p != '"') return nullptr;
    for (++p;;) {
        p = json_detail::find_special<true>(p, end);
        if (p == end) return nullptr;
        if (*p == '"') return p + 1;
        if (*p != '\\' || end - p < 2 || p[1] != '\\') return nullptr;
        p += 2;
    }
}

// Past the segmentation at p when it has one of the shapes nearly every
// file writes, its syntax checked (ASCII alone, so valid UTF-8), else
// nullptr: polygon rings of plain numbers, or an RLE object of "size" (plain
// numbers) and a "counts" string as skip_counts_string reads it, spaced as
// JSON allows. The general skip reads any other text, with its messages.
const char* skip_plain_segmentation(const char* p, const char* end) noexcept {
    if (p == end) return nullptr;
    if (*p == '[') {
        p = skip_spaces(p + 1, end);
        if (p != end && *p == ']') return p + 1;
        for (;;) {
            p = plain_numbers::skip_array(p, end);
            if (p == nullptr || (p = skip_spaces(p, end)) == end) return nullptr;
            const char c = *p++;
            if (c == ']') return p;
            if (c != ',') return nullptr;
            p = skip_spaces(p, end);
        }
    }
    if (*p != '{') return nullptr;
    bool size = false, counts = false;
    for (int member = 0; member < 2; ++member) {
        p = skip_spaces(p + 1, end);  // past the brace or the comma
        const char* q = nullptr;
        bool is_size = false;
        if (!size && (q = skip_literal(p, end, "\"size\"")) != nullptr)
            size = is_size = true;
        else if (!counts && (q = skip_literal(p, end, "\"counts\"")) != nullptr)
            counts = true;
        else
            return nullptr;
        p = skip_spaces(q, end);
        if (p == end || *p != ':') return nullptr;
        p = skip_spaces(p + 1, end);
        p = is_size ? plain_numbers::skip_array(p, end) : skip_counts_string(p, end);
        if (p == nullptr || (p = skip_spaces(p, end)) == end) return nullptr;
        if (*p != (member == 0 ? ',' : '}')) return nullptr;
    }
    return p + 1;
}

struct Record {
    bool seen[kFieldCount] = {};
    std::uint32_t object_fields = 0;  // the fields seen as members of an object record
    bool part_seen[kPartFieldCount] = {};
    bool any_part = false;  // some part_seen
    Span parts[kKeypointPartCount - 1];
    double part_scores[kPartScoreCount] = {NAN, NAN, NAN, NAN, NAN};
    bool caption = false;
    std::optional<std::int64_t> id;
    std::int64_t image_id = 0, category_id = 0;
    double bbox[4] = {0, 0, 0, 0};
    std::optional<double> area, score;
    int crowd = -1;       // -1 absent or null, else 0/1
    bool ignore = false;  // the "ignore" member's truth
    Span segmentation, keypoints, num_keypoints;
    bool has_pose = false;                                        // keypoints or num_keypoints given and not null
    std::size_t null_score_at = AnnotationColumns::kNoNullScore;  // offset of a null score
};

// The shape a span's value nearly always has, which one tight walk checks.
enum class SpanShape : std::uint8_t { Any, Numbers, Segmentation };

class RecordReader {
  public:
    RecordReader(JsonReader& r, bool spans_kept, RecordGrammar grammar)
        : r_(r), spans_kept_(spans_kept), grammar_(grammar) {}

    // One record, an object or an array of the eleven fields in order.
    void read(Record& rec) {
        rec = Record{};
        int c = r_.peek_nonspace();
        if (c == '{')
            read_object(rec);
        else if (c == '[')
            read_array(rec);
        else if (c < 0)
            r_.fail_peek(JsonErrc::EofWhileParsingValue);
        else
            fail_invalid_type(r_, "struct Record");
    }

  private:
    void read_object(Record& rec) {
        r_.enter_container();
        r_.advance();
        bool first = true;
        while (r_.next_key_quote(first)) {
            const char* const at = r_.text().data() + r_.offset();
            int f = plain_field_at(at, r_.text().data() + r_.text().size());
            if (f != kUnknown) {
                r_.advance(std::char_traits<char>::length(kFieldNames[f]) + 1);
            } else {
                const JsonString key = r_.read_string();
                f = field_of(key.text);
                if (f == kUnknown && read_other_member(key.text, rec)) continue;
            }
            if (f != kUnknown) {
                if (rec.seen[f]) fail_in_object(r_, std::string("duplicate field `") + kFieldNames[f] + "`");
                rec.seen[f] = true;
                rec.object_fields |= 1u << f;
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

    // The member whose key names no field, read when it is one the records
    // know ("ignore", a part's); false for any other, left to skip.
    bool read_other_member(std::string_view key, Record& rec) {
        if (key == "ignore") {
            r_.member_colon();
            rec.ignore = read_truth();  // a repeated one counts as the last, as in a loaded dict
            return true;
        }
        const int part = part_field_of(key);
        if (part < 0) return false;
        if (rec.part_seen[part]) fail_in_object(r_, std::string("duplicate field `") + kPartFieldNames[part] + "`");
        rec.part_seen[part] = rec.any_part = true;
        r_.member_colon();
        read_part(part, rec);
        return true;
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
            case kCaption:
                r_.skip_value();
                rec.caption = true;
                return;
            case kId:
                // The reference loader renumbers results whatever their ids say.
                if (grammar_ == RecordGrammar::Reference)
                    r_.skip_value();
                else if (!take_null(r_))
                    rec.id = read_i64(r_);
                return;
            case kImageId:
                rec.image_id = read_id(r_, grammar_);
                return;
            case kCategoryId:
                rec.category_id = read_id(r_, grammar_);
                return;
            case kBbox:
                read_bbox(r_, rec.bbox);
                return;
            case kArea:
                rec.area = read_optional_f64(r_);
                return;
            case kScore:
                if (r_.peek_nonspace() == 'n') rec.null_score_at = r_.offset();
                rec.score = read_optional_f64(r_);
                return;
            case kIscrowd:
                rec.crowd = read_crowd(in_array);
                return;
            case kSegmentation:
                read_span(rec.segmentation, SpanShape::Segmentation);
                return;
            case kKeypoints:
                rec.has_pose |= read_span(rec.keypoints, SpanShape::Numbers);
                return;
            case kNumKeypoints:
                rec.has_pose |= read_span(rec.num_keypoints);
                return;
            default:
                r_.skip_value();
                return;
        }
    }

    void read_part(int part, Record& rec) {
        if (part < kPartListCount) {
            rec.has_pose |= read_span(rec.parts[part], SpanShape::Numbers);
            return;
        }
        std::optional<double> v = read_optional_f64(r_);
        if (v) rec.part_scores[part - kPartListCount] = *v;
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

    // Any value, true as Python's bool() takes it once loaded: null, false,
    // zero, "", [] and {} are false. Read with the checks of building it.
    bool read_truth() {
        int c = r_.peek_nonspace();
        if (c < 0) r_.fail_peek(JsonErrc::EofWhileParsingValue);
        if (starts_number(c)) {
            const JsonNumber n = r_.read_number();
            return n.kind == JsonNumber::I64 ? n.i != 0 : n.kind == JsonNumber::U64 ? n.u != 0 : n.d != 0.0;
        }
        const std::size_t start = r_.offset();
        read_any_value(r_);
        if (c == 't') return true;
        if (c == 'f' || c == 'n') return false;
        // A string, array or object: empty when its closing character comes first.
        const std::string_view text = r_.text();
        std::size_t i = start + 1;
        while (c != '"' && (text[i] == ' ' || text[i] == '\n' || text[i] == '\r' || text[i] == '\t')) ++i;
        return text[i] != (c == '"' ? '"' : c == '[' ? ']' : '}');
    }

    // The text of any value (syntax-checked, valid UTF-8) into `out` when
    // spans are kept. False for null, which stands for no value.
    // Keypoint lists are nearly always flat arrays of plain numbers, and
    // segmentations polygon rings or an RLE object (skip_plain_segmentation),
    // which one tight walk checks; any other text the general skip checks,
    // with its messages.
    bool read_span(Span& out, SpanShape shape = SpanShape::Any) {
        out = Span{};
        if (take_null(r_)) return false;
        r_.peek_nonspace();
        const std::size_t start = r_.offset();
        const std::string_view text = r_.text();
        const char* base = text.data();
        const char* flat = nullptr;
        if (shape == SpanShape::Numbers) flat = plain_numbers::skip_array(base + start, base + text.size());
        if (shape == SpanShape::Segmentation) flat = skip_plain_segmentation(base + start, base + text.size());
        if (flat != nullptr) {
            r_.seek(std::size_t(flat - base));  // ASCII alone: valid UTF-8
        } else {
            r_.skip_value();
            if (!json_detail::utf8_valid(base + start, base + r_.offset()))
                r_.fail_here(JsonErrc::InvalidUnicodeCodePoint);
        }
        const std::size_t end = r_.offset();
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
        : cols_(cols),
          results_(results),
          spans_kept_(spans_kept),
          grammar_(grammar),
          first_rows_(first_rows),
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
            // A detection without a score is no detection to evaluate: the
            // objects route names it.
            if (!rec.seen[kScore]) r.fail_custom_here("missing field `score`");
        }
        if (!results_) {
            if (!rec.id) r.fail_custom_here("missing GT id");
            if (!ids_.insert(*rec.id, 0).second) r.fail_custom_here("duplicate GT ids require dictionary indexing");
        }
        if (rec.has_pose && !spans_kept_) r.fail_custom_here("pose files of 4 GiB or more require dictionary loading");
        static constexpr double kUnknownBox[4] = {NAN, NAN, NAN, NAN};
        const double* b = box_missing ? kUnknownBox : rec.bbox;
        cols_.push(b, rec.score.value_or(0.0), rec.image_id, rec.category_id);
        if (cols_.first_null_score == AnnotationColumns::kNoNullScore) cols_.first_null_score = rec.null_score_at;
        cols_.object_fields |= rec.object_fields;
        cols_.push_pose(rec.keypoints, rec.num_keypoints);
        if (rec.any_part || cols_.has_parts || cols_.has_part_scores) cols_.push_parts(rec.parts, rec.part_scores);
        cols_.push_segmentation(rec.segmentation);
        if (grammar_ == RecordGrammar::Reference) cols_.push_box_missing(box_missing);
        if (!results_) {
            cols_.gt_ids.push_back(*rec.id);
            cols_.gt_areas.push_back(rec.area ? *rec.area : b[2] * b[3]);
            cols_.gt_crowd.push_back(rec.crowd > 0 ? 1 : 0);
            cols_.gt_ignore.push_back(rec.ignore ? 1 : 0);
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

// Records read between checks for a cancel: one record is quick to read.
constexpr std::size_t kCancelRecords = 64;

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
        if (rows.size() % kCancelRecords == 0) check_cancelled();
        std::size_t begin = r.offset();
        records.read(rec);
        rows.append(rec, r);
        if (rows.size() == 1) rows.reserve_like(r.offset() - begin, r.text().size() - begin);
    }
    r.advance();
    r.leave_container();
}

// ---------------------------------------------------------------- parallel records

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

// What the parallel reading of a record array needs to know: where the
// array's first record starts, how deep the array stands (1 for a results
// file, 2 inside a dataset object) and which file it is.
struct ChunkPlan {
    bool results;
    bool spans_kept;
    RecordGrammar grammar;
    int depth;
};

// One chunk's rows, and where the array's closing bracket was read when the
// chunk ran into it (npos when it stopped at the next chunk's first record).
struct ChunkRows {
    AnnotationColumns cols;
    std::size_t array_end = std::string_view::npos;
};

// Records from `start` up to `stop` (the next chunk's first record) or up
// to the closing bracket of the array, wherever that comes first. Throws on
// anything else; the caller then reads the array sequentially.
ChunkRows read_chunk(std::string_view text, std::size_t start, std::size_t stop, bool first, ChunkPlan plan) {
    ChunkRows out;
    RowAppender rows(out.cols, plan.results, plan.spans_kept, plan.grammar, first);
    JsonReader r(text);
    r.seek(start);
    for (int d = 0; d < plan.depth; ++d) r.enter_container();  // the budget the sequential reader has left
    RecordReader records(r, plan.spans_kept, plan.grammar);
    Record rec;
    for (;;) {
        if (rows.size() % kCancelRecords == 0) check_cancelled();
        std::size_t begin = r.offset();
        records.read(rec);
        rows.append(rec, r);
        if (rows.size() == 1) rows.reserve_like(r.offset() - begin, stop - start);
        int c = r.peek_nonspace();
        if (c == ',') {
            r.advance();
            r.peek_nonspace();
            if (r.offset() == stop) return out;
            if (r.offset() > stop) throw_json_error(JsonErrc::Custom, text, r.offset());
            continue;
        }
        if (c == ']') {
            r.advance();
            out.array_end = r.offset();
            return out;
        }
        throw_json_error(JsonErrc::Custom, text, r.offset());
    }
}

// Whether every ground-truth id of the joined chunks is distinct (each
// chunk checked its own).
bool gt_ids_distinct(const AnnotationColumns& cols) {
    HashMap<std::int64_t, char> seen(cols.gt_ids.size());
    for (std::int64_t id : cols.gt_ids)
        if (!seen.insert(id, 0).second) return false;
    return true;
}

// The record array whose first record starts at `first_record`, read in
// chunks on the worker pool. Chunks are cut at record boundaries guessed
// from the bytes; each chunk proves the next one's start by landing on it,
// and the chunk that reads the closing bracket ends the array (chunks cut
// past it, in the members that follow, are dropped). Nothing when the pool
// has one thread, the rest of the text is short or any chunk of the array
// fails: the sequential reader then reads it and words the error. Else the
// rows and the offset just after the closing bracket.
std::optional<std::pair<AnnotationColumns, std::size_t>> read_records_parallel(std::string_view text,
                                                                               std::size_t first_record, ChunkPlan plan,
                                                                               const std::function<void()>& text_done) {
    std::size_t threads = Pool::global().size();
    if (threads < 2 || text.size() - first_record < kParallelMinBytes) return std::nullopt;
    std::vector<std::size_t> starts{first_record};
    const std::size_t pieces = 4 * threads, stretch = (text.size() - first_record) / pieces;
    for (std::size_t m = 1; m < pieces; ++m) {
        std::size_t at = find_record_start(text, first_record + m * stretch);
        if (at != std::string_view::npos && at > starts.back()) starts.push_back(at);
    }
    const std::size_t n = starts.size();
    std::vector<std::optional<ChunkRows>> parts(n);
    // The first chunk that failed: those after it are not read (they are
    // past the array, or the array is read again sequentially anyway).
    std::atomic<std::size_t> first_failed{n};
    parallel_for(n, 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e && i < first_failed.load(std::memory_order_relaxed); ++i) {
            try {
                parts[i] = read_chunk(text, starts[i], i + 1 == n ? text.size() : starts[i + 1], i == 0, plan);
            } catch (...) {
                std::size_t seen = first_failed.load();
                while (i < seen && !first_failed.compare_exchange_weak(seen, i)) {
                }
            }
        }
    });
    check_cancelled();  // a cancelled chunk is not a reason to read the file again
    std::size_t used = 0, array_end = std::string_view::npos;
    while (used < n && parts[used] && array_end == std::string_view::npos) array_end = parts[used++]->array_end;
    if (array_end == std::string_view::npos) return std::nullopt;
    parts.resize(used);
    bool missing = false;
    for (const auto& p : parts) missing |= p->cols.has_missing_boxes;
    const ResultsShape shape = parts.front()->cols.shape;
    // Rows without a box in a file of boxes: the sequential pass names the first.
    if (plan.results && shape == ResultsShape::Boxes && missing) return std::nullopt;
    if (plan.results) {
        // Only whitespace may follow a results file's array.
        JsonReader tail(text);
        tail.seek(array_end);
        if (tail.peek_nonspace() >= 0) return std::nullopt;
        if (shape == ResultsShape::Boxes && text_done) text_done();  // nothing below reads the text
    }
    std::vector<AnnotationColumns> columns;
    columns.reserve(parts.size());
    for (auto& p : parts) columns.push_back(std::move(p->cols));
    parts.clear();
    AnnotationColumns all = AnnotationColumns::concatenate(std::move(columns));
    all.ground_truth = !plan.results;
    if (!plan.results && !gt_ids_distinct(all)) return std::nullopt;
    // The chunks' buffers were freed on the workers, whose allocator arenas
    // would keep them through the evaluation.
    os::release_free_memory();
    return std::make_pair(std::move(all), array_end);
}

// The cursor stands before a record array: its rows read in parallel when
// that can be done, the cursor then after its closing bracket.
bool read_record_array_parallel(JsonReader& r, RowAppender& rows, AnnotationColumns& cols, ChunkPlan plan,
                                const std::function<void()>& text_done) {
    if (r.peek_nonspace() != '[') return false;
    const std::size_t open = r.offset();
    r.advance();
    if (r.peek_nonspace() != '{' || rows.size() != 0) {
        r.seek(open);
        return false;
    }
    auto read = read_records_parallel(r.text(), r.offset(), plan, text_done);
    if (!read) {
        r.seek(open);
        return false;
    }
    cols = std::move(read->first);
    r.seek(read->second);
    return true;
}

void read_dataset(JsonReader& r, RowAppender& rows, AnnotationColumns& cols, bool spans_kept, bool parallel,
                  DatasetSink& sink) {
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
            const ChunkPlan plan{false, spans_kept, RecordGrammar::Compact, 2};
            if (!parallel || !read_record_array_parallel(r, rows, cols, plan, {}))
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

}  // namespace

std::vector<std::string_view> written_fields(const AnnotationColumns& cols) {
    std::vector<std::string_view> names;
    for (int f = 0; f < kFieldCount; ++f)
        if (cols.object_fields >> f & 1u) names.emplace_back(kFieldNames[f]);
    return names;
}

SnapshotColumns build_snapshot(std::string_view text, bool results, DatasetSink* sink, bool parallel,
                               RecordGrammar grammar, const std::function<void()>& text_done) {
    if (!results && grammar != RecordGrammar::Compact) throw_internal("the reference grammar is for results files");
    SnapshotColumns out;
    out.spans_kept = text.size() <= kMaxSpanFileBytes;
    JsonReader r(text);
    RowAppender rows(out.columns, results, out.spans_kept, grammar, true);
    if (results) {
        // The parallel read checked what follows the array; the text may be gone since.
        const ChunkPlan plan{true, out.spans_kept, grammar, 1};
        if (parallel && read_record_array_parallel(r, rows, out.columns, plan, text_done)) {
            out.columns.shrink_to_fit();
            return out;
        }
        read_record_array(r, rows, out.spans_kept, grammar);
    } else {
        if (!sink) throw_internal("a dataset snapshot needs a sink for its members");
        read_dataset(r, rows, out.columns, out.spans_kept, parallel, *sink);
    }
    r.finish();
    out.columns.shrink_to_fit();
    return out;
}

}  // namespace zerlin
