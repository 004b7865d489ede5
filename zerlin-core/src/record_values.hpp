// The values of a record's fields (ids, box coordinates, scores), read with
// the record grammar's messages; plain numbers, nearly all of them, in one
// pass.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "json_values.hpp"
#include "plain_numbers.hpp"
#include "zerlin/snapshot.hpp"

namespace zerlin::detail {

// The integer of at most 18 digits, no sign, at the cursor (as ids nearly
// always are) in v and the cursor past it, or false with the cursor left for
// the general reader.
inline bool take_plain_id(JsonReader& r, std::int64_t& v) {
    const char* const p = r.text().data() + r.offset();
    const char* const end = r.text().data() + r.text().size();
    std::uint64_t w = 0;
    const char* const q = plain_numbers::read_digits(p, end, w);
    const std::size_t n = std::size_t(q - p);
    if (n == 0 || n > 18 || (n > 1 && *p == '0') || (q != end && (*q == '.' || (*q | 0x20) == 'e'))) return false;
    v = std::int64_t(w);
    r.advance(n);
    return true;
}

inline std::int64_t read_i64(JsonReader& r) {
    int c = r.peek_nonspace();
    if (std::int64_t v; take_plain_id(r, v)) return v;
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
inline bool whole_i64(double d, std::int64_t& out) {
    if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0) || std::trunc(d) != d) return false;
    out = std::int64_t(d);
    return true;
}

// An integer, or under the reference grammar also a float holding a whole
// number (the reference loader keys by value, and 3.0 == 3).
inline std::int64_t read_id(JsonReader& r, RecordGrammar grammar) {
    if (grammar == RecordGrammar::Compact) return read_i64(r);
    int c = r.peek_nonspace();
    if (std::int64_t v; take_plain_id(r, v)) return v;
    if (c < 0) r.fail_peek(JsonErrc::EofWhileParsingValue);
    if (!starts_number(c)) fail_invalid_type(r, "i64");
    const std::size_t start = r.offset();
    JsonNumber n = r.read_number();
    std::int64_t v;
    if (n.kind == JsonNumber::I64) return n.i;
    if (n.kind == JsonNumber::U64 && n.u <= std::uint64_t(INT64_MAX)) return std::int64_t(n.u);
    if (n.kind == JsonNumber::F64 && whole_i64(n.d, v)) return v;
    r.seek(start);  // read again for read_i64's message
    return read_i64(r);
}

// The plain number at the cursor (plain_numbers::plain_number) below
// `limit` in magnitude in v and the cursor past it, or false with the cursor
// left for the general reader. Nearly every box coordinate and score is one.
inline bool take_plain_number(JsonReader& r, int c, double& v, double limit = INFINITY) {
    if (c != '-' && unsigned(c) - '0' > 9) return false;
    const char* const p = r.text().data() + r.offset();
    const char* const q = plain_numbers::plain_number(p, r.text().data() + r.text().size(), v);
    if (q == nullptr || !(std::fabs(v) < limit)) return false;
    r.advance(std::size_t(q - p));
    return true;
}

inline std::optional<double> read_optional_f64(JsonReader& r) {
    int c = r.peek_nonspace();
    if (double v; take_plain_number(r, c, v)) return v;
    if (take_null(r)) return std::nullopt;
    c = r.peek_nonspace();
    if (c < 0) r.fail_peek(JsonErrc::EofWhileParsingValue);
    if (!starts_number(c)) fail_invalid_type(r, "f64");
    return number_value(r.read_number());
}

constexpr const char* kCoordinate = "a bbox coordinate with an exactly representable integer part";
constexpr std::uint64_t kExactInteger = std::uint64_t(1) << 53;

inline double read_coordinate(JsonReader& r) {
    int c = r.peek_nonspace();
    // Larger values go the general way, which refuses inexact integers.
    if (double v; take_plain_number(r, c, v, double(kExactInteger))) return v;
    if (c == '[' || c == '{') fail_container(r, c, kCoordinate);
    if (c < 0) r.fail_peek(JsonErrc::EofWhileParsingValue);
    if (!starts_number(c)) fail_invalid_type(r, kCoordinate);
    JsonNumber n = r.read_number();
    if ((n.kind == JsonNumber::U64 && n.u > kExactInteger) ||
        (n.kind == JsonNumber::I64 && n.i < -std::int64_t(kExactInteger)))
        r.fail_custom_here("bbox integer exceeds exact float64 range");
    return number_value(n);
}

// The box "[x, y, w, h]" at the cursor when it is written as writers write
// it (plain numbers below 2^53 in magnitude, ", " or "," between them) in
// out and the cursor past it, or false with the cursor left for the general
// reader.
inline bool take_plain_bbox(JsonReader& r, double out[4]) {
    const char* const begin = r.text().data() + r.offset();
    const char* const end = r.text().data() + r.text().size();
    const char* p = begin + 1;  // past the '['
    for (int i = 0; i < 4; ++i) {
        p = plain_numbers::plain_number(p, end, out[i]);
        if (p == nullptr || p == end || !(std::fabs(out[i]) < double(kExactInteger))) return false;
        if (*p++ != (i < 3 ? ',' : ']')) return false;
        if (i < 3 && p != end && *p == ' ') ++p;
    }
    r.advance(std::size_t(p - begin));
    return true;
}

inline void read_bbox(JsonReader& r, double out[4]) {
    static const char* kExpected = "an array of length 4";
    int c = r.peek_nonspace();
    if (c == '[' && take_plain_bbox(r, out)) return;
    if (c < 0) r.fail_peek(JsonErrc::EofWhileParsingValue);
    if (c != '[') fail_invalid_type(r, kExpected);
    r.enter_container();
    r.advance();
    bool first = true;
    for (int i = 0; i < 4; ++i) {
        if (!r.next_element(first)) fail_in_array(r, "invalid length " + std::to_string(i) + ", expected " + kExpected);
        out[i] = read_coordinate(r);
    }
    r.end_array();
    r.leave_container();
}

}  // namespace zerlin::detail
