#include "zerlin/file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>

#include "zerlin/error.hpp"

#if defined(_WIN32)
#include <windows.h>

#include <cstring>  // strerror_s
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace zerlin {

namespace {

// One read asks for at most this much: macOS refuses reads above INT_MAX
// bytes and Windows counts in 32 bits.
constexpr std::size_t kMaxChunk = std::size_t(1) << 30;

[[noreturn]] void throw_os_error(int err) {
#if defined(_WIN32)
    // The C runtime's text, as Python's os.strerror gives it there.
    char buf[256];
    if (strerror_s(buf, sizeof buf, err) != 0) buf[0] = '\0';
    std::string text(buf);
#else
    std::string text = std::generic_category().message(err);
#endif
    throw Error(ErrorKind::Os, text + " (os error " + std::to_string(err) + ")");
}

[[noreturn]] void throw_not_regular(const std::string& path) {
    throw Error(ErrorKind::Os, "not a regular file: '" + path + "' (only regular files are read)");
}

#if defined(_WIN32)

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
    throw_os_error(errno_of(GetLastError()));
}

// UTF-8 path to the UTF-16 form Windows' own calls take, so that any name
// opens, not only those of the current code page.
std::wstring wide_path(const std::string& path) {
    if (path.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), int(path.size()), nullptr, 0);
    if (n <= 0) throw_os_error(ENOENT);
    std::wstring out(std::size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), int(path.size()), out.data(), n);
    return out;
}

class OpenFile {
  public:
    explicit OpenFile(const std::string& path) {
        // Backup semantics let a directory open, so that it is reported as one.
        h_ = CreateFileW(wide_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h_ == INVALID_HANDLE_VALUE) throw_last_error();
    }
    ~OpenFile() { CloseHandle(h_); }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    // Size of a regular file; throws for a directory, device or pipe.
    std::size_t regular_size(const std::string& path) const {
        BY_HANDLE_FILE_INFORMATION info;
        if (GetFileType(h_) != FILE_TYPE_DISK) throw_not_regular(path);
        if (!GetFileInformationByHandle(h_, &info)) throw_last_error();
        if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) throw_os_error(EISDIR);
        return std::size_t((std::uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    }

    std::size_t read_some(char* dst, std::size_t room) const {
        DWORD got = 0;
        if (!ReadFile(h_, dst, DWORD(std::min(room, kMaxChunk)), &got, nullptr)) throw_last_error();
        return got;
    }

  private:
    HANDLE h_;
};

#else

class OpenFile {
  public:
    explicit OpenFile(const std::string& path) {
        // Non-blocking, so that opening a FIFO without a writer does not wait.
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd_ < 0) throw_os_error(errno);
    }
    ~OpenFile() { ::close(fd_); }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    // Size of a regular file; throws for a directory, device, FIFO or socket.
    std::size_t regular_size(const std::string& path) const {
        struct stat st;
        if (::fstat(fd_, &st) != 0) throw_os_error(errno);
        if (S_ISDIR(st.st_mode)) throw_os_error(EISDIR);
        if (!S_ISREG(st.st_mode)) throw_not_regular(path);
        return std::size_t(st.st_size);
    }

    std::size_t read_some(char* dst, std::size_t room) const {
        for (;;) {
            auto n = ::read(fd_, dst, std::min(room, kMaxChunk));
            if (n >= 0) return std::size_t(n);
            if (errno != EINTR) throw_os_error(errno);
        }
    }

  private:
    int fd_;
};

#endif

}  // namespace

std::string read_file(const std::string& path) {
    // The system would read up to the first NUL, i.e. some other file.
    if (path.find('\0') != std::string::npos) throw Error(ErrorKind::Os, "file name contained an unexpected NUL byte");
    OpenFile file(path);
    // A device, FIFO or socket may never end (/dev/zero): reading it to its
    // end could take all memory.
    std::string out;
    out.resize(file.regular_size(path));
    std::size_t len = 0;
    for (;;) {
        if (len < out.size()) {
            std::size_t n = file.read_some(out.data() + len, out.size() - len);
            if (n == 0) break;
            len += n;
        } else {
            // Buffer full: the size was unknown or the file grew. Probe
            // before growing so a file of the expected size is read into
            // exactly its own size.
            char probe[16384];
            std::size_t n = file.read_some(probe, sizeof probe);
            if (n == 0) break;
            out.append(probe, n);
            len += n;
        }
    }
    out.resize(len);
    return out;
}

}  // namespace zerlin
