// Strict JSON reader.
//
// One reader serves every JSON input of the loaders: it builds documents
// through a handler (SAX-style callbacks, so a caller can create its own
// objects straight from the bytes with no intermediate tree), skips values
// with a syntax check only, and exposes its primitives (strings, numbers,
// whitespace, positioned errors) to callers that walk a known record layout.
//
// Errors are JsonError values carrying a fixed reason and the 1-based line
// and byte column of the offending byte; what() renders
// "<reason> at line L column C".
#pragma once

#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "zerlin/cancel.hpp"
#include "zerlin/error.hpp"
#include "zerlin/platform.hpp"

namespace zerlin {

enum class JsonErrc : std::uint8_t {
    EofWhileParsingList,
    EofWhileParsingObject,
    EofWhileParsingString,
    EofWhileParsingValue,
    ExpectedColon,
    ExpectedListCommaOrEnd,
    ExpectedObjectCommaOrEnd,
    ExpectedSomeIdent,
    ExpectedSomeValue,
    InvalidEscape,
    InvalidNumber,
    NumberOutOfRange,
    InvalidUnicodeCodePoint,
    ControlCharacterWhileParsingString,
    KeyMustBeAString,
    LoneLeadingSurrogateInHexEscape,
    TrailingComma,
    TrailingCharacters,
    UnexpectedEndOfHexEscape,
    RecursionLimitExceeded,
    Custom,  // a rule of a caller's record layout; the reason text says which
};

// The fixed reason text of a code ("" for Custom).
const char* json_errc_reason(JsonErrc code) noexcept;

// The code's name in snake case ("expected_some_value", "custom"): the error
// kind callers branch on instead of the reason text.
const char* json_errc_name(JsonErrc code) noexcept;

// A literal that JSON lacks but Python's json module writes (a NaN score,
// say), standing where the reader failed: callers can read such a file
// another way without parsing the message.
enum class NonFiniteLiteral : std::uint8_t { None, NaN, Infinity, NegativeInfinity };

struct TextPosition {
    std::size_t line = 0;
    std::size_t column = 0;
};

// Line and column reported for an error detected when `at` bytes of `text`
// had been consumed: the line is one more than the line feeds before `at`,
// the column the number of bytes of that line before `at`.
TextPosition text_position(std::string_view text, std::size_t at) noexcept;

class JsonError : public Error {
  public:
    JsonError(JsonErrc code, std::string reason, TextPosition pos, NonFiniteLiteral literal = NonFiniteLiteral::None);
    JsonErrc code() const noexcept { return code_; }
    NonFiniteLiteral literal() const noexcept { return literal_; }
    const std::string& reason() const noexcept { return reason_; }
    std::size_t line() const noexcept { return pos_.line; }
    std::size_t column() const noexcept { return pos_.column; }

  private:
    JsonErrc code_;
    std::string reason_;
    TextPosition pos_;
    NonFiniteLiteral literal_;
};

[[noreturn]] void throw_json_error(JsonErrc code, std::string_view text, std::size_t at);
[[noreturn]] void throw_json_error(std::string reason, std::string_view text, std::size_t at);

// A decoded string: either a view into the input (no escapes) or into the
// reader's scratch buffer (valid until the reader reads the next string).
struct JsonString {
    std::string_view text;
    bool ascii;  // every byte below 0x80
};

struct JsonNumber {
    enum Kind : std::uint8_t { U64, I64, F64 } kind;
    union {
        std::uint64_t u;
        std::int64_t i;
        double d;
    };
};

namespace json_detail {

// Length of the well-formed UTF-8 sequence starting at p (lead byte >= 0x80),
// or 0 when the bytes there are not one.
inline std::size_t utf8_sequence(const unsigned char* p, const unsigned char* end) noexcept {
    unsigned c = p[0];
    std::size_t avail = std::size_t(end - p);
    auto cont = [&](std::size_t i) { return i < avail && (p[i] & 0xC0) == 0x80; };
    if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (avail < 2) return 0;
        unsigned c1 = p[1];
        if (c == 0xE0 && c1 < 0xA0) return 0;  // overlong
        if (c == 0xED && c1 > 0x9F) return 0;  // UTF-16 surrogates
        return cont(1) && cont(2) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (avail < 2) return 0;
        unsigned c1 = p[1];
        if (c == 0xF0 && c1 < 0x90) return 0;  // overlong
        if (c == 0xF4 && c1 > 0x8F) return 0;  // above U+10FFFF
        return cont(1) && cont(2) && cont(3) ? 4 : 0;
    }
    return 0;
}

// Whether [p, end) is well-formed UTF-8. ASCII runs go 16 bytes at a time.
inline bool utf8_valid(const char* p, const char* end) noexcept {
    while (p != end) {
#if defined(ZERLIN_SSE2)
        while (end - p >= 16 && _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))) == 0) p += 16;
        if (p == end) break;
#endif
        if (static_cast<unsigned char>(*p) < 0x80) {
            ++p;
            continue;
        }
        std::size_t n =
            utf8_sequence(reinterpret_cast<const unsigned char*>(p), reinterpret_cast<const unsigned char*>(end));
        if (n == 0) return false;
        p += n;
    }
    return true;
}

// First byte at or after p that ends a run of plain string content: a
// quote, a backslash, a control byte and, when kHigh, a byte >= 0x80.
template <bool kHigh>
inline const char* find_special(const char* p, const char* end) noexcept {
#if defined(ZERLIN_SSE2)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i slash = _mm_set1_epi8('\\');
    const __m128i space = _mm_set1_epi8(0x20);
    const __m128i ctl = _mm_set1_epi8(0x1F);
    while (end - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i m = _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, slash));
        if constexpr (kHigh) {
            m = _mm_or_si128(m, _mm_cmplt_epi8(v, space));  // signed: also every byte >= 0x80
        } else {
            m = _mm_or_si128(m, _mm_cmpeq_epi8(_mm_min_epu8(v, ctl), v));
        }
        unsigned bits = unsigned(_mm_movemask_epi8(m));
        if (bits != 0) return p + lowest_bit(bits);
        p += 16;
    }
#endif
    for (; p != end; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\' || c < 0x20 || (kHigh && c >= 0x80)) return p;
    }
    return p;
}

// The eight bytes at p with '0'..'9' as 0..9 (d), and a mask with a high
// nibble set at every byte that is no digit (the return value): adding 6 sets
// the high nibble of anything past 9. A carry out of a byte only reaches later
// bytes, past the first non-digit, so the mask is exact up to that byte.
inline std::uint64_t non_digit_bytes(const char* p, std::uint64_t& d) noexcept {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    d = x ^ 0x3030303030303030u;
    return (d | (d + 0x0606060606060606u)) & 0xF0F0F0F0F0F0F0F0u;
}

// First byte at or after p that is not an ASCII digit. Polygon files are
// mostly digits, so they go eight bytes at a time.
inline const char* skip_digits(const char* p, const char* end) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        while (end - p >= 8) {
            std::uint64_t a;
            const std::uint64_t other = non_digit_bytes(p, a);
            if (other != 0) return p + std::countr_zero(other) / 8;
            p += 8;
        }
    }
    while (p != end && unsigned(static_cast<unsigned char>(*p)) - '0' <= 9) ++p;
    return p;
}

// The end of a number without sign or exponent ("0", "12", "271.61") that
// ends inside the 8 bytes at p, or nullptr for anything else (longer,
// exponent, malformed), which the general path then reads with its
// messages. Polygon coordinates are mostly such numbers.
inline const char* short_plain_number_end(const char* p, const char* end) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        if (end - p < 8) return nullptr;
        // Exact up to the second non-digit too, since neither a digit nor a
        // '.' carries into the byte after it.
        std::uint64_t a;
        const std::uint64_t other = non_digit_bytes(p, a);
        if (other == 0) return nullptr;
        const int n = std::countr_zero(other) / 8;  // integer digits
        if (n == 0 || (n > 1 && p[0] == '0')) return nullptr;
        if (p[n] != '.') return (p[n] | 0x20) == 'e' ? nullptr : p + n;
        if (n >= 6) return nullptr;
        const std::uint64_t rest = other >> (8 * (n + 1));
        if (rest == 0) return nullptr;
        const int f = std::countr_zero(rest) / 8;  // fraction digits
        if (f == 0 || (p[n + 1 + f] | 0x20) == 'e') return nullptr;
        return p + n + 1 + f;
    }
    return nullptr;
}

inline bool is_space(unsigned char c) noexcept {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

// First byte at or after p that is not JSON whitespace. Indented files have
// long runs of spaces after each line feed, so those go 16 bytes at a time.
inline const char* skip_space(const char* p, const char* end) noexcept {
    for (int i = 0; i < 4; ++i, ++p)
        if (p == end || !is_space(static_cast<unsigned char>(*p))) return p;
#if defined(ZERLIN_SSE2)
    while (end - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i ws =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))),
                         _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'))));
        unsigned other = ~unsigned(_mm_movemask_epi8(ws)) & 0xFFFFu;
        if (other != 0) return p + lowest_bit(other);
        p += 16;
    }
#endif
    while (p != end && is_space(static_cast<unsigned char>(*p))) ++p;
    return p;
}

inline void append_utf8(std::string& out, std::uint32_t cp) {
    char buf[4];
    std::size_t n;
    if (cp < 0x80) {
        buf[0] = char(cp);
        n = 1;
    } else if (cp < 0x800) {
        buf[0] = char(0xC0 | (cp >> 6));
        buf[1] = char(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        buf[0] = char(0xE0 | (cp >> 12));
        buf[1] = char(0x80 | ((cp >> 6) & 0x3F));
        buf[2] = char(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        buf[0] = char(0xF0 | (cp >> 18));
        buf[1] = char(0x80 | ((cp >> 12) & 0x3F));
        buf[2] = char(0x80 | ((cp >> 6) & 0x3F));
        buf[3] = char(0x80 | (cp & 0x3F));
        n = 4;
    }
    out.append(buf, n);
}

inline int hex_value(unsigned char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    c |= 0x20;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Slow path of float conversion: the correctly rounded double of the
// literal [first, last), or the exact overflow/underflow decision when the
// library reports the value out of range. Sets *overflow instead of
// returning infinity.
double convert_float(const char* first, const char* last, bool* overflow) noexcept;

inline constexpr double kExactPow10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                           1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

}  // namespace json_detail

class JsonReader {
  public:
    // Containers that may be open at once while building (127 nested
    // containers are accepted, the 128th is refused).
    static constexpr int kDepthBudget = 128;

    explicit JsonReader(std::string_view text) noexcept
        : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

    std::string_view text() const noexcept { return {begin_, std::size_t(end_ - begin_)}; }
    std::size_t offset() const noexcept { return std::size_t(p_ - begin_); }
    void seek(std::size_t offset) noexcept { p_ = begin_ + offset; }
    bool at_end() const noexcept { return p_ == end_; }
    void advance(std::size_t n = 1) noexcept { p_ += n; }

    // Skips whitespace; the next byte (not consumed), or -1 at end of input.
    int peek_nonspace() noexcept {
        if (p_ != end_) {
            unsigned char c = static_cast<unsigned char>(*p_);
            if (c > ' ') return c;
            // One space, as after ": " and ", ", is the common case.
            if (c == ' ' && end_ - p_ > 1 && static_cast<unsigned char>(p_[1]) > ' ')
                return static_cast<unsigned char>(*++p_);
        }
        return skip_space_slow();
    }

    // Errors. fail_peek blames the next, unconsumed byte (the column counts
    // it); fail_here blames what was consumed last (the column ends before
    // the cursor).
    [[noreturn]] void fail_here(JsonErrc code) const { throw_json_error(code, text(), offset()); }
    [[noreturn]] void fail_peek(JsonErrc code) const {
        throw_json_error(code, text(), offset() + (p_ != end_ ? 1 : 0));
    }
    [[noreturn]] void fail_custom_here(std::string reason) const {
        throw_json_error(std::move(reason), text(), offset());
    }
    [[noreturn]] void fail_custom_peek(std::string reason) const {
        throw_json_error(std::move(reason), text(), offset() + (p_ != end_ ? 1 : 0));
    }

    // Cursor just after the opening quote. Resolves escapes and checks that
    // the content is UTF-8.
    JsonString read_string();
    // Cursor just after the opening quote. Checks escapes and control bytes only.
    void skip_string();
    // Cursor on '-' or a digit.
    JsonNumber read_number();
    // Cursor on '-' or a digit. Checks the form only.
    void skip_number();
    // Cursor after the first letter of true/false/null; `rest` the remaining letters.
    void read_literal(const char* rest, std::size_t n);

    // Reads one value (leading whitespace allowed) and reports it to h,
    // spending the nesting budget.
    template <class H>
    void parse_value(H& h);
    // A string, number or literal starting with `c` (the byte at the cursor).
    template <class H>
    void parse_scalar(H& h, int c);

    // Skips one value with a syntax check; no nesting limit.
    void skip_value();

    // After the top-level value: only whitespace may follow.
    void finish() {
        if (peek_nonspace() >= 0) fail_peek(JsonErrc::TrailingCharacters);
    }

    // Walking a known layout, with the messages of parse_value. Inside an
    // array (after its '['): true with the cursor on the next element, false
    // at the closing bracket, which end_array() or the caller then reads.
    bool next_element(bool& first);
    // After the elements a layout expects: the closing bracket must follow.
    void end_array();
    // Inside an object (after its '{'): true with the next key read, false
    // at the closing brace (not consumed). Then member_colon() before the value.
    bool next_key(bool& first, JsonString& key);
    // Like next_key, with the cursor left just after the key's opening quote
    // (read_string then reads the key).
    bool next_key_quote(bool& first);
    void member_colon();

    // What skip_value reports to parse_scalar: nothing. Strings and numbers
    // are then checked for their form only (skip_string, skip_number).
    struct Skipped {
        void on_bool(bool) noexcept {}
        void on_null() noexcept {}
    };

    // Nesting budget for callers that open containers themselves.
    void enter_container() {
        if (--remaining_depth_ == 0) fail_peek(JsonErrc::RecursionLimitExceeded);
    }
    void leave_container() noexcept { ++remaining_depth_; }

  private:
    // An open container and whether it awaits its first member.
    struct Frame {
        bool object;
        bool first;
    };

    // Where a container's next member starts: the byte after its comma, or
    // `close` (not consumed) when the container ends.
    int member_start(bool& first, int close, JsonErrc eof, JsonErrc expected_comma);
    int skip_space_slow() noexcept;
    void read_escape(bool& ascii);
    void skip_escape();
    std::uint32_t read_hex4();
    double read_float(const char* start, bool neg, std::uint64_t mant, bool exact);

    const char* begin_;
    const char* p_;
    const char* end_;
    int remaining_depth_ = kDepthBudget;
    std::string scratch_;
    std::vector<Frame> open_;  // containers open in skip_value
};

// Builds a whole document through h: value, then only whitespace.
//
// Handler interface (values arrive in document order; for an object each
// value follows its key):
//   on_null(), on_bool(bool), on_u64(uint64_t), on_i64(int64_t) (negative
//   integers only), on_double(double), on_string(JsonString),
//   on_key(JsonString), on_array_begin(), on_array_end(),
//   on_object_begin(), on_object_end().
// Strings are only valid during the call.
template <class H>
void parse_json(std::string_view text, H& h) {
    JsonReader r(text);
    r.parse_value(h);
    r.finish();
}

// Syntax check of a whole document: numbers checked for form, strings for
// escapes and control bytes, no nesting limit.
void check_json_syntax(std::string_view text);

// ---------------------------------------------------------------------------

inline JsonString JsonReader::read_string() {
    const char* run = p_;  // first byte not yet copied to scratch
    bool ascii = true, bad_utf8 = false, copied = false;
    for (;;) {
        p_ = json_detail::find_special<true>(p_, end_);
        if (p_ == end_) fail_here(JsonErrc::EofWhileParsingString);
        unsigned char c = static_cast<unsigned char>(*p_);
        if (c == '"') {
            std::string_view s;
            if (!copied) {
                s = std::string_view(run, std::size_t(p_ - run));
            } else {
                scratch_.append(run, p_);
                s = scratch_;
            }
            ++p_;
            // Reported after the closing quote, once the string is whole.
            if (bad_utf8) fail_here(JsonErrc::InvalidUnicodeCodePoint);
            return {s, ascii};
        }
        if (c == '\\') {
            if (!copied) {
                scratch_.clear();
                copied = true;
            }
            scratch_.append(run, p_);
            ++p_;
            read_escape(ascii);
            run = p_;
            continue;
        }
        if (c < 0x20) {
            ++p_;
            fail_here(JsonErrc::ControlCharacterWhileParsingString);
        }
        ascii = false;
        std::size_t n = json_detail::utf8_sequence(reinterpret_cast<const unsigned char*>(p_),
                                                   reinterpret_cast<const unsigned char*>(end_));
        if (n == 0) {
            bad_utf8 = true;
            n = 1;
        }
        p_ += n;
    }
}

inline void JsonReader::skip_string() {
    for (;;) {
        p_ = json_detail::find_special<false>(p_, end_);
        if (p_ == end_) fail_here(JsonErrc::EofWhileParsingString);
        char c = *p_;
        if (c == '"') {
            ++p_;
            return;
        }
        if (c == '\\') {
            ++p_;
            skip_escape();
            continue;
        }
        ++p_;  // the column of the control byte itself
        fail_here(JsonErrc::ControlCharacterWhileParsingString);
    }
}

inline std::uint32_t JsonReader::read_hex4() {
    if (end_ - p_ < 4) {
        p_ = end_;
        fail_here(JsonErrc::EofWhileParsingString);
    }
    const auto* u = reinterpret_cast<const unsigned char*>(p_);
    int a = json_detail::hex_value(u[0]), b = json_detail::hex_value(u[1]);
    int c = json_detail::hex_value(u[2]), d = json_detail::hex_value(u[3]);
    p_ += 4;
    if ((a | b | c | d) < 0) fail_here(JsonErrc::InvalidEscape);
    return std::uint32_t(a << 12 | b << 8 | c << 4 | d);
}

inline void JsonReader::read_escape(bool& ascii) {
    if (p_ == end_) fail_here(JsonErrc::EofWhileParsingString);
    char c = *p_++;
    switch (c) {
        case '"':
            scratch_.push_back('"');
            return;
        case '\\':
            scratch_.push_back('\\');
            return;
        case '/':
            scratch_.push_back('/');
            return;
        case 'b':
            scratch_.push_back('\b');
            return;
        case 'f':
            scratch_.push_back('\f');
            return;
        case 'n':
            scratch_.push_back('\n');
            return;
        case 'r':
            scratch_.push_back('\r');
            return;
        case 't':
            scratch_.push_back('\t');
            return;
        case 'u':
            break;
        default:
            fail_here(JsonErrc::InvalidEscape);
    }
    std::uint32_t n = read_hex4();
    if (n >= 0xDC00 && n <= 0xDFFF) fail_here(JsonErrc::LoneLeadingSurrogateInHexEscape);
    if (n >= 0xD800 && n <= 0xDBFF) {
        // A leading surrogate must be followed by an escaped trailing one.
        for (char want : {'\\', 'u'}) {
            if (p_ == end_) fail_here(JsonErrc::EofWhileParsingString);
            if (*p_++ != want) fail_here(JsonErrc::UnexpectedEndOfHexEscape);
        }
        std::uint32_t n2 = read_hex4();
        if (n2 < 0xDC00 || n2 > 0xDFFF) fail_here(JsonErrc::LoneLeadingSurrogateInHexEscape);
        n = (((n - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000;
    }
    if (n >= 0x80) ascii = false;
    json_detail::append_utf8(scratch_, n);
}

inline void JsonReader::skip_escape() {
    if (p_ == end_) fail_here(JsonErrc::EofWhileParsingString);
    switch (*p_++) {
        case '"':
        case '\\':
        case '/':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't':
            return;
        case 'u':
            read_hex4();
            return;
        default:
            fail_here(JsonErrc::InvalidEscape);
    }
}

inline void JsonReader::read_literal(const char* rest, std::size_t n) {
    if (std::size_t(end_ - p_) >= n && std::memcmp(p_, rest, n) == 0) {
        p_ += n;
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (p_ == end_) fail_here(JsonErrc::EofWhileParsingValue);
        if (*p_++ != rest[i]) fail_here(JsonErrc::ExpectedSomeIdent);
    }
}

inline JsonNumber JsonReader::read_number() {
    const char* start = p_;
    bool neg = *p_ == '-';
    if (neg) ++p_;
    if (p_ == end_) fail_here(JsonErrc::EofWhileParsingValue);
    unsigned d = unsigned(static_cast<unsigned char>(*p_++)) - '0';
    std::uint64_t mant = d;
    if (d == 0) {
        if (p_ != end_ && unsigned(static_cast<unsigned char>(*p_)) - '0' <= 9) fail_peek(JsonErrc::InvalidNumber);
    } else if (d <= 9) {
        while (p_ != end_ && (d = unsigned(static_cast<unsigned char>(*p_)) - '0') <= 9) {
            std::uint64_t next;
            if (!append_decimal_digit(mant, d, next)) {
                // Beyond u64: the number continues as a float.
                JsonNumber r;
                r.kind = JsonNumber::F64;
                r.d = read_float(start, neg, mant, false);
                return r;
            }
            mant = next;
            ++p_;
        }
    } else {
        fail_here(JsonErrc::InvalidNumber);
    }
    JsonNumber r;
    if (p_ != end_ && (*p_ == '.' || (*p_ | 0x20) == 'e')) {
        r.kind = JsonNumber::F64;
        r.d = read_float(start, neg, mant, true);
    } else if (!neg) {
        r.kind = JsonNumber::U64;
        r.u = mant;
    } else if (mant == 0) {
        r.kind = JsonNumber::F64;  // -0 has no integer form
        r.d = -0.0;
    } else if (mant <= (std::uint64_t(1) << 63)) {
        r.kind = JsonNumber::I64;
        r.i = static_cast<std::int64_t>(~mant + 1);
    } else {
        r.kind = JsonNumber::F64;
        r.d = -static_cast<double>(mant);
    }
    return r;
}

// Cursor after the integer digits consumed so far. `mant` holds those digits
// when `exact`; otherwise an integer digit did not fit and the cursor is on it.
inline double JsonReader::read_float(const char* start, bool neg, std::uint64_t mant, bool exact) {
    std::int64_t exp10 = 0;
    bool nonzero = mant != 0 || !exact;
    auto digit = [&](unsigned& d) { return p_ != end_ && (d = unsigned(static_cast<unsigned char>(*p_)) - '0') <= 9; };
    unsigned d;
    while (digit(d)) ++p_;  // rest of an over-long integer part
    if (p_ != end_ && *p_ == '.') {
        ++p_;
        const char* first = p_;
        for (; digit(d); ++p_) {
            nonzero |= d != 0;
            if (exact) {
                std::uint64_t next;
                if (!append_decimal_digit(mant, d, next)) {
                    exact = false;
                } else {
                    mant = next;
                    --exp10;
                }
            }
        }
        if (p_ == first) fail_peek(p_ == end_ ? JsonErrc::EofWhileParsingValue : JsonErrc::InvalidNumber);
    }
    if (p_ != end_ && (*p_ | 0x20) == 'e') {
        ++p_;
        bool eneg = false;
        if (p_ != end_ && (*p_ == '+' || *p_ == '-')) eneg = *p_++ == '-';
        if (p_ == end_) fail_here(JsonErrc::EofWhileParsingValue);
        d = unsigned(static_cast<unsigned char>(*p_++)) - '0';
        if (d > 9) fail_here(JsonErrc::InvalidNumber);
        std::int32_t e = std::int32_t(d);
        while (digit(d)) {
            ++p_;
            if (e > (INT32_MAX - std::int32_t(d)) / 10) {
                if (nonzero && !eneg) fail_here(JsonErrc::NumberOutOfRange);
                while (digit(d)) ++p_;
                return neg ? -0.0 : 0.0;
            }
            e = e * 10 + std::int32_t(d);
        }
        exp10 += eneg ? -e : e;
    }
    if (exact && mant <= (std::uint64_t(1) << 53) && exp10 >= -22 && exp10 <= 22) {
        // Both factors are exact doubles, so one IEEE operation rounds correctly.
        double v = static_cast<double>(mant);
        v = exp10 >= 0 ? v * json_detail::kExactPow10[exp10] : v / json_detail::kExactPow10[-exp10];
        return neg ? -v : v;
    }
    bool overflow = false;
    double v = json_detail::convert_float(start, p_, &overflow);
    if (overflow) fail_here(JsonErrc::NumberOutOfRange);
    return v;
}

inline void JsonReader::skip_number() {
    // Input that ends inside a number is reported as read_number does.
    if (*p_ == '-') ++p_;
    if (const char* q = json_detail::short_plain_number_end(p_, end_)) {
        p_ = q;
        return;
    }
    auto is_digit = [&] { return p_ != end_ && unsigned(static_cast<unsigned char>(*p_)) - '0' <= 9; };
    if (p_ == end_) fail_here(JsonErrc::EofWhileParsingValue);
    char c = *p_;
    if (c == '0') {
        ++p_;
        if (is_digit()) fail_peek(JsonErrc::InvalidNumber);
    } else if (c >= '1' && c <= '9') {
        p_ = json_detail::skip_digits(p_ + 1, end_);
    } else {
        ++p_;
        fail_here(JsonErrc::InvalidNumber);
    }
    if (p_ != end_ && *p_ == '.') {
        ++p_;
        if (!is_digit()) fail_peek(p_ == end_ ? JsonErrc::EofWhileParsingValue : JsonErrc::InvalidNumber);
        p_ = json_detail::skip_digits(p_ + 1, end_);
    }
    if (p_ != end_ && (*p_ | 0x20) == 'e') {
        ++p_;
        if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
        if (p_ == end_) fail_here(JsonErrc::EofWhileParsingValue);
        if (!is_digit()) {
            ++p_;
            fail_here(JsonErrc::InvalidNumber);
        }
        p_ = json_detail::skip_digits(p_ + 1, end_);
    }
}

// Defined here so the building reader's loop inlines them.
inline int JsonReader::member_start(bool& first, int close, JsonErrc eof, JsonErrc expected_comma) {
    int c = peek_nonspace();
    if (c == close) return c;
    if (c == ',' && !first) {
        ++p_;
        c = peek_nonspace();
    } else if (c < 0) {
        fail_peek(eof);
    } else if (first) {
        first = false;
    } else {
        fail_peek(expected_comma);
    }
    if (c == close) fail_peek(JsonErrc::TrailingComma);
    return c;
}

inline bool JsonReader::next_element(bool& first) {
    const int c = member_start(first, ']', JsonErrc::EofWhileParsingList, JsonErrc::ExpectedListCommaOrEnd);
    if (c == ']') return false;
    if (c < 0) fail_peek(JsonErrc::EofWhileParsingValue);
    return true;
}

inline void JsonReader::end_array() {
    int c = peek_nonspace();
    if (c == ']') {
        ++p_;
        return;
    }
    if (c == ',') {
        ++p_;
        fail_peek(peek_nonspace() == ']' ? JsonErrc::TrailingComma : JsonErrc::TrailingCharacters);
    }
    fail_peek(c < 0 ? JsonErrc::EofWhileParsingList : JsonErrc::TrailingCharacters);
}

inline bool JsonReader::next_key_quote(bool& first) {
    const int c = member_start(first, '}', JsonErrc::EofWhileParsingObject, JsonErrc::ExpectedObjectCommaOrEnd);
    if (c == '}') return false;
    if (c == '"') {
        ++p_;
        return true;
    }
    fail_peek(c < 0 ? JsonErrc::EofWhileParsingValue : JsonErrc::KeyMustBeAString);
}

inline bool JsonReader::next_key(bool& first, JsonString& key) {
    if (!next_key_quote(first)) return false;
    key = read_string();
    return true;
}

inline void JsonReader::member_colon() {
    int c = peek_nonspace();
    if (c == ':') {
        ++p_;
        return;
    }
    fail_peek(c < 0 ? JsonErrc::EofWhileParsingObject : JsonErrc::ExpectedColon);
}

template <class H>
void JsonReader::parse_scalar(H& h, int c) {
    constexpr bool skipped = std::is_same_v<H, Skipped>;
    switch (c) {
        case '"':
            ++p_;
            if constexpr (skipped)
                skip_string();
            else
                h.on_string(read_string());
            return;
        case '-':
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9': {
            if constexpr (skipped) {
                skip_number();
            } else {
                JsonNumber n = read_number();
                if (n.kind == JsonNumber::U64)
                    h.on_u64(n.u);
                else if (n.kind == JsonNumber::I64)
                    h.on_i64(n.i);
                else
                    h.on_double(n.d);
            }
            return;
        }
        case 't':
            ++p_;
            read_literal("rue", 3);
            h.on_bool(true);
            return;
        case 'f':
            ++p_;
            read_literal("alse", 4);
            h.on_bool(false);
            return;
        case 'n':
            ++p_;
            read_literal("ull", 3);
            h.on_null();
            return;
        case -1:
            fail_peek(JsonErrc::EofWhileParsingValue);
        default:
            fail_peek(JsonErrc::ExpectedSomeValue);
    }
}

template <class H>
void JsonReader::parse_value(H& h) {
    Frame open[kDepthBudget];  // innermost last
    int depth = 0;
    for (;;) {
        const int c = peek_nonspace();
        if (c == '{' || c == '[') {
            check_cancelled();  // long documents are made of containers
            enter_container();
            ++p_;
            if (c == '{')
                h.on_object_begin();
            else
                h.on_array_begin();
            open[depth++] = Frame{c == '{', true};
        } else {
            parse_scalar(h, c);
        }
        // Close what ends here; stop where the next value starts.
        for (;;) {
            if (depth == 0) return;
            Frame& inner = open[depth - 1];
            if (inner.object) {
                JsonString key;
                if (next_key(inner.first, key)) {
                    h.on_key(key);
                    member_colon();
                    break;
                }
            } else if (next_element(inner.first)) {
                break;
            }
            ++p_;
            leave_container();
            --depth;
            if (inner.object)
                h.on_object_end();
            else
                h.on_array_end();
        }
    }
}

}  // namespace zerlin
