// What the operating system provides, behind one interface. Only the files
// beside this one (posix.cpp, windows.cpp; CMake builds the one that fits)
// include system headers; the rest of the core is the same on every system.
// Threads are part of this layer too (zerlin/thread.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "zerlin/error.hpp"

namespace zerlin::os {

inline constexpr std::uint64_t kUnlimited = UINT64_MAX;

// The C library's text for an errno value ("No such file or directory"),
// as Python's os.strerror gives it on the same system.
std::string error_text(int errno_value);

// Error(Os, "<text> (os error N)"): the one form of every system failure.
[[noreturn]] inline void throw_error(int errno_value) {
    throw Error(ErrorKind::Os, error_text(errno_value) + " (os error " + std::to_string(errno_value) + ")");
}

// A thread the system would not start (zerlin/thread.hpp).
[[noreturn]] inline void throw_thread_refused() {
    throw Error(ErrorKind::Internal, "failed to spawn thread");
}

// The machine's physical memory in bytes; kUnlimited when it cannot be read.
std::uint64_t physical_memory();

// The process's address-space limit in bytes; kUnlimited when there is none.
std::uint64_t address_space_limit();

// CPUs in the process's affinity mask; 0 where the system has no such mask
// or it cannot be read.
std::size_t affinity_cpus();

// The CPU quota set on the process's control group, in whole CPUs rounded
// up; 0 when none is set.
std::size_t cpu_quota();

// Hands back to the system the free memory the C library's allocator keeps
// (glibc holds on to what worker threads freed in their own arenas); nothing
// where the library offers no such call.
void release_free_memory() noexcept;

enum class FileKind { Regular, Directory, Other };  // Other: device, FIFO, socket

// A file opened for reading, in binary. Opening a FIFO without a writer does
// not wait. Failures throw through throw_error.
class InputFile {
  public:
    // `path` is UTF-8 on every system.
    explicit InputFile(const std::string& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    struct Status {
        FileKind kind;
        std::uint64_t size;  // of a regular file
    };
    Status status() const;
    // Reads up to `room` bytes from byte `offset` on into dst; 0 at the end
    // of the file. The file position is left alone, so several threads may
    // read parts of one file at once.
    std::size_t read_at(char* dst, std::size_t room, std::uint64_t offset) const;

  private:
    std::intptr_t handle_;  // a descriptor or a HANDLE
};

// One read asks for at most this much: macOS refuses reads above INT_MAX
// bytes and Windows counts in 32 bits.
inline constexpr std::size_t kMaxRead = std::size_t(1) << 30;

}  // namespace zerlin::os
