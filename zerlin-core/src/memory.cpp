// Memory requests checked against what the process may have.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "zerlin/error.hpp"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <sys/sysctl.h>
#endif
#endif

namespace zerlin {

namespace {

constexpr unsigned long long kUnknown = ~0ull;

unsigned long long physical_memory() {
#if defined(_WIN32)
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    // A zero total (seen under wine, from worker threads) is no reading at all.
    return GlobalMemoryStatusEx(&status) && status.ullTotalPhys > 0 ? status.ullTotalPhys : kUnknown;
#elif defined(__APPLE__)
    std::uint64_t bytes = 0;
    std::size_t size = sizeof bytes;
    return sysctlbyname("hw.memsize", &bytes, &size, nullptr, 0) == 0 && bytes > 0 ? bytes : kUnknown;
#else
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    return pages > 0 && page > 0 ? (unsigned long long)pages * (unsigned long long)page : kUnknown;
#endif
}

unsigned long long available_memory() {
    // Read once: the machine's memory does not change under a running process.
    static const unsigned long long physical = physical_memory();
    unsigned long long limit = physical;
#if !defined(_WIN32)
    struct rlimit as;
    if (getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY)
        limit = std::min<unsigned long long>(limit, as.rlim_cur);
#endif
    return limit;
}

}  // namespace

void require_memory(unsigned long long bytes, const char* what) {
    const unsigned long long have = available_memory();
    if (bytes <= have) return;
    throw Error(ErrorKind::Memory, "cannot allocate " + std::to_string(bytes) + " bytes for " + what +
                                       ": more than the " + std::to_string(have) + " bytes of memory available");
}

}  // namespace zerlin
