#include "zerlin/json.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "zerlin/file.hpp"
#include "zerlin/hashmap.hpp"

using zerlin::JsonError;
using zerlin::JsonString;

namespace {

// Writes every event as a token, so a document's event stream compares as text.
struct Recorder {
    std::string out;
    void sep() {
        if (!out.empty()) out += ' ';
    }
    void on_null() { sep(), out += "null"; }
    void on_bool(bool b) { sep(), out += b ? "true" : "false"; }
    void on_u64(std::uint64_t v) { sep(), out += "u" + std::to_string(v); }
    void on_i64(std::int64_t v) { sep(), out += "i" + std::to_string(v); }
    void on_double(double v) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "d%.17g", v);
        sep(), out += buf;
    }
    void on_string(JsonString s) { sep(), out += (s.ascii ? "s'" : "S'") + std::string(s.text) + "'"; }
    void on_key(JsonString s) { sep(), out += (s.ascii ? "k'" : "K'") + std::string(s.text) + "'"; }
    void on_array_begin() { sep(), out += "["; }
    void on_array_end() { sep(), out += "]"; }
    void on_object_begin() { sep(), out += "{"; }
    void on_object_end() { sep(), out += "}"; }
};

std::string events(std::string_view text) {
    Recorder r;
    zerlin::parse_json(text, r);
    return r.out;
}

// The positioned message of a failed parse, or "ok".
std::string parse_error(std::string_view text) {
    try {
        Recorder r;
        zerlin::parse_json(text, r);
    } catch (const JsonError& e) {
        return e.what();
    }
    return "ok";
}

std::string check_error(std::string_view text) {
    try {
        zerlin::check_json_syntax(text);
    } catch (const JsonError& e) {
        return e.what();
    }
    return "ok";
}

double parse_double(const std::string& text) {
    struct H : Recorder {
        double v = std::nan("");
        void on_double(double d) { v = d; }
    } h;
    zerlin::parse_json(text, h);
    return h.v;
}

std::uint64_t bits(double d) {
    std::uint64_t b;
    std::memcpy(&b, &d, 8);
    return b;
}

std::string nested(std::size_t depth, char open, char close) {
    return std::string(depth, open) + std::string(depth, close);
}

}  // namespace

TEST(JsonReader, EventsOfADocument) {
    EXPECT_EQ(events(R"( {"a": [1, -2, 3.5, "x", true, false, null, {}, []], "b\n": {"c": ""}} )"),
              "{ k'a' [ u1 i-2 d3.5 s'x' true false null { } [ ] ] k'b\n' { k'c' s'' } }");
    EXPECT_EQ(events("\t\r\n 7 \n"), "u7");
    EXPECT_EQ(events(R"(["\u00e9\ud83d\ude00", "\/\b\f\n\r\t\"\\", )"
                     "\"caf\xc3\xa9\"]"),
              "[ S'\xc3\xa9\xf0\x9f\x98\x80' s'/\b\f\n\r\t\"\\' S'caf\xc3\xa9' ]");
    // A duplicate key is reported twice; the consumer decides which wins.
    EXPECT_EQ(events(R"({"a":1,"a":2})"), "{ k'a' u1 k'a' u2 }");
}

TEST(JsonReader, IntegerEdges) {
    const std::pair<const char*, const char*> cases[] = {
        {"18446744073709551615", "u18446744073709551615"},
        {"18446744073709551616", "d1.8446744073709552e+19"},
        {"-9223372036854775808", "i-9223372036854775808"},
        {"-9223372036854775809", "d-9.2233720368547758e+18"},
        {"-18446744073709551615", "d-1.8446744073709552e+19"},
        {"-1", "i-1"},
        {"0", "u0"},
        {"1.0", "d1"},
        {"1e2", "d100"},
        {"[-0, -0.0, 0e-5, -0E+2]", "[ d-0 d-0 d0 d-0 ]"},
        // An over-long integer part continues as a correctly rounded float.
        {"123456789012345678901234567890", "d1.2345678901234568e+29"},
        {"123456789012345678901234567890.5e-10", "d1.2345678901234567e+19"},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(events(text), want) << text;
}

TEST(JsonReader, FloatsAreCorrectlyRounded) {
    // Halfway and near-halfway cases where naive scaling goes wrong.
    const char* cases[] = {
        "0.1",
        "0.3",
        "2.2250738585072011e-308",
        "2.2250738585072014e-308",
        "4.9406564584124654e-324",
        "2.4703282292062327e-324",
        "2.4703282292062328e-324",
        "1.7976931348623157e308",
        "1.7976931348623158e308",
        "9007199254740993.0",
        "9007199254740995.0",
        "8.988465674311580536566680e307",
        "3.14159265358979323846264338327950288419716939937510",
        "0.000000000000000000000000000000000000000000001e+20",
        "1e-400",
        "-1e-400",
        "123.456e-2",
        "7.2057594037927933e16",
        "1448997445238699",
        "1e22",
        "1e23",
        "0.5e-22",
        "12345678901234567e-5",
    };
    for (const char* c : cases) {
        double want = std::strtod(c, nullptr);  // glibc rounds correctly
        EXPECT_EQ(bits(parse_double(std::string(c) + (std::strchr(c, '.') || std::strchr(c, 'e') ? "" : ".0"))),
                  bits(want))
            << c;
    }
    // Random literals of every shape against the same oracle.
    std::mt19937_64 rng(7);
    for (int i = 0; i < 200000; ++i) {
        std::string s;
        if (rng() % 4 == 0) s += '-';
        int int_digits = 1 + int(rng() % 22);
        s += char('1' + rng() % 9);
        for (int k = 1; k < int_digits; ++k) s += char('0' + rng() % 10);
        int frac = int(rng() % 20);
        if (frac || rng() % 2) {
            s += '.';
            for (int k = 0; k < std::max(frac, 1); ++k) s += char('0' + rng() % 10);
        }
        s += 'e';
        s += std::to_string(int(rng() % 640) - 340);
        double want = std::strtod(s.c_str(), nullptr);
        if (std::isinf(want)) {
            EXPECT_EQ(parse_error(s).rfind("number out of range", 0), 0u) << s;
        } else {
            ASSERT_EQ(bits(parse_double(s)), bits(want)) << s;
        }
    }
}

TEST(JsonReader, ErrorsAndPositions) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "EOF while parsing a value at line 1 column 0"},
        {"  \n ", "EOF while parsing a value at line 2 column 1"},
        {"[1, 2,]", "trailing comma at line 1 column 7"},
        {R"({"a":1,})", "trailing comma at line 1 column 8"},
        {R"({"a":1}x)", "trailing characters at line 1 column 8"},
        {"1 2", "trailing characters at line 1 column 3"},
        {"[1 2]", "expected `,` or `]` at line 1 column 4"},
        {R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
        {R"({"a" 1})", "expected `:` at line 1 column 6"},
        {"{1:2}", "key must be a string at line 1 column 2"},
        {R"({"a":1,2:3})", "key must be a string at line 1 column 8"},
        {"[", "EOF while parsing a list at line 1 column 1"},
        {"[1", "EOF while parsing a list at line 1 column 2"},
        {"[1,", "EOF while parsing a value at line 1 column 3"},
        {"{", "EOF while parsing an object at line 1 column 1"},
        {R"({"a")", "EOF while parsing an object at line 1 column 4"},
        {R"({"a":)", "EOF while parsing a value at line 1 column 5"},
        {R"({"a":1,)", "EOF while parsing a value at line 1 column 7"},
        {R"("abc)", "EOF while parsing a string at line 1 column 4"},
        {R"("\u12)", "EOF while parsing a string at line 1 column 5"},
        {"[x]", "expected value at line 1 column 2"},
        {"[,1]", "expected value at line 1 column 2"},
        {"+1", "expected value at line 1 column 1"},
        {"NaN", "expected value at line 1 column 1"},
        {"Infinity", "expected value at line 1 column 1"},
        {"[tru]", "expected ident at line 1 column 5"},
        {"nul", "EOF while parsing a value at line 1 column 3"},
        {"fals\n", "expected ident at line 2 column 0"},
        {"01", "invalid number at line 1 column 2"},
        {"-", "EOF while parsing a value at line 1 column 1"},
        {"[-]", "invalid number at line 1 column 3"},
        {"[1.]", "invalid number at line 1 column 4"},
        {"1.", "EOF while parsing a value at line 1 column 2"},
        {"[.5]", "expected value at line 1 column 2"},
        {"[1e]", "invalid number at line 1 column 4"},
        {"[1e+]", "invalid number at line 1 column 5"},
        {"1e", "EOF while parsing a value at line 1 column 2"},
        {"[1e400]", "number out of range at line 1 column 6"},
        {"-1e400", "number out of range at line 1 column 6"},
        {"1e99999999999999", "number out of range at line 1 column 12"},
        {"[1\n,\n2e400\n]", "number out of range at line 3 column 5"},
        {"\"a\x01\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        {"[\"a\nb\"]", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
        {R"("\x")", "invalid escape at line 1 column 3"},
        {R"("\u12g4")", "invalid escape at line 1 column 7"},
        {R"("\udc00")", "lone leading surrogate in hex escape at line 1 column 7"},
        {R"("\ud800")", "unexpected end of hex escape at line 1 column 8"},
        {R"("\ud800\n")", "unexpected end of hex escape at line 1 column 9"},
        {R"("\ud800\u0041")", "lone leading surrogate in hex escape at line 1 column 13"},
        {"\"\xff\"", "invalid unicode code point at line 1 column 3"},
        {"{\"k\xc3\":1}", "invalid unicode code point at line 1 column 5"},
        {"\"\xc0\x80\"", "invalid unicode code point at line 1 column 4"},          // overlong
        {"\"\xed\xa0\x80\"", "invalid unicode code point at line 1 column 5"},      // surrogate
        {"\"\xf4\x90\x80\x80\"", "invalid unicode code point at line 1 column 6"},  // above U+10FFFF
        {"\"\xe2\x82\"", "invalid unicode code point at line 1 column 4"},          // truncated
        // A control byte is found before an encoding fault is reported.
        {"\"\xff\x01\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(parse_error(text), want) << text;
}

// The syntax check (parse_json_only, skipped members of compact loading)
// words and places structural errors as the building reader does.
TEST(JsonReader, DigitRunsEndWhereByteByByteTheyDo) {
    // Bytes beside the digits ('/', ':') and high ones whose carry could
    // spill into the next byte of an eight-byte step.
    const char alphabet[] = {'0', '5', '9', '/', ':', '.', ' ', char(0xFA), char(0xFF), char(0x39 + 0x80)};
    std::mt19937 rng(11);
    for (int trial = 0; trial < 20000; ++trial) {
        std::string s(rng() % 40, '0');
        for (char& c : s) c = rng() % 4 ? char('0' + rng() % 10) : alphabet[rng() % sizeof alphabet];
        for (std::size_t from = 0; from <= s.size(); ++from) {
            std::size_t expect = from;
            while (expect < s.size() && s[expect] >= '0' && s[expect] <= '9') ++expect;
            const char* end = s.data() + s.size();
            ASSERT_EQ(std::size_t(zerlin::json_detail::skip_digits(s.data() + from, end) - s.data()), expect) << s;
        }
    }
}

// Skipping numbers (the plain short ones eight bytes at a time) accepts and
// refuses what reading them does, with the same messages and places.
TEST(JsonReader, SkippedNumbersCheckLikeReadOnes) {
    const char alphabet[] = {'0', '1', '9', '.', '.', '-', '+', 'e', 'E', ',', ' ', ']', 'x', char(0xCA)};
    std::mt19937 rng(13);
    for (int trial = 0; trial < 20000; ++trial) {
        std::string s = "[";
        const std::size_t n = rng() % 30;
        for (std::size_t i = 0; i < n; ++i) s += rng() % 3 ? char('0' + rng() % 10) : alphabet[rng() % sizeof alphabet];
        if (rng() % 2) s += "]";
        if (rng() % 2) s += "          ";  // room for eight-byte steps at the end
        const std::string built = parse_error(s);
        if (built.starts_with("number out of range")) continue;  // skipping checks the form alone
        ASSERT_EQ(check_error(s), built) << s;
    }
}

TEST(JsonReader, SyntaxCheckReportsLikeBuilding) {
    for (const char* text : {"[1,]", "[1, 2 ,\n ]", R"({"a":1,})", R"({"a":1 , })", R"([{"a":{"b":[1,]}}])",
                             R"({"u":{"a":1,},"v":2})", "[[],]", "[{},]", "[\"a\x01\"]", "{\"k\x1f\":1}",
                             R"({"a":"x\ty\u0001z)"
                             "\x02\"}"}) {
        const std::string built = parse_error(text);
        ASSERT_NE(built, "ok") << text;
        EXPECT_EQ(check_error(text), built) << text;
    }
    EXPECT_EQ(check_error("[\"a\x01\"]"),
              "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4");
}

TEST(JsonReader, ValidUtf8Passes) {
    for (const char* s : {"\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf", "\xee\x80\x80", "\xef\xbf\xbf",
                          "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf", "a\xc3\xa9z"}) {
        EXPECT_EQ(events("\"" + std::string(s) + "\""), "S'" + std::string(s) + "'");
    }
    // Long strings go through the 16-byte scan; faults anywhere are found.
    std::string long_text(100, 'a');
    for (std::size_t i : {0u, 15u, 16u, 31u, 99u}) {
        std::string t = long_text;
        t[i] = '\xc3';
        EXPECT_EQ(parse_error("\"" + t + "\""), "invalid unicode code point at line 1 column 102") << i;
        t[i] = '\x1f';
        EXPECT_EQ(parse_error("\"" + t + "\""),
                  "control character (\\u0000-\\u001F) found while parsing a string at line 1 column " +
                      std::to_string(i + 2));
    }
}

TEST(JsonReader, NestingBudget) {
    EXPECT_EQ(parse_error(nested(127, '[', ']')), "ok");
    EXPECT_EQ(parse_error(nested(128, '[', ']')), "recursion limit exceeded at line 1 column 128");
    std::string objects;
    for (int i = 0; i < 128; ++i) objects += "{\"a\":";
    EXPECT_EQ(parse_error(objects), "recursion limit exceeded at line 1 column 636");
    // The budget is returned when containers close.
    std::string siblings = "[";
    for (int i = 0; i < 300; ++i) siblings += nested(100, '[', ']') + ",";
    siblings += "1]";
    EXPECT_EQ(parse_error(siblings), "ok");
    // The syntax check has no limit.
    EXPECT_EQ(check_error(nested(100000, '[', ']')), "ok");
    EXPECT_EQ(check_error(nested(100000, '[', ']') + "]"), "trailing characters at line 1 column 200001");
}

TEST(JsonReader, SyntaxCheck) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"( {"a": [1, -2.5e-3, "x\u00e9", true, null, {}]} )", "ok"},
        {"1e400", "ok"},        // form only
        {"\"\xff\"", "ok"},     // no encoding check
        {R"("\udc00")", "ok"},  // escapes checked for form only
        {"", "EOF while parsing a value at line 1 column 0"},
        {"[1 2]", "expected `,` or `]` at line 1 column 4"},
        {R"({"a":1 "b"})", "expected `,` or `}` at line 1 column 8"},
        {R"({"a" 1})", "expected `:` at line 1 column 6"},
        {"{1:2}", "key must be a string at line 1 column 2"},
        {"[1,]", "trailing comma at line 1 column 4"},
        {R"({"a":1,})", "trailing comma at line 1 column 8"},
        {"[1", "EOF while parsing a list at line 1 column 2"},
        {R"({"a":1)", "EOF while parsing an object at line 1 column 6"},
        {"[1,", "EOF while parsing a value at line 1 column 3"},
        {"\"a", "EOF while parsing a string at line 1 column 2"},
        {"-", "EOF while parsing a value at line 1 column 1"},   // input ending inside a number or after a comma:
        {"1.", "EOF while parsing a value at line 1 column 2"},  // the building reader's words
        {R"({"a":1,)", "EOF while parsing a value at line 1 column 7"},
        {"01", "invalid number at line 1 column 2"},
        {"1.x", "invalid number at line 1 column 3"},
        {"1e", "EOF while parsing a value at line 1 column 2"},
        {"1ex", "invalid number at line 1 column 3"},
        {"[nul]", "expected ident at line 1 column 5"},
        {"\"a\x01\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        {R"("\q")", "invalid escape at line 1 column 3"},
        {"{} {}", "trailing characters at line 1 column 4"},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(check_error(text), want) << text;
}

TEST(JsonReader, SkipValueInsideARecord) {
    // A caller walking a record skips one member and reads on.
    zerlin::JsonReader r(R"({"skip": [1, {"x": [2]}], "keep": 5})");
    auto expect_byte = [&](char c) {
        ASSERT_EQ(r.peek_nonspace(), c);
        r.advance();
    };
    auto key = [&] {
        expect_byte('"');
        std::string k(r.read_string().text);
        expect_byte(':');
        return k;
    };
    expect_byte('{');
    EXPECT_EQ(key(), "skip");
    r.skip_value();
    expect_byte(',');
    EXPECT_EQ(key(), "keep");
    ASSERT_EQ(r.peek_nonspace(), '5');
    auto n = r.read_number();
    EXPECT_EQ(n.kind, zerlin::JsonNumber::U64);
    EXPECT_EQ(n.u, 5u);
}

// A fresh directory of its own under the system's temporary directory.
std::filesystem::path fresh_directory() {
    namespace fs = std::filesystem;
    std::random_device rd;
    for (;;) {
        fs::path dir = fs::temp_directory_path() / ("zerlin_json_test_" + std::to_string(rd()));
        if (fs::create_directory(dir)) return dir;
    }
}

TEST(ReadFile, ContentsAndErrors) {
    namespace fs = std::filesystem;
    const fs::path dir = fresh_directory();
    const std::string tmpl = (dir / "file.json").string();
    std::ofstream(tmpl, std::ios::binary).close();
    EXPECT_EQ(std::string_view(zerlin::read_file(tmpl)), "");
    // Every byte value, line ends included, comes back as it was written.
    std::string big(300000, 'x');
    for (std::size_t i = 0; i < big.size(); i += 7) big[i] = char(i % 251);
    big += "\r\n\n\r\x1a";
    std::ofstream(tmpl, std::ios::binary) << big;
    EXPECT_EQ(std::string_view(zerlin::read_file(tmpl)), big);
    // Large enough to be read in parts by several threads: each part lands in place.
    for (std::size_t i = 0; big.size() < (std::size_t(9) << 20) + 12345; ++i) big += char(i * 131 % 251);
    std::ofstream(tmpl, std::ios::binary) << big;
    EXPECT_EQ(std::string_view(zerlin::read_file(tmpl)), big);
    // A name beyond ASCII, given in UTF-8 on every system.
    const std::u8string name = u8"\u00fcn\u00ef c\u00f6d\u00e9 \u6587\u4ef6.json";
    std::ofstream(dir / fs::path(name), std::ios::binary) << "[1]";
    EXPECT_EQ(std::string_view(zerlin::read_file((dir / "").string() + std::string(name.begin(), name.end()))), "[1]");
    fs::remove(tmpl);
    auto os_message = [](const std::string& path) {
        try {
            zerlin::read_file(path);
        } catch (const zerlin::Error& e) {
            EXPECT_EQ(e.kind(), zerlin::ErrorKind::Os);
            return std::string(e.what());
        }
        return std::string("ok");
    };
    EXPECT_EQ(os_message(tmpl), "No such file or directory (os error 2)");
    EXPECT_EQ(os_message(dir.string()), "Is a directory (os error 21)");
    EXPECT_EQ(os_message(std::string("/etc/passwd\0x", 13)), "file name contained an unexpected NUL byte");
    fs::remove_all(dir);
#if defined(__linux__)
    // Files whose size the system does not report are read to their end.
    EXPECT_FALSE(zerlin::read_file("/proc/self/status").empty());
#endif
}

TEST(SipHash, ReferenceVector) {
    // Reference SipHash-2-4 output for key 00..0f and message 00..0e.
    zerlin::HashSeed seed{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
    unsigned char msg[15];
    for (int i = 0; i < 15; ++i) msg[i] = static_cast<unsigned char>(i);
    EXPECT_EQ((zerlin::siphash<2, 4>(seed, msg, 15)), 0xa129ca6149be45e5ULL);
    EXPECT_EQ((zerlin::siphash<2, 4>(seed, msg, 0)), 0x726fdb47dd0e0e31ULL);
}

TEST(HashMap, RoomAndGrowth) {
    zerlin::HashMap<std::string, int> m;
    EXPECT_EQ(m.room(), 112u);
    EXPECT_EQ(m.slot_count(), 128u);
    EXPECT_EQ(m.find("id"), nullptr);
    std::vector<std::string> keys;
    for (int i = 0; i < 5000; ++i) keys.push_back("key" + std::to_string(i * 7919 % 100003));
    for (std::size_t i = 0; i < keys.size(); ++i) {
        auto [v, inserted] = m.insert(keys[i], int(i));
        ASSERT_TRUE(inserted);
        ASSERT_EQ(*v, int(i));
        if (i == 111) {
            EXPECT_EQ(m.slot_count(), 128u);
        }
        if (i == 112) {
            EXPECT_EQ(m.slot_count(), 256u);
        }
    }
    EXPECT_EQ(m.size(), keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        auto [v, inserted] = m.insert(keys[i], -1);
        ASSERT_FALSE(inserted);
        ASSERT_EQ(*v, int(i));
    }
    EXPECT_EQ(m.find("key-absent"), nullptr);
    EXPECT_EQ(m.find(std::string_view("key0\0", 5)), nullptr);  // bytes, not C strings
    std::set<int> seen;
    m.for_each([&](const std::string& k, int& v) {
        EXPECT_EQ(k, keys[std::size_t(v)]);
        seen.insert(v);
    });
    EXPECT_EQ(seen.size(), keys.size());
    m.clear();
    EXPECT_EQ(m.size(), 0u);
    EXPECT_EQ(m.find(keys[0]), nullptr);
}

TEST(HashMap, IntegerKeysAndSeeds) {
    zerlin::HashMap<std::int64_t, std::int64_t> m(16);
    EXPECT_EQ(m.slot_count(), 32u);  // 16 slots hold only 14
    for (std::int64_t k : {INT64_MIN, std::int64_t(-1), std::int64_t(0), std::int64_t(1), INT64_MAX})
        EXPECT_TRUE(m.insert(k, k ^ 12345).second);
    for (std::int64_t k = 0; k < 100000; k += 3) m.insert(k << 20, k);
    EXPECT_EQ(*m.find(INT64_MIN), INT64_MIN ^ 12345);
    EXPECT_EQ(*m.find(3 << 20), 3);
    EXPECT_EQ(m.find(2 << 20), nullptr);
    // A value maker that throws leaves the map unchanged.
    std::size_t before = m.size();
    EXPECT_THROW(m.find_or_insert(42, []() -> std::int64_t { throw std::runtime_error("no"); }), std::runtime_error);
    EXPECT_EQ(m.size(), before);
    EXPECT_EQ(m.find(42), nullptr);
    // Two instances hash with different keys.
    zerlin::HashSeed a = zerlin::HashSeed::fresh(), b = zerlin::HashSeed::fresh();
    EXPECT_NE(zerlin::siphash13(a, "id", 2), zerlin::siphash13(b, "id", 2));
}

// The kind and any non-finite literal a failed parse carries, beside its message.
TEST(JsonReader, ErrorsCarryTheirKindAndLiteral) {
    using zerlin::NonFiniteLiteral;
    struct Case {
        std::string text;
        const char* kind;
        NonFiniteLiteral literal;
    };
    const std::vector<Case> cases = {
        {"[1, 2,]", "trailing_comma", NonFiniteLiteral::None},
        {R"({"s": NaN})", "expected_some_value", NonFiniteLiteral::NaN},
        {"[Infinity]", "expected_some_value", NonFiniteLiteral::Infinity},
        {"[1, -Infinity]", "invalid_number", NonFiniteLiteral::NegativeInfinity},
        {"[NaNa]", "expected_some_value", NonFiniteLiteral::None},
        {"[Infinity_]", "expected_some_value", NonFiniteLiteral::None},
    };
    for (const auto& c : cases) {
        try {
            Recorder r;
            zerlin::parse_json(c.text, r);
            ADD_FAILURE() << c.text << " parsed";
        } catch (const JsonError& e) {
            EXPECT_STREQ(zerlin::json_errc_name(e.code()), c.kind) << c.text;
            EXPECT_EQ(e.literal(), c.literal) << c.text;
        }
    }
}
