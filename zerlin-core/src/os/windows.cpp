// The platform layer (os.hpp) on Windows.
#include <process.h>
#include <windows.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>

#include "os.hpp"
#include "zerlin/thread.hpp"

namespace zerlin {

namespace os {

namespace {

// The errno value matching a Windows error, so that messages and numbers are
// the same on every system.
int errno_of(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EACCES;
        case ERROR_TOO_MANY_OPEN_FILES:
            return EMFILE;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        default:
            return EIO;
    }
}

[[noreturn]] void throw_last_error() {
    throw_error(errno_of(GetLastError()));
}

// UTF-8 path to the UTF-16 form Windows' own calls take, so that any name
// opens, not only those of the current code page.
std::wstring wide_path(const std::string& path) {
    if (path.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), int(path.size()), nullptr, 0);
    if (n <= 0) throw_error(ENOENT);
    std::wstring out(std::size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), int(path.size()), out.data(), n);
    return out;
}

HANDLE handle_of(std::intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

}  // namespace

std::string error_text(int errno_value) {
    // The C runtime's text, as Python's os.strerror gives it there.
    char buf[256];
    if (strerror_s(buf, sizeof buf, errno_value) != 0) buf[0] = '\0';
    return buf;
}

// Nothing to do: the Windows heap decommits large free blocks by itself.
void release_free_memory() noexcept {}

std::uint64_t physical_memory() {
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    // A zero total (seen under wine, from worker threads) is no reading at all.
    return GlobalMemoryStatusEx(&status) && status.ullTotalPhys > 0 ? status.ullTotalPhys : kUnlimited;
}

std::uint64_t address_space_limit() {
    return kUnlimited;  // job object limits are not read
}

std::size_t affinity_cpus() {
    // The mask covers one processor group; with several, take the total.
    DWORD_PTR process = 0, system = 0;
    if (GetActiveProcessorGroupCount() == 1 && GetProcessAffinityMask(GetCurrentProcess(), &process, &system))
        return static_cast<std::size_t>(std::popcount(static_cast<std::uint64_t>(process)));
    return 0;
}

std::size_t cpu_quota() {
    return 0;
}

InputFile::InputFile(const std::string& path) {
    // Backup semantics let a directory open, so that it is reported as one.
    const HANDLE h =
        CreateFileW(wide_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) throw_last_error();
    handle_ = reinterpret_cast<std::intptr_t>(h);
}

InputFile::~InputFile() {
    CloseHandle(handle_of(handle_));
}

InputFile::Status InputFile::status() const {
    if (GetFileType(handle_of(handle_)) != FILE_TYPE_DISK) return {FileKind::Other, 0};
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle_of(handle_), &info)) throw_last_error();
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return {FileKind::Directory, 0};
    return {FileKind::Regular, (std::uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow};
}

std::size_t InputFile::read_at(char* dst, std::size_t room, std::uint64_t offset) const {
    OVERLAPPED at{};
    at.Offset = DWORD(offset & 0xFFFFFFFFu);
    at.OffsetHigh = DWORD(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(handle_of(handle_), dst, DWORD(std::min(room, kMaxRead)), &got, &at)) {
        if (GetLastError() == ERROR_HANDLE_EOF) return 0;
        throw_last_error();
    }
    return got;
}

}  // namespace os

namespace {

using Body = std::function<void()>;

unsigned __stdcall thread_entry(void* arg) {
    std::unique_ptr<Body> body(static_cast<Body*>(arg));
    (*body)();
    return 0;
}

}  // namespace

struct Thread::Handle {
    HANDLE h;
};

Thread::Thread(std::function<void()> body, std::size_t stack_bytes) {
    auto arg = std::make_unique<Body>(std::move(body));
    // _beginthreadex, not CreateThread, so that the C runtime is set up for
    // the thread; the size is a reservation, committed as the stack grows.
    const auto h = _beginthreadex(nullptr, unsigned(stack_bytes), thread_entry, arg.get(),
                                  stack_bytes > 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0u, nullptr);
    if (h == 0) os::throw_thread_refused();
    arg.release();
    handle_ = std::make_unique<Handle>(Handle{reinterpret_cast<HANDLE>(h)});
}

void Thread::join() noexcept {
    WaitForSingleObject(handle_->h, INFINITE);
    CloseHandle(handle_->h);
    handle_.reset();
}

Thread::~Thread() = default;
Thread::Thread(Thread&& other) noexcept = default;

}  // namespace zerlin
