// Memory requests checked against what the process may have.
#include <algorithm>
#include <cstdint>
#include <string>

#include "os/os.hpp"
#include "zerlin/error.hpp"

namespace zerlin {

namespace {

std::uint64_t available_memory() {
    // Read once: the machine's memory does not change under a running process.
    static const std::uint64_t physical = os::physical_memory();
    return std::min(physical, os::address_space_limit());
}

}  // namespace

void require_memory(unsigned long long bytes, const char* what) {
    const unsigned long long have = available_memory();
    if (bytes <= have) return;
    throw Error(ErrorKind::Memory, "cannot allocate " + std::to_string(bytes) + " bytes for " + what +
                                       ": more than the " + std::to_string(have) + " bytes of memory available");
}

}  // namespace zerlin
