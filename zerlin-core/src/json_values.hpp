// Value readers and messages shared by the record grammar and the geometry
// scanners: they read JSON values with the wording of the record grammar.
#pragma once

#include <cstdint>
#include <string>

#include "zerlin/json.hpp"

namespace zerlin::detail {

// The eleven fields of a record, in the order of a record written as an array.
enum Field : int {
    kCaption,
    kId,
    kImageId,
    kCategoryId,
    kBbox,
    kArea,
    kScore,
    kIscrowd,
    kSegmentation,
    kKeypoints,
    kNumKeypoints,
    kFieldCount,
    kUnknown = -1,
};

constexpr const char* kFieldNames[kFieldCount] = {
    "caption", "id",      "image_id",     "category_id", "bbox",          "area",
    "score",   "iscrowd", "segmentation", "keypoints",   "num_keypoints",
};

std::string describe_number(const JsonNumber& n);
bool starts_number(int c);
double number_value(const JsonNumber& n);

// A rule broken inside an object, reported once the object's closing brace
// (if it comes next) has been read.
[[noreturn]] void fail_in_object(JsonReader& r, std::string reason);
// The same inside an array: a closing bracket, or a comma and the
// whitespace after it, are read first.
[[noreturn]] void fail_in_array(JsonReader& r, std::string reason);
// The value at the cursor is of the wrong kind: read it (a scalar whole,
// a container not at all) and report it as found.
[[noreturn]] void fail_invalid_type(JsonReader& r, const char* expected);
// A container where a scalar was expected by a reader that takes any kind:
// the container is opened, and closed again if it is empty.
[[noreturn]] void fail_container(JsonReader& r, int open, const char* expected);
// "null" at the cursor: read it and say so.
bool take_null(JsonReader& r);

}  // namespace zerlin::detail
