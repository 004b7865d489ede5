// The platform layer (os.hpp) on Linux, macOS and other POSIX systems.
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <system_error>
#include <utility>

#include "os.hpp"
#include "zerlin/thread.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#if defined(__linux__)
#include <sched.h>
#elif defined(__APPLE__)
#include <sys/sysctl.h>
#endif

namespace zerlin {

namespace os {

std::string error_text(int errno_value) {
    return std::generic_category().message(errno_value);
}

std::uint64_t physical_memory() {
#if defined(__APPLE__)
    std::uint64_t bytes = 0;
    std::size_t size = sizeof bytes;
    return sysctlbyname("hw.memsize", &bytes, &size, nullptr, 0) == 0 && bytes > 0 ? bytes : kUnlimited;
#else
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    return pages > 0 && page > 0 ? std::uint64_t(pages) * std::uint64_t(page) : kUnlimited;
#endif
}

std::uint64_t address_space_limit() {
    struct rlimit as;
    if (getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY) return as.rlim_cur;
    return kUnlimited;
}

std::size_t affinity_cpus() {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) return static_cast<std::size_t>(CPU_COUNT(&set));
#endif
    return 0;
}

std::size_t cpu_quota() {
#if defined(__linux__)
    {
        std::ifstream f("/sys/fs/cgroup/cpu.max");  // cgroup v2: "<quota|max> <period>"
        std::string quota;
        double period = 0;
        if (f >> quota >> period && quota != "max" && period > 0) {
            double q = std::strtod(quota.c_str(), nullptr);
            if (q > 0) return static_cast<std::size_t>(std::ceil(q / period));
        }
    }
    std::ifstream fq("/sys/fs/cgroup/cpu/cpu.cfs_quota_us");  // cgroup v1
    std::ifstream fp("/sys/fs/cgroup/cpu/cpu.cfs_period_us");
    double q = 0, p = 0;
    if (fq >> q && fp >> p && q > 0 && p > 0) return static_cast<std::size_t>(std::ceil(q / p));
#endif
    return 0;
}

void release_free_memory() noexcept {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

InputFile::InputFile(const std::string& path) {
    // Non-blocking, so that opening a FIFO without a writer does not wait.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) throw_error(errno);
    handle_ = fd;
}

InputFile::~InputFile() {
    ::close(int(handle_));
}

InputFile::Status InputFile::status() const {
    struct stat st;
    if (::fstat(int(handle_), &st) != 0) throw_error(errno);
    if (S_ISDIR(st.st_mode)) return {FileKind::Directory, 0};
    if (!S_ISREG(st.st_mode)) return {FileKind::Other, 0};
    return {FileKind::Regular, std::uint64_t(st.st_size)};
}

std::size_t InputFile::read_at(char* dst, std::size_t room, std::uint64_t offset) const {
    for (;;) {
        const auto n = ::pread(int(handle_), dst, std::min(room, kMaxRead), off_t(offset));
        if (n >= 0) return std::size_t(n);
        if (errno != EINTR) throw_error(errno);
    }
}

}  // namespace os

namespace {

using Body = std::function<void()>;

void* thread_entry(void* arg) {
    std::unique_ptr<Body> body(static_cast<Body*>(arg));
    (*body)();
    return nullptr;
}

}  // namespace

struct Thread::Handle {
    pthread_t tid;
};

Thread::Thread(std::function<void()> body, std::size_t stack_bytes) {
    auto arg = std::make_unique<Body>(std::move(body));
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) os::throw_thread_refused();
    if (stack_bytes > 0) pthread_attr_setstacksize(&attr, stack_bytes);
    pthread_t tid;
    const int rc = pthread_create(&tid, &attr, thread_entry, arg.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) os::throw_thread_refused();
    arg.release();
    handle_ = std::make_unique<Handle>(Handle{tid});
}

void Thread::join() noexcept {
    pthread_join(handle_->tid, nullptr);
    handle_.reset();
}

Thread::~Thread() = default;
Thread::Thread(Thread&& other) noexcept = default;

}  // namespace zerlin
