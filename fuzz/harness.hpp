// Shared by the fuzz targets: what counts as a finding, and a reader that
// turns the fuzzer's bytes into sizes, flags and numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string_view>

#include "zerlin/error.hpp"

namespace fuzz {

[[noreturn]] inline void fail(const char* what, const char* detail = "") {
    std::fprintf(stderr, "fuzz finding: %s %s\n", what, detail);
    std::abort();
}

#define FUZZ_CHECK(cond)                                   \
    do {                                                   \
        if (!(cond)) ::fuzz::fail("check failed:", #cond); \
    } while (0)

// Runs body. Input errors are the expected outcome of most inputs; an
// internal failure, or any exception the binding would report as one, is a bug.
template <class F>
void expect_clean(F&& body) {
    try {
        body();
    } catch (const zerlin::Error& e) {
        if (e.kind() == zerlin::ErrorKind::Internal) fail("internal failure:", e.what());
    } catch (const std::bad_alloc&) {
        // MemoryError for the user.
    } catch (const std::exception& e) {
        fail("unexpected exception:", e.what());
    }
}

// Consumes the input front to back; past the end every read gives zeros.
class Bytes {
  public:
    Bytes(const uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}
    std::size_t left() const { return std::size_t(end_ - p_); }
    uint8_t u8() { return p_ == end_ ? 0 : *p_++; }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | u8();
        return v;
    }
    double f64() {
        uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits = bits << 8 | u8();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }
    // Mostly small image sides, sometimes any 32-bit value.
    uint32_t side() {
        const uint8_t b = u8();
        return b & 0x80 ? u32() : b & 0x7f;
    }
    // Mostly coordinates near the image, sometimes any double.
    double coord() {
        const uint8_t b = u8();
        if (b < 0xE0) return double(int16_t(uint16_t(u8()) << 8 | u8())) / double(1 + (b & 7));
        return f64();
    }
    std::string_view rest() {
        std::string_view s(reinterpret_cast<const char*>(p_), left());
        p_ = end_;
        return s;
    }

  private:
    const uint8_t* p_;
    const uint8_t* end_;
};

}  // namespace fuzz
