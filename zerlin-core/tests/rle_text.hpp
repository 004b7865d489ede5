// Test helper: an RLE's compressed counts string.
#pragma once

#include <string>

#include "zerlin/rle.hpp"

inline std::string rle_text(const zerlin::Rle& r) {
    std::string s;
    zerlin::rle_to_string_into(r, s);
    return s;
}
