#include "json_values.hpp"

#include "float_text.hpp"
#include "zerlin/snapshot.hpp"
#include "zerlin/text.hpp"

namespace zerlin {

// ---------------------------------------------------------------- messages

std::string describe_float(double v) {
    // Plain decimal digits, the shortest that read back the same, and ".0"
    // when there is no fraction: 1e20 -> "100000000000000000000.0".
    std::string s = shortest_fixed(v);
    if (s.find('.') == std::string::npos) s += ".0";
    return "floating point `" + s + "`";
}

std::string describe_string(std::string_view s) {
    return "string " + quote_literal(s);
}

namespace detail {

std::string describe_number(const JsonNumber& n) {
    if (n.kind == JsonNumber::U64) return "integer `" + std::to_string(n.u) + "`";
    if (n.kind == JsonNumber::I64) return "integer `" + std::to_string(n.i) + "`";
    return describe_float(n.d);
}

bool starts_number(int c) {
    return c == '-' || (c >= '0' && c <= '9');
}

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
        case 'n':
            r.advance();
            r.read_literal("ull", 3);
            found = "null";
            break;
        case 't':
            r.advance();
            r.read_literal("rue", 3);
            found = "boolean `true`";
            break;
        case 'f':
            r.advance();
            r.read_literal("alse", 4);
            found = "boolean `false`";
            break;
        case '"':
            r.advance();
            found = describe_string(r.read_string().text);
            break;
        case '[':
            found = "sequence";
            break;
        case '{':
            found = "map";
            break;
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

}  // namespace detail

void read_any_value(JsonReader& r) {
    detail::Discard d;
    r.parse_value(d);
}

}  // namespace zerlin
