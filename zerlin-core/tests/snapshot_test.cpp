#include <gtest/gtest.h>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <bit>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "zerlin/compact.hpp"
#include "zerlin/pool.hpp"
#include "zerlin/snapshot.hpp"

using zerlin::AnnotationColumns;
using zerlin::JsonError;
using zerlin::Span;

namespace {

// Collects the dataset members as key=text-of-value.
struct Members : zerlin::DatasetSink {
    std::vector<std::string> seen;
    void member(zerlin::JsonString key, zerlin::JsonReader& r) override {
        r.peek_nonspace();
        std::size_t start = r.offset();
        r.skip_value();
        seen.push_back(std::string(key.text) + "=" + std::string(r.text().substr(start, r.offset() - start)));
    }
    void annotations(zerlin::JsonString key) override { seen.push_back(std::string(key.text) + "=None"); }
};

AnnotationColumns load(const std::string& text, bool results, bool parallel = true) {
    Members m;
    return zerlin::build_snapshot(text, results, results ? nullptr : &m, parallel).columns;
}

std::string load_error(const std::string& text, bool results) {
    try {
        load(text, results);
    } catch (const JsonError& e) {
        return e.what();
    }
    return "ok";
}

std::string span_text(const std::string& text, Span s) {
    return s.absent() ? "<absent>" : text.substr(s.offset, s.length);
}

// A results file of n records with varied shapes; `nested` adds values that
// look like record boundaries to the chunk search.
std::string results_text(std::size_t n, bool nested, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::string t = "[\n";
    for (std::size_t i = 0; i < n; ++i) {
        if (i) t += ",\n ";
        t += "{\"image_id\": " + std::to_string(rng() % 5000) + ", \"category_id\": " + std::to_string(rng() % 90) +
             ", \"bbox\": [" + std::to_string(rng() % 640) + ".5, 1, 2.25, " + std::to_string(1 + rng() % 9) + "]";
        if (rng() % 3) t += ", \"score\": 0." + std::to_string(rng() % 1000);
        if (rng() % 4 == 0) t += ", \"segmentation\": [[1, 2, 3, 4, 5, 6]]";
        if (nested && rng() % 2) t += ", \"extra\": [{\"a\": 1}, {\"b\": [2]}]";
        if (nested && rng() % 50 == 0) t += ", \"image_id_note\": \"}, {\"";
        t += "}";
    }
    return t + "\n]\n";
}

void expect_same_columns(const AnnotationColumns& a, const AnnotationColumns& b) {
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(a.boxes, b.boxes);
    EXPECT_EQ(a.scores, b.scores);
    EXPECT_EQ(a.wide_ids, b.wide_ids);
    EXPECT_EQ(a.ids32, b.ids32);
    EXPECT_EQ(a.ids64, b.ids64);
    ASSERT_EQ(a.has_segmentation, b.has_segmentation);
    for (std::size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(a.segmentation_span(i).offset, b.segmentation_span(i).offset) << i;
        ASSERT_EQ(a.segmentation_span(i).length, b.segmentation_span(i).length) << i;
    }
}

}  // namespace

TEST(Snapshot, ResultsRows) {
    std::string t = R"([{"image_id": 1, "category_id": 2, "bbox": [1, 2, 3.5, 4], "score": 0.5, "area": 99},
        {"image_id": 3000000000, "category_id": -7, "bbox": [0, 0, 9007199254740992, -9007199254740992],
         "segmentation": {"counts": "ab\\c", "size": [2, 2]}, "score": null, "id": null, "zz": [[{}]]}])";
    AnnotationColumns c = load(t, true);
    ASSERT_EQ(c.size(), 2u);
    EXPECT_FALSE(c.ground_truth);
    EXPECT_TRUE(c.wide_ids);  // one id beyond int32 widens every row
    EXPECT_EQ(c.image_id(0), 1);
    EXPECT_EQ(c.image_id(1), 3000000000);
    EXPECT_EQ(c.category_id(1), -7);
    EXPECT_EQ(c.scores, (std::vector<double>{0.5, 0.0}));
    EXPECT_EQ(c.boxes[6], 9007199254740992.0);
    EXPECT_EQ(c.boxes[7], -9007199254740992.0);
    EXPECT_EQ(span_text(t, c.segmentation_span(0)), "<absent>");
    EXPECT_EQ(span_text(t, c.segmentation_span(1)), R"({"counts": "ab\\c", "size": [2, 2]})");
    EXPECT_FALSE(c.has_pose);
    EXPECT_TRUE(c.gt_ids.empty());
}

TEST(Snapshot, DatasetRows) {
    std::string t = R"({"info": {"v": 1}, "annotations": [
        {"id": 5, "image_id": 1, "category_id": 1, "bbox": [0, 0, 2, 3], "iscrowd": 2, "keypoints": [1, 2, 2],
         "ignore": [ 0 ]},
        {"id": 9, "image_id": 1, "category_id": 1, "bbox": [0, 0, 2, 3], "area": 1.5, "iscrowd": false,
         "num_keypoints": 0, "segmentation": [[0, 0, 1, 1, 1, 0]], "ignore": -0.0},
        ["cap", 11, 2, 3, [1, 1, 1, 1], null, null, true, null, null, null]
    ], "images": []})";
    Members m;
    AnnotationColumns c = zerlin::build_snapshot(t, false, &m).columns;
    EXPECT_EQ(m.seen, (std::vector<std::string>{R"(info={"v": 1})", "annotations=None", "images=[]"}));
    ASSERT_EQ(c.size(), 3u);
    EXPECT_TRUE(c.ground_truth);
    EXPECT_FALSE(c.wide_ids);
    EXPECT_EQ(c.gt_ids, (std::vector<std::int64_t>{5, 9, 11}));
    EXPECT_EQ(c.gt_areas, (std::vector<double>{6.0, 1.5, 1.0}));  // w * h unless given
    EXPECT_EQ(c.gt_crowd, (std::vector<std::uint8_t>{1, 0, 1}));
    EXPECT_EQ(c.gt_ignore, (std::vector<std::uint8_t>{1, 0, 0}));  // as Python's bool() of the value
    EXPECT_EQ(span_text(t, c.keypoints_span(0)), "[1, 2, 2]");
    EXPECT_EQ(span_text(t, c.num_keypoints_span(0)), "<absent>");
    EXPECT_EQ(span_text(t, c.num_keypoints_span(1)), "0");
    EXPECT_EQ(span_text(t, c.segmentation_span(0)), "<absent>");  // back-filled
    EXPECT_EQ(span_text(t, c.segmentation_span(1)), "[[0, 0, 1, 1, 1, 0]]");
    EXPECT_EQ(span_text(t, c.segmentation_span(2)), "<absent>");
}

TEST(Snapshot, IgnoreFlagsAreTheValuesTruth) {
    const std::vector<std::pair<std::string, std::uint8_t>> values = {
        {"null", 0}, {"true", 1}, {"false", 0}, {"0", 0},          {"-0", 0},
        {"0.0", 0},  {"2.5", 1},  {"7", 1},     {"\"\"", 0},       {"\"x\"", 1},
        {"[ ]", 0},  {"[[]]", 1}, {"{ }", 0},   {"{\"a\": 1}", 1}, {"\"\\u0000\"", 1},
    };
    std::string records;
    std::vector<std::uint8_t> want;
    for (const auto& [text, truth] : values) {
        records += (records.empty() ? "" : ", ") + std::string("{\"id\": ") + std::to_string(want.size() + 1) +
                   R"(, "image_id": 1, "category_id": 1, "bbox": [0, 0, 1, 1], "ignore": )" + text + "}";
        want.push_back(truth);
    }
    Members m;
    AnnotationColumns c = zerlin::build_snapshot("{\"annotations\": [" + records + "]}", false, &m).columns;
    EXPECT_EQ(c.gt_ignore, want);
}

TEST(Snapshot, RuleErrorsAndPositions) {
    auto rec = [](const std::string& fields) { return "[{" + fields + "}]"; };
    const std::string ok = R"("image_id": 1, "category_id": 2, "bbox": [0, 0, 1, 1])";
    const std::vector<std::tuple<std::string, bool, std::string>> cases = {
        {rec(R"("caption": null, )" + ok), true, "caption results require caption loading at line 1 column 73"},
        {rec(R"("image_id": 1.5)"), true, "invalid type: floating point `1.5`, expected i64 at line 1 column 17"},
        {rec(R"("image_id": 1e20)"), true,
         "invalid type: floating point `100000000000000000000.0`, expected i64 at line 1 column 18"},
        {rec(R"("image_id": "7")"), true, "invalid type: string \"7\", expected i64 at line 1 column 17"},
        {rec(R"("image_id": "a\"\n")"), true, "invalid type: string \"a\\\"\\n\", expected i64 at line 1 column 21"},
        {rec(R"("image_id": [1])"), true, "invalid type: sequence, expected i64 at line 1 column 14"},
        {rec(R"("image_id": true)"), true, "invalid type: boolean `true`, expected i64 at line 1 column 18"},
        {rec(R"("image_id": 9223372036854775808)"), true,
         "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 33"},
        {rec(R"("id": {}, )" + ok), true, "invalid type: map, expected i64 at line 1 column 8"},
        {rec(R"("category_id": 2, "bbox": [0, 0, 1, 1])"), true, "missing field `image_id` at line 1 column 41"},
        {rec(ok + R"(, "bbox" : [1])"), true, "duplicate field `bbox` at line 1 column 64"},
        {rec(R"("bbox": [1, 2, 3])"), true, "invalid length 3, expected an array of length 4 at line 1 column 19"},
        {rec(R"("bbox": [])"), true, "invalid length 0, expected an array of length 4 at line 1 column 12"},
        {rec(R"("bbox": [1, 2, 3, 4, 5])"), true, "trailing characters at line 1 column 24"},
        {rec(R"("bbox": [1, 2, 3, 4,])"), true, "trailing comma at line 1 column 23"},
        {rec(R"("bbox": "x")"), true, "invalid type: string \"x\", expected an array of length 4 at line 1 column 13"},
        {rec(R"("bbox": [0, 0, 9007199254740993, 1])"), true,
         "bbox integer exceeds exact float64 range at line 1 column 33"},
        {rec(R"("bbox": [0, null, 1, 1])"), true,
         "invalid type: null, expected a bbox coordinate with an exactly representable integer part at line 1 column "
         "18"},
        {rec(R"("bbox": [[], 0, 1, 1])"), true,
         "invalid type: sequence, expected a bbox coordinate with an exactly representable integer part at line 1 "
         "column 13"},
        {rec(R"("bbox": [1e400, 0, 1, 1])"), true, "number out of range at line 1 column 16"},
        {rec(ok + R"(, "iscrowd": 0.0)"), true,
         "data did not match any variant of untagged enum Crowd at line 1 column 72"},
        {rec(ok + R"(, "iscrowd": "0", "x": 1)"), true,
         "data did not match any variant of untagged enum Crowd at line 1 column 71"},
        {rec(ok + ", \"segmentation\": [\"\xff\"]"), true, "invalid unicode code point at line 1 column 78"},
        {"[5]", true, "invalid type: integer `5`, expected struct Record at line 1 column 2"},
        {"[[1, 2, 3]]", true, "invalid length 3, expected struct Record with 11 elements at line 1 column 10"},
        {"[[null, null, 1, 2, [0, 0, 1, 1], null, null, null, null, null, null, 0]]", true,
         "trailing characters at line 1 column 71"},
        {"[[null, null, 1, 2, [0, 0, 1, 1], null, null, null, null, null, null]]", true,
         "caption results require caption loading at line 1 column 69"},
        {"{}", true, "invalid type: map, expected bbox annotations at line 1 column 0"},
        {"[]", false, "invalid type: sequence, expected COCO dataset at line 1 column 0"},
        {R"({"images": []})", false, "missing annotations at line 1 column 14"},
        {R"({"annotations": [], "annotations" : []})", false,
         "duplicate annotation arrays require ordinary JSON loading at line 1 column 34"},
        {R"({"annotations": [{)" + ok + "}]}", false, "missing GT id at line 1 column 72"},
        {R"({"annotations": [{"id": 1, )" + ok + R"(}, {"id": 1, )" + ok + "}]}", false,
         "duplicate GT ids require dictionary indexing at line 1 column 147"},
        {R"({"annotations": {}})", false, "invalid type: map, expected bbox annotations at line 1 column 16"},
        {"[{" + ok + "}] x", true, "trailing characters at line 1 column 59"},
        {"[{" + ok + "},]", true, "trailing comma at line 1 column 58"},
    };
    for (const auto& [text, results, want] : cases) EXPECT_EQ(load_error(text, results), want) << text;
}

TEST(Snapshot, ParallelChunksMatchSequential) {
    ASSERT_GE(zerlin::Pool::global().size(), 1u);
    for (bool nested : {false, true}) {
        std::string t = results_text(60000, nested, nested ? 3 : 4);
        ASSERT_GT(t.size(), std::size_t(4) << 20);
        AnnotationColumns par = load(t, true, true), seq = load(t, true, false);
        expect_same_columns(par, seq);
    }
    // Short files and a failing chunk give the sequential answer and error.
    std::string bad = results_text(60000, false, 5);
    bad.insert(bad.size() / 2, "@");
    std::string par_err, seq_err;
    try {
        load(bad, true, true);
    } catch (const JsonError& e) {
        par_err = e.what();
    }
    try {
        load(bad, true, false);
    } catch (const JsonError& e) {
        seq_err = e.what();
    }
    EXPECT_FALSE(seq_err.empty());
    EXPECT_EQ(par_err, seq_err);
}

namespace {

// A dataset whose annotations are the records of results_text given ids;
// `tail` holds the members after them (their records are cut into chunks too).
std::string dataset_text(std::size_t n, std::uint64_t seed, const std::string& tail) {
    std::string records = results_text(n, true, seed), t = "{\"images\": [{\"id\": 1}], \"annotations\": [";
    std::size_t id = 0, at = 0;
    while ((at = records.find("{\"image_id\"", at)) != std::string::npos) {
        ++id;
        records.insert(at + 1, "\"id\": " + std::to_string(id) + (id % 7 ? ", " : ", \"ignore\": 1, "));
        at += 2;
    }
    return t + records.substr(1, records.rfind(']') - 1) + "]" + tail + "}";
}

std::pair<AnnotationColumns, std::vector<std::string>> load_dataset(const std::string& t, bool parallel) {
    Members m;
    AnnotationColumns c = zerlin::build_snapshot(t, false, &m, parallel).columns;
    return {std::move(c), m.seen};
}

std::string dataset_error(const std::string& t, bool parallel) {
    try {
        load_dataset(t, parallel);
    } catch (const JsonError& e) {
        return e.what();
    }
    return "ok";
}

}  // namespace

TEST(Snapshot, ParallelDatasetMatchesSequential) {
    // Members after the annotations hold records the chunk search may start in.
    const std::string big_tail = ", \"categories\": [" + std::string(3u << 20, ' ') + "{\"id\": 1}, {\"id\": 2}]";
    for (const std::string& tail : {std::string(), big_tail}) {
        std::string t = dataset_text(60000, 6, tail);
        ASSERT_GT(t.size(), std::size_t(4) << 20);
        auto [par, par_seen] = load_dataset(t, true);
        auto [seq, seq_seen] = load_dataset(t, false);
        expect_same_columns(par, seq);
        EXPECT_EQ(par.gt_ids, seq.gt_ids);
        EXPECT_EQ(par.gt_areas, seq.gt_areas);
        EXPECT_EQ(par.gt_crowd, seq.gt_crowd);
        EXPECT_EQ(par.gt_ignore, seq.gt_ignore);
        EXPECT_EQ(par_seen, seq_seen);
    }
    // An id repeated in another chunk, and a bad byte in a middle chunk: the
    // sequential reader's error, at its place.
    std::string twice = dataset_text(60000, 7, "");
    const std::size_t last_id = twice.rfind("\"id\": ");
    twice.replace(last_id, twice.find(',', last_id) - last_id, "\"id\": 1");
    std::string bad = dataset_text(60000, 8, "");
    bad.insert(bad.size() / 2, "@");
    for (const std::string& t : {twice, bad}) {
        const std::string seq = dataset_error(t, false);
        EXPECT_NE(seq, "ok");
        EXPECT_EQ(dataset_error(t, true), seq);
    }
}

TEST(Compact, ArrayRowsAndSelection) {
    const double rows[] = {1.9, 0, 0, 2, 3, 0.5, -1.5,  // ids truncate toward zero
                           7,   1, 1, 1, 1, NAN, 5,     //
                           7,   2, 2, 2, 2, 0.9, 5,     //
                           7,   3, 3, 3, 3, 0.9, 6};
    AnnotationColumns c = zerlin::columns_from_rows(rows, 4);
    std::vector<double> back = zerlin::rows_of(c);
    EXPECT_EQ(back[0], 1.0);
    EXPECT_EQ(back[6], -1.0);
    EXPECT_TRUE(std::isnan(back[12]));
    EXPECT_TRUE(zerlin::images_cover(c, {7, 1}));
    EXPECT_FALSE(zerlin::images_cover(c, {7}));
    EXPECT_TRUE(zerlin::images_cover(AnnotationColumns{}, {}));
    std::uint64_t cap = 2;
    auto groups = zerlin::rows_per_image(c, {7, 8, 1, 7}, &cap);
    // Highest scores first, NaN last, file order among equals; kept in file order.
    EXPECT_EQ(groups[0], (std::vector<std::uint32_t>{2, 3}));
    EXPECT_TRUE(groups[1].empty());
    EXPECT_EQ(groups[2], (std::vector<std::uint32_t>{0}));
    EXPECT_EQ(groups[3], groups[0]);
    EXPECT_EQ(zerlin::rows_per_image(c, {7}, nullptr)[0], (std::vector<std::uint32_t>{1, 2, 3}));
    for (double bad : {double(NAN), double(INFINITY), 1e19, -9.3e18}) {
        double r[7] = {bad, 0, 0, 1, 1, 1, 1};
        EXPECT_THROW(zerlin::columns_from_rows(r, 1), zerlin::Error) << bad;
    }
    double edge[7] = {-9223372036854775808.0, 0, 0, 1, 1, 1, 1};
    EXPECT_EQ(zerlin::columns_from_rows(edge, 1).image_id(0), INT64_MIN);
}

namespace {

// Scans `value` placed inside a small document, as a snapshot span.
struct Scanned {
    std::string text;
    zerlin::SegmentationScan scan;
    std::optional<std::string> error;
};

// The message of the JsonError fn() throws, or nothing.
template <class F>
std::optional<std::string> error_of(F&& fn) {
    try {
        fn();
    } catch (const JsonError& e) {
        return std::string(e.what());
    }
    return std::nullopt;
}

Scanned scan_value(const std::string& value) {
    Scanned s;
    s.text = "{\"segmentation\": " + value + "}";
    Span span{17, std::uint32_t(value.size())};
    s.error = error_of([&] { zerlin::scan_segmentation(s.text, span, s.scan); });
    return s;
}

}  // namespace

TEST(Scanners, Polygons) {
    using K = zerlin::SegmentationScan;
    for (const char* v : {"[[1,2,3,4,5,6],[]]", " [ [1, 2 ,3,\n4, 5e0, 6.0 ] , [ ] ] ", "[[1,2,3,4],[5,6]]"}) {
        Scanned s = scan_value(v);
        ASSERT_FALSE(s.error) << *s.error;
        EXPECT_EQ(s.scan.kind, K::Polygons);
        EXPECT_EQ(s.scan.coords, (std::vector<double>{1, 2, 3, 4, 5, 6})) << v;
    }
    EXPECT_EQ(scan_value("[[1,2,3,4,5,6],[]]").scan.ring_ends, (std::vector<std::uint32_t>{6, 6}));
    EXPECT_EQ(scan_value("[[1, true, 2, false]]").scan.coords, (std::vector<double>{1, 1, 2, 0}));
    EXPECT_TRUE(scan_value("[]").scan.ring_ends.empty());
    EXPECT_EQ(scan_value("[]").scan.kind, K::Polygons);
    // Shapes the fast path leaves to the strict reader, which agrees or words the error.
    EXPECT_EQ(scan_value("[[1e-400, -0.0]]").scan.coords[0], 0.0);
    const std::vector<std::pair<std::string, std::string>> errors = {
        {"[[1e400]]", "number out of range at line 1 column 24"},
        {"[[[1]]]", "invalid type: sequence, expected a numeric keypoint coordinate at line 1 column 20"},
        {"[[null]]", "invalid type: null, expected a numeric keypoint coordinate at line 1 column 23"},
        {"[1, 2]", "invalid type: integer `1`, expected a sequence at line 1 column 19"},
        {"\"abc\"", "invalid type: string \"abc\", expected polygon rings or an RLE object at line 1 column 22"},
        {"7", "invalid type: integer `7`, expected polygon rings or an RLE object at line 1 column 18"},
        {"{\"size\": [2, 2]}", "RLE segmentation is missing counts at line 1 column 33"},
        {"{\"counts\": [1, -2]}", "invalid value: integer `-2`, expected a uint32 run length at line 1 column 34"},
        {"{\"counts\": [4294967296]}",
         "invalid value: integer `4294967296`, expected a uint32 run length at line 1 column 39"},
        {"{\"counts\": [1.5]}", "invalid type: floating point `1.5`, expected a uint32 run length at line 1 column 32"},
        {"{\"counts\": \"a\", \"counts\": \"b\"}", "duplicate field `counts` at line 1 column 41"},
    };
    for (const auto& [value, want] : errors) {
        Scanned s = scan_value(value);
        ASSERT_TRUE(s.error) << value;
        EXPECT_EQ(*s.error, want) << value;
    }
}

TEST(Scanners, RleCounts) {
    using K = zerlin::SegmentationScan;
    Scanned s = scan_value(R"({"size": [4, 5], "counts": "ab\\\\c"})");
    ASSERT_FALSE(s.error);
    EXPECT_EQ(s.scan.kind, K::CountsRef);
    EXPECT_TRUE(s.scan.counts_escaped);
    EXPECT_EQ(s.text.substr(s.scan.counts_offset, s.scan.counts_length), R"(ab\\\\c)");
    s = scan_value(R"({"counts": "plain"})");
    EXPECT_EQ(s.scan.kind, K::CountsRef);
    EXPECT_FALSE(s.scan.counts_escaped);
    EXPECT_EQ(s.text.substr(s.scan.counts_offset, s.scan.counts_length), "plain");
    s = scan_value(R"({"counts": "a\nb\u0041\\"})");
    EXPECT_EQ(s.scan.kind, K::CountsOwned);
    EXPECT_EQ(s.scan.counts, "a\nbA\\");
    s = scan_value(R"({"counts": [0, 3, 4294967295], "size": "ignored"})");
    EXPECT_EQ(s.scan.kind, K::Runs);
    EXPECT_EQ(s.scan.runs, (std::vector<std::uint32_t>{0, 3, 4294967295u}));
    // As mask geometry, a referenced string is read where it lies, escaped,
    // and decodes as its unescaped text does.
    s = scan_value(R"({"counts": "ab\\\\c\\\\"})");
    ASSERT_EQ(s.scan.kind, K::CountsRef);
    auto g = zerlin::to_geometry(s.scan, s.text);
    ASSERT_TRUE(std::holds_alternative<zerlin::CompressedCounts>(g));
    const auto& counts = std::get<zerlin::CompressedCounts>(g);
    EXPECT_TRUE(counts.escaped);
    EXPECT_EQ(counts.text(), R"(ab\\\\c\\\\)");
    zerlin::RasterScratch scratch;
    EXPECT_EQ(zerlin::geometry_to_rle(g, 7, 9, scratch), zerlin::rle_from_string(R"(ab\\c\\)", 7, 9, false));
    s = scan_value("[[1, 2, 3, 4, 5, 6], [7, 8]]");
    g = zerlin::to_geometry(s.scan, s.text);
    EXPECT_EQ(std::get<zerlin::Polygons>(g).ends, (std::vector<std::uint32_t>{6, 8}));
    zerlin::SegmentationScan none;
    EXPECT_FALSE(error_of([&] { zerlin::scan_segmentation("x", Span{}, none); }));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(zerlin::to_geometry(none, "x")));
    EXPECT_EQ(none.kind, K::None);
}

TEST(Scanners, KeypointReaderFixesCount) {
    const std::string text = R"([[1, 2, 2, 3, 4, 0], [], [5, 6, -1, 7, 8, 1], [1, 2, 3]])";
    auto span_of = [&](const std::string& part) {
        return Span{std::uint32_t(text.find(part)), std::uint32_t(part.size())};
    };
    zerlin::KeypointReader reader;
    std::vector<double> xy;
    std::vector<std::uint8_t> vis;
    EXPECT_FALSE(reader.read(text, Span{}, xy, &vis));
    EXPECT_TRUE(reader.read(text, span_of("[1, 2, 2, 3, 4, 0]"), xy, &vis));
    EXPECT_EQ(xy.size(), 4u);  // the first list fixed two keypoints
    EXPECT_FALSE(reader.read(text, span_of("[]"), xy, &vis));
    EXPECT_TRUE(reader.read(text, span_of("[5, 6, -1, 7, 8, 1]"), xy, &vis));
    EXPECT_EQ(xy, (std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(vis, (std::vector<std::uint8_t>{1, 0, 0, 1}));
    EXPECT_EQ(error_of([&] { reader.read(text, span_of("[1, 2, 3]"), xy, &vis); }).value_or(""),
              "inconsistent keypoint counts at line 1 column 55");
    EXPECT_EQ(error_of([&] {
                  reader.read("[1, 2, 2, 3]", Span{0, 12}, xy, &vis);
              }).value_or(""),
              "incomplete keypoint triplet at line 1 column 12");
}

TEST(Scanners, PlainKeypointsLeaveTheRestToTheStrictReader) {
    auto scan = [](const std::string& text, std::vector<double>& xyv, bool& present) {
        return zerlin::scan_plain_keypoints(text, Span{0, std::uint32_t(text.size())}, xyv, present);
    };
    std::vector<double> xyv{9};
    bool present = false;
    EXPECT_TRUE(scan(" [1, 2.5e1, true,-3,4 , 0] ", xyv, present));
    EXPECT_TRUE(present);
    EXPECT_EQ(xyv, (std::vector<double>{9, 1, 25, 1, -3, 4, 0}));  // appended as written
    for (const char* empty : {"[]", "null", " [ ] "}) {
        EXPECT_TRUE(scan(empty, xyv, present)) << empty;
        EXPECT_FALSE(present) << empty;
    }
    EXPECT_TRUE(zerlin::scan_plain_keypoints("", Span{}, xyv, present));
    EXPECT_FALSE(present);
    // Nested values, strings, non-finite numbers, bad tokens and broken triplets: the strict reader's.
    for (const char* other : {"[[1, 2, 3]]", R"(["1", 2, 3])", "[1e999, 2, 3]", "[1, 2,, 3]", "[1, 2, 3, 4]",
                              "[nan, 1, 2]", "{}", "[tru]"}) {
        xyv.assign(1, 9);
        EXPECT_FALSE(scan(other, xyv, present)) << other;
        EXPECT_EQ(xyv.size(), 1u) << other;  // nothing left behind
    }
}

// Numbers read by the keypoint walk's one-pass digits (16 to 19 digits
// scaled exactly, shorter ones divided) carry the bits the general reader
// gives them; other forms reach the full conversion.
TEST(Scanners, PlainKeypointNumbersAreTheGeneralReaders) {
    std::vector<std::string> numbers = {"9007199254740992",
                                        "9007199254740993",
                                        "9007199254740995",
                                        "-0",
                                        "-0.0",
                                        "0.30000000000000004",
                                        "123456789012345678",
                                        "1234567890123456789",
                                        "12345678901234567890",
                                        "0.0000000000000000001",
                                        "0.1",
                                        "1e5",
                                        "2.5E-3",
                                        "4.9406564584124654e-324",
                                        "17976931348623157e292",
                                        "-7.0e-10",
                                        "0",
                                        "99999999999999999999999.5",
                                        "1.00000000000000011102230246251565404236316680908203125"};
    std::mt19937_64 rng(5);
    auto digits = [&](std::size_t n, bool lead) {
        std::string d;
        for (std::size_t i = 0; i < n; ++i) d += char('0' + (lead && i == 0 ? 1 + rng() % 9 : rng() % 10));
        return d;
    };
    for (int i = 0; i < 20000; ++i) {
        char buf[40];
        const double v = std::ldexp(double(rng() >> 11), int(rng() % 40) - 60);
        std::snprintf(buf, sizeof buf, "%.*f", int(rng() % 18), rng() % 2 ? v : -v);
        numbers.push_back(buf);
        std::snprintf(buf, sizeof buf, "%.*g", int(15 + rng() % 3), v);
        numbers.push_back(buf);
        const std::size_t whole = 1 + rng() % 12;
        numbers.push_back((rng() % 4 ? digits(whole, true) : "0") + "." + digits(1 + rng() % (20 - whole), false));
    }
    std::string text = "[";
    for (const std::string& n : numbers) text += n + ", 1, 2, ";
    text.resize(text.size() - 2);
    text += "]";
    std::vector<double> xyv;
    bool present = false;
    ASSERT_TRUE(zerlin::scan_plain_keypoints(text, Span{0, std::uint32_t(text.size())}, xyv, present));
    ASSERT_EQ(xyv.size(), 3 * numbers.size());
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        zerlin::JsonReader r(numbers[i]);
        const zerlin::JsonNumber n = r.read_number();
        const double want = n.kind == zerlin::JsonNumber::U64   ? double(n.u)
                            : n.kind == zerlin::JsonNumber::I64 ? double(n.i)
                                                                : n.d;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(xyv[3 * i]), std::bit_cast<std::uint64_t>(want)) << numbers[i];
    }
}

TEST(Scanners, SequentialSegmentations) {
    const std::string text = R"([
        {"image_id": 1, "segmentation": [[1, 2, 3, 4, 5, 6]], "bbox": [0, 0, 1, 1]},
        {"image_id": 2, "segmentation": {"counts": [1, 2]}},
        {"segmentation": null},
        [null, null, 1, 2, [0, 0, 1, 1], null, null, null, {"counts": "xy"}, null, null],
        {"bbox": [1, 2, 3, 4]}
    ])";
    std::vector<std::string> seen;
    auto wanted = [](std::size_t i) { return i != 1; };
    auto visit = [&](std::size_t i, zerlin::SegmentationScan& s) {
        seen.push_back(std::to_string(i) + ":" + std::to_string(int(s.kind)));
    };
    EXPECT_FALSE(error_of([&] { zerlin::read_segmentations_sequentially(text, 5, wanted, visit); }));
    EXPECT_EQ(seen, (std::vector<std::string>{"0:1", "2:0", "3:2", "4:0"}));
    EXPECT_EQ(error_of([&] { zerlin::read_segmentations_sequentially(text, 6, wanted, visit); })
                  .value_or("")
                  .rfind("missing mask annotation at line 7", 0),
              0u);
    const std::string dup = R"([{"segmentation": [], "segmentation": []}])";
    EXPECT_EQ(error_of([&] { zerlin::read_segmentations_sequentially(dup, 1, wanted, visit); }).value_or(""),
              "duplicate field `segmentation` at line 1 column 36");
}

#if defined(__linux__)  // memfd_create and mmap
TEST(Scanners, SequentialSegmentationsPastFourGiB) {
    // A results file of more than 4 GiB, mostly whitespace, made of one
    // shared page run mapped thousands of times: a counts string past the
    // 4 GiB mark must be read where it stands, not at its offset mod 2^32.
    const std::size_t chunk = std::size_t(1) << 20, spaces = std::size_t(4096) + 1;  // 4 GiB + 1 MiB of spaces
    const std::size_t total = chunk * (spaces + 2);
    const int fd = memfd_create("snapshot", 0);
    if (fd < 0 || ftruncate(fd, off_t(3 * chunk)) != 0) GTEST_SKIP() << "no memfd";
    std::string head = R"([{"segmentation": {"counts": "head"}})", tail = R"(,{"segmentation": {"counts": "tail"}}])";
    head.resize(chunk, ' ');
    tail.resize(chunk, ' ');
    const std::string blank(chunk, ' ');
    const std::string* parts[3] = {&head, &blank, &tail};
    for (int i = 0; i < 3; ++i) ASSERT_EQ(pwrite(fd, parts[i]->data(), chunk, off_t(i * chunk)), ssize_t(chunk));
    void* base = mmap(nullptr, total, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) GTEST_SKIP() << "no address space";
    char* at = static_cast<char*>(base);
    bool mapped = true;
    for (std::size_t i = 0; i < spaces + 2 && mapped; ++i) {
        const off_t part = i == 0 ? 0 : i == spaces + 1 ? off_t(2 * chunk) : off_t(chunk);
        mapped = mmap(at + i * chunk, chunk, PROT_READ, MAP_SHARED | MAP_FIXED, fd, part) != MAP_FAILED;
    }
    close(fd);
    if (!mapped) {
        munmap(base, total);
        GTEST_SKIP() << "cannot map the file";
    }
    const std::string_view text(at, total);
    std::vector<std::string> counts;
    auto visit = [&](std::size_t, zerlin::SegmentationScan& s) {
        counts.emplace_back(std::get<zerlin::CompressedCounts>(zerlin::to_geometry(s, text)).text());
    };
    EXPECT_FALSE(error_of([&] {
        zerlin::read_segmentations_sequentially(
            text, 2, [](std::size_t) { return true; }, visit);
    }));
    EXPECT_EQ(counts, (std::vector<std::string>{"head", "tail"}));
    munmap(base, total);
}
#endif

TEST(Snapshot, WholeBodyPartsInRecordsAndChunks) {
    using zerlin::KeypointPart;
    using zerlin::PartScore;
    // Parts first appear far into the file, so earlier chunks lack the columns.
    std::string t = "[";
    const std::size_t n = 80000, first_part = 70000;
    for (std::size_t i = 0; i < n; ++i) {
        t += R"({"image_id": 1, "category_id": 1, "bbox": [0, 0, 1, 1], "score": 0.5, "keypoints": [1, 2, 1])";
        if (i >= first_part && i % 3 == 0) t += R"(, "foot_kpts": [3, 4, 1], "lefthand_score": )" + std::to_string(i);
        if (i == n - 1) t += R"(, "righthand_kpts": null, "wholebody_score": null, "face_kpts": [5, 6, 0])";
        t += i + 1 < n ? "},\n" : "}]";
    }
    ASSERT_GT(t.size(), std::size_t(4) << 20);
    AnnotationColumns par = load(t, true, true), seq = load(t, true, false);
    for (const AnnotationColumns* c : {&par, &seq}) {
        ASSERT_TRUE(c->has_parts && c->has_part_scores);
        EXPECT_EQ(span_text(t, c->part_span(0, KeypointPart::Body)), "[1, 2, 1]");
        EXPECT_EQ(span_text(t, c->part_span(0, KeypointPart::Foot)), "<absent>");
        EXPECT_TRUE(std::isnan(c->part_score(0, PartScore::LeftHand)));
        EXPECT_EQ(span_text(t, c->part_span(first_part + 2, KeypointPart::Foot)), "[3, 4, 1]");
        EXPECT_EQ(c->part_score(first_part + 2, PartScore::LeftHand), double(first_part + 2));
        EXPECT_TRUE(std::isnan(c->part_score(first_part + 2, PartScore::Foot)));
        EXPECT_EQ(span_text(t, c->part_span(n - 1, KeypointPart::Face)), "[5, 6, 0]");
        EXPECT_EQ(span_text(t, c->part_span(n - 1, KeypointPart::RightHand)), "<absent>");
        EXPECT_TRUE(std::isnan(c->part_score(n - 1, PartScore::WholeBody)));
    }
    ASSERT_EQ(par.parts.size(), seq.parts.size());
    for (std::size_t i = 0; i < par.parts.size(); ++i) ASSERT_EQ(par.parts[i].offset, seq.parts[i].offset) << i;
    ASSERT_EQ(par.part_scores.size(), seq.part_scores.size());
    for (std::size_t i = 0; i < par.part_scores.size(); ++i)
        ASSERT_TRUE(par.part_scores[i] == seq.part_scores[i] ||
                    (std::isnan(par.part_scores[i]) && std::isnan(seq.part_scores[i])))
            << i;
    // A part member given twice is the grammar's duplicate field; a score of another kind its type error.
    EXPECT_NE(
        load_error(R"([{"image_id": 1, "category_id": 1, "bbox": [0, 0, 1, 1], "foot_kpts": [], "foot_kpts": []}])",
                   true)
            .find("duplicate field `foot_kpts`"),
        std::string::npos);
    EXPECT_NE(load_error(R"([{"image_id": 1, "category_id": 1, "bbox": [0, 0, 1, 1], "face_score": "high"}])", true)
                  .find("expected f64"),
              std::string::npos);
}
