// JSON reader: building a document and checking its syntax must agree. The
// syntax check leaves out the building-only rules (nesting budget, number
// range, UTF-8 and surrogate pairs); on any other error both report the same
// reason at the same line and column.
#include <optional>
#include <string_view>

#include "harness.hpp"
#include "zerlin/json.hpp"
#include "zerlin/snapshot.hpp"

namespace {

struct Counter {
    std::size_t events = 0, bytes = 0;
    void on_null() { ++events; }
    void on_bool(bool) { ++events; }
    void on_u64(std::uint64_t) { ++events; }
    void on_i64(std::int64_t v) {
        FUZZ_CHECK(v < 0);
        ++events;
    }
    void on_double(double) { ++events; }
    void on_string(zerlin::JsonString s) { ++events, bytes += s.text.size(); }
    void on_key(zerlin::JsonString s) { ++events, bytes += s.text.size(); }
    void on_array_begin() { ++events; }
    void on_array_end() { ++events; }
    void on_object_begin() { ++events; }
    void on_object_end() { ++events; }
};

bool building_only(zerlin::JsonErrc c) {
    using E = zerlin::JsonErrc;
    return c == E::RecursionLimitExceeded || c == E::NumberOutOfRange || c == E::InvalidUnicodeCodePoint ||
           c == E::LoneLeadingSurrogateInHexEscape || c == E::UnexpectedEndOfHexEscape;
}

template <class F>
std::optional<zerlin::JsonError> error_of(F&& f) {
    try {
        f();
    } catch (const zerlin::JsonError& e) {
        return e;
    }
    return std::nullopt;
}

void same_error(const zerlin::JsonError& a, const zerlin::JsonError& b, const char* what) {
    if (a.code() != b.code() || a.line() != b.line() || a.column() != b.column()) {
        std::fprintf(stderr, "building: %s\nchecking: %s\n", a.what(), b.what());
        fuzz::fail(what);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto built = error_of([&] {
        Counter c;
        zerlin::parse_json(text, c);
    });
    auto checked = error_of([&] { zerlin::check_json_syntax(text); });
    // The value reader a caller uses to take one member whole.
    auto taken = error_of([&] {
        zerlin::JsonReader r(text);
        zerlin::read_any_value(r);
        r.finish();
    });
    if (!built) {
        if (checked) fuzz::fail("syntax check refused a document that builds:", checked->what());
        if (taken) fuzz::fail("read_any_value refused a document that builds:", taken->what());
        return 0;
    }
    if (taken) same_error(*built, *taken, "building and read_any_value disagree");
    if (building_only(built->code())) return 0;
    if (!checked) fuzz::fail("syntax check accepted a document that does not build:", built->what());
    same_error(*built, *checked, "building and syntax check report different errors");
    return 0;
}
