#include "zerlin/file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "os/os.hpp"
#include "zerlin/error.hpp"
#include "zerlin/pool.hpp"

namespace zerlin {

namespace {

// Files this large are read by several threads at once: copying out of the
// system's cache is the longest serial step before parsing, and each thread
// copies at the speed of one core.
constexpr std::size_t kParallelReadBytes = std::size_t(8) << 20;

// Reads [offset, offset + room) of the file into dst; fewer bytes only at
// the end of the file.
std::size_t read_span(const os::InputFile& file, char* dst, std::size_t room, std::uint64_t offset) {
    std::size_t got = 0;
    while (got < room) {
        const std::size_t n = file.read_at(dst + got, room - got, offset + got);
        if (n == 0) break;
        got += n;
    }
    return got;
}

// Fills `out` from the file's start: the number of bytes read before the
// first shortfall (a file that shrank while being read ends there).
std::size_t read_into(const os::InputFile& file, Text& out) {
    Pool& pool = Pool::global();
    if (out.size() < kParallelReadBytes || pool.size() < 2) return read_span(file, out.data(), out.size(), 0);
    const std::size_t piece = (out.size() + pool.size() - 1) / pool.size();
    std::vector<std::size_t> got((out.size() + piece - 1) / piece, 0);
    pool.for_range(got.size(), 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const std::size_t at = i * piece, room = std::min(piece, out.size() - at);
            got[i] = read_span(file, out.data() + at, room, at);
        }
    });
    std::size_t len = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        len += got[i];
        if (got[i] < std::min(piece, out.size() - i * piece)) break;
    }
    return len;
}

}  // namespace

Text::Text(std::string_view bytes) : Text(unwritten(bytes.size())) {
    if (!bytes.empty()) std::memcpy(bytes_.get(), bytes.data(), bytes.size());
}

Text Text::unwritten(std::size_t size) {
    Text t;
    // new char[n], not new char[n](): the bytes are left unwritten.
    t.bytes_.reset(size ? new char[size] : nullptr);
    t.size_ = t.capacity_ = size;
    return t;
}

void Text::shrink(std::size_t size) noexcept {
    if (size < size_) size_ = size;
}

void Text::append(const char* bytes, std::size_t count) {
    if (size_ + count > capacity_) {
        const std::size_t capacity = std::max(size_ + count, capacity_ * 2);
        std::unique_ptr<char[]> grown(new char[capacity]);
        if (size_) std::memcpy(grown.get(), bytes_.get(), size_);
        bytes_ = std::move(grown);
        capacity_ = capacity;
    }
    if (count) std::memcpy(bytes_.get() + size_, bytes, count);
    size_ += count;
}

Text read_file(const std::string& path) {
    // The system would read up to the first NUL, i.e. some other file.
    if (path.find('\0') != std::string::npos) throw Error(ErrorKind::Os, "file name contained an unexpected NUL byte");
    os::InputFile file(path);
    // A device, FIFO or socket may never end (/dev/zero): reading it to its
    // end could take all memory.
    const auto status = file.status();
    if (status.kind == os::FileKind::Directory) os::throw_error(EISDIR);
    if (status.kind != os::FileKind::Regular)
        throw Error(ErrorKind::Os, "not a regular file: '" + path + "' (only regular files are read)");
    Text out = Text::unwritten(std::size_t(status.size));
    std::size_t len = read_into(file, out);
    // A file that grew since its size was taken: probe before growing, so a
    // file of the expected size is read into exactly its own size.
    while (len == out.size()) {
        char probe[16384];
        const std::size_t n = file.read_at(probe, sizeof probe, len);
        if (n == 0) break;
        out.append(probe, n);
        len += n;
    }
    out.shrink(len);
    return out;
}

}  // namespace zerlin
