// Memory requests checked against what the process may have.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "zerlin/error.hpp"

namespace zerlin {

namespace {

unsigned long long available_memory() {
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    unsigned long long limit = pages > 0 && page > 0 ? (unsigned long long)pages * (unsigned long long)page : ~0ull;
    struct rlimit as;
    if (getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY)
        limit = std::min<unsigned long long>(limit, as.rlim_cur);
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
