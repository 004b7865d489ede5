// Compact loading of results files, then evaluation from the handle.
#include "compact_harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::load_and_evaluate(std::string_view(reinterpret_cast<const char*>(data), size), true);
    return 0;
}
