#include "zerlin/json.hpp"

#include <cmath>
#include <cstring>

#include "float_text.hpp"

namespace zerlin {

const char* json_errc_reason(JsonErrc code) noexcept {
    switch (code) {
        case JsonErrc::EofWhileParsingList:
            return "EOF while parsing a list";
        case JsonErrc::EofWhileParsingObject:
            return "EOF while parsing an object";
        case JsonErrc::EofWhileParsingString:
            return "EOF while parsing a string";
        case JsonErrc::EofWhileParsingValue:
            return "EOF while parsing a value";
        case JsonErrc::ExpectedColon:
            return "expected `:`";
        case JsonErrc::ExpectedListCommaOrEnd:
            return "expected `,` or `]`";
        case JsonErrc::ExpectedObjectCommaOrEnd:
            return "expected `,` or `}`";
        case JsonErrc::ExpectedSomeIdent:
            return "expected ident";
        case JsonErrc::ExpectedSomeValue:
            return "expected value";
        case JsonErrc::InvalidEscape:
            return "invalid escape";
        case JsonErrc::InvalidNumber:
            return "invalid number";
        case JsonErrc::NumberOutOfRange:
            return "number out of range";
        case JsonErrc::InvalidUnicodeCodePoint:
            return "invalid unicode code point";
        case JsonErrc::ControlCharacterWhileParsingString:
            return "control character (\\u0000-\\u001F) found while parsing a string";
        case JsonErrc::KeyMustBeAString:
            return "key must be a string";
        case JsonErrc::LoneLeadingSurrogateInHexEscape:
            return "lone leading surrogate in hex escape";
        case JsonErrc::TrailingComma:
            return "trailing comma";
        case JsonErrc::TrailingCharacters:
            return "trailing characters";
        case JsonErrc::UnexpectedEndOfHexEscape:
            return "unexpected end of hex escape";
        case JsonErrc::RecursionLimitExceeded:
            return "recursion limit exceeded";
        case JsonErrc::Custom:
            return "";
    }
    return "";
}

const char* json_errc_name(JsonErrc code) noexcept {
    switch (code) {
        case JsonErrc::EofWhileParsingList:
            return "eof_while_parsing_list";
        case JsonErrc::EofWhileParsingObject:
            return "eof_while_parsing_object";
        case JsonErrc::EofWhileParsingString:
            return "eof_while_parsing_string";
        case JsonErrc::EofWhileParsingValue:
            return "eof_while_parsing_value";
        case JsonErrc::ExpectedColon:
            return "expected_colon";
        case JsonErrc::ExpectedListCommaOrEnd:
            return "expected_list_comma_or_end";
        case JsonErrc::ExpectedObjectCommaOrEnd:
            return "expected_object_comma_or_end";
        case JsonErrc::ExpectedSomeIdent:
            return "expected_some_ident";
        case JsonErrc::ExpectedSomeValue:
            return "expected_some_value";
        case JsonErrc::InvalidEscape:
            return "invalid_escape";
        case JsonErrc::InvalidNumber:
            return "invalid_number";
        case JsonErrc::NumberOutOfRange:
            return "number_out_of_range";
        case JsonErrc::InvalidUnicodeCodePoint:
            return "invalid_unicode_code_point";
        case JsonErrc::ControlCharacterWhileParsingString:
            return "control_character_while_parsing_string";
        case JsonErrc::KeyMustBeAString:
            return "key_must_be_a_string";
        case JsonErrc::LoneLeadingSurrogateInHexEscape:
            return "lone_leading_surrogate_in_hex_escape";
        case JsonErrc::TrailingComma:
            return "trailing_comma";
        case JsonErrc::TrailingCharacters:
            return "trailing_characters";
        case JsonErrc::UnexpectedEndOfHexEscape:
            return "unexpected_end_of_hex_escape";
        case JsonErrc::RecursionLimitExceeded:
            return "recursion_limit_exceeded";
        case JsonErrc::Custom:
            return "custom";
    }
    return "custom";
}

namespace {

// The reader reports an error on a bare word at the byte after its first
// letter (after the sign of -Infinity), so the word starts at `at` - 1.
NonFiniteLiteral literal_at(std::string_view text, std::size_t at) noexcept {
    if (at == 0 || at > text.size()) return NonFiniteLiteral::None;
    const std::string_view rest = text.substr(at - 1);
    auto word = [&](std::string_view w) {
        if (!rest.starts_with(w)) return false;
        if (rest.size() == w.size()) return true;
        const char c = rest[w.size()];  // a word character continues the word (ASCII, any locale)
        return !((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_');
    };
    if (word("NaN")) return NonFiniteLiteral::NaN;
    if (!word("Infinity")) return NonFiniteLiteral::None;
    return at >= 2 && text[at - 2] == '-' ? NonFiniteLiteral::NegativeInfinity : NonFiniteLiteral::Infinity;
}

}  // namespace

TextPosition text_position(std::string_view text, std::size_t at) noexcept {
    if (at > text.size()) at = text.size();
    std::size_t line_start = 0, line = 1;
    for (std::size_t i = 0; i < at; ++i) {
        if (text[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    return {line, at - line_start};
}

static std::string positioned(const std::string& reason, TextPosition pos) {
    return reason + " at line " + std::to_string(pos.line) + " column " + std::to_string(pos.column);
}

JsonError::JsonError(JsonErrc code, std::string reason, TextPosition pos, NonFiniteLiteral literal)
    : Error(ErrorKind::Value, positioned(reason, pos)),
      code_(code),
      reason_(std::move(reason)),
      pos_(pos),
      literal_(literal) {}

void throw_json_error(JsonErrc code, std::string_view text, std::size_t at) {
    throw JsonError(code, json_errc_reason(code), text_position(text, at), literal_at(text, at));
}

void throw_json_error(std::string reason, std::string_view text, std::size_t at) {
    throw JsonError(JsonErrc::Custom, std::move(reason), text_position(text, at), literal_at(text, at));
}

namespace json_detail {

// Decimal magnitude of a number literal: the power of ten just above its
// first significant digit (123.4 -> 3, 0.05 -> -1), or a very negative value
// for zero. Only the sign matters to the caller.
static std::int64_t decimal_magnitude(const char* p, const char* end) {
    if (p != end && *p == '-') ++p;
    std::int64_t mag = 0;
    bool significant = false;
    for (; p != end && *p >= '0' && *p <= '9'; ++p) {
        if (*p != '0') significant = true;
        if (significant) ++mag;
    }
    if (p != end && *p == '.') {
        for (++p; p != end && *p >= '0' && *p <= '9'; ++p) {
            if (*p != '0') significant = true;
            if (!significant) --mag;
        }
    }
    if (!significant) return INT64_MIN / 2;
    if (p != end && (*p | 0x20) == 'e') {
        ++p;
        bool neg = p != end && *p == '-';
        if (p != end && (*p == '-' || *p == '+')) ++p;
        std::int64_t e = 0;
        for (; p != end && *p >= '0' && *p <= '9'; ++p) e = std::min<std::int64_t>(e * 10 + (*p - '0'), INT32_MAX);
        mag += neg ? -e : e;
    }
    return mag;
}

double convert_float(const char* first, const char* last, bool* overflow) noexcept {
    double v = 0.0;
    auto res = parse_double(first, last, v);
    if (res.ec == std::errc::result_out_of_range) {
        // The library leaves v alone; tell overflow from underflow ourselves.
        if (decimal_magnitude(first, last) > 0) {
            *overflow = true;
            return 0.0;
        }
        return *first == '-' ? -0.0 : 0.0;
    }
    if (std::isinf(v)) *overflow = true;
    return v;
}

}  // namespace json_detail

int JsonReader::skip_space_slow() noexcept {
    p_ = json_detail::skip_space(p_, end_);
    return p_ != end_ ? static_cast<unsigned char>(*p_) : -1;
}

void JsonReader::skip_value() {
    // The walk of parse_value, and so its messages, without its depth limit
    // or its decoding.
    const std::size_t base = open_.size();
    Skipped skipped;
    for (;;) {
        const int c = peek_nonspace();
        if (c == '{' || c == '[') {
            check_cancelled();  // long documents are made of containers
            ++p_;
            open_.push_back(Frame{c == '{', true});
        } else {
            parse_scalar(skipped, c);
            // Arrays of numbers (polygons) are most of a dataset: their
            // elements go here while they read "n,n" or "n, n"; anything
            // else takes the general path below, with its messages.
            if ((c == '-' || unsigned(c - '0') <= 9) && open_.size() > base && !open_.back().object) {
                while (end_ - p_ >= 2 && *p_ == ',') {
                    const char* q = p_ + 1;
                    if (*q == ' ' && q + 1 != end_) ++q;
                    if (*q != '-' && unsigned(static_cast<unsigned char>(*q)) - '0' > 9) break;
                    p_ = q;
                    skip_number();
                }
            }
        }
        // Close what ends here; stop where the next value starts.
        for (;;) {
            if (open_.size() == base) return;
            Frame& inner = open_.back();
            if (inner.object) {
                if (next_key_quote(inner.first)) {
                    skip_string();
                    member_colon();
                    break;
                }
            } else if (next_element(inner.first)) {
                break;
            }
            ++p_;
            open_.pop_back();
        }
    }
}

void check_json_syntax(std::string_view text) {
    JsonReader r(text);
    r.skip_value();
    r.finish();
}

}  // namespace zerlin
