#include "zerlin/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "zerlin/error.hpp"

namespace zerlin {

namespace {

[[noreturn]] void throw_os_error(int err) {
    char buf[256];
    const char* text = strerror_r(err, buf, sizeof buf);  // GNU form: returns the text
    throw Error(ErrorKind::Os, std::string(text) + " (os error " + std::to_string(err) + ")");
}

struct Fd {
    int fd;
    ~Fd() { ::close(fd); }
};

}  // namespace

std::string read_file(const std::string& path) {
    // The system would read up to the first NUL, i.e. some other file.
    if (path.find('\0') != std::string::npos) throw Error(ErrorKind::Os, "file name contained an unexpected NUL byte");
    // Non-blocking, so that opening a FIFO without a writer does not wait.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) throw_os_error(errno);
    Fd guard{fd};
    struct stat st;
    if (::fstat(fd, &st) != 0) throw_os_error(errno);
    if (S_ISDIR(st.st_mode)) throw_os_error(EISDIR);
    // A device, FIFO or socket may never end (/dev/zero): reading it to its
    // end could take all memory.
    if (!S_ISREG(st.st_mode))
        throw Error(ErrorKind::Os, "not a regular file: '" + path + "' (only regular files are read)");
    const std::size_t cap = std::size_t(st.st_size);
    std::string out;
    out.resize(cap);
    std::size_t len = 0;
    auto read_some = [&](char* dst, std::size_t room) -> std::size_t {
        for (;;) {
            ssize_t n = ::read(fd, dst, room);
            if (n >= 0) return std::size_t(n);
            if (errno != EINTR) throw_os_error(errno);
        }
    };
    for (;;) {
        if (len < out.size()) {
            std::size_t n = read_some(out.data() + len, out.size() - len);
            if (n == 0) break;
            len += n;
        } else {
            // Buffer full: the size was unknown or the file grew. Probe
            // before growing so a file of the expected size is read into
            // exactly its own size.
            char probe[16384];
            std::size_t n = read_some(probe, sizeof probe);
            if (n == 0) break;
            out.append(probe, n);
            len += n;
        }
    }
    out.resize(len);
    return out;
}

}  // namespace zerlin
