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

constexpr unsigned long long kUncheckedBytes = 16ull << 20;

}  // namespace

void require_memory(unsigned long long bytes, const char* what) {
    // A small request needs no check (a failure still raises): asking the
    // system for its limit is a call into the kernel, and a per-batch loop
    // makes one request per category of every batch.
    if (bytes < kUncheckedBytes) return;
    const unsigned long long have = available_memory();
    if (bytes <= have) return;
    throw Error(ErrorKind::Memory, "cannot allocate " + std::to_string(bytes) + " bytes for " + what +
                                       ": more than the " + std::to_string(have) + " bytes of memory available");
}

}  // namespace zerlin
