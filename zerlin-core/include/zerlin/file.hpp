// Reading files whole.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace zerlin {

// The bytes of a file (or of any text) kept whole. Unlike std::string, its
// buffer is not zero-filled before a file is read into it: the pages are
// first touched by the threads that read, at the same time.
class Text {
  public:
    Text() = default;
    explicit Text(std::string_view bytes);
    // `size` bytes, not yet written.
    static Text unwritten(std::size_t size);

    const char* data() const noexcept { return bytes_.get(); }
    char* data() noexcept { return bytes_.get(); }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    operator std::string_view() const noexcept { return {bytes_.get(), size_}; }

    // Keeps the first `size` bytes (size() at most).
    void shrink(std::size_t size) noexcept;
    void append(const char* bytes, std::size_t count);

  private:
    std::unique_ptr<char[]> bytes_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Reads a whole regular file into memory. Throws Error(Os, "<system text> (os
// error N)"), or Error(Os, "not a regular file: ...") for a device, FIFO or
// socket, which may never end.
Text read_file(const std::string& path);

}  // namespace zerlin
