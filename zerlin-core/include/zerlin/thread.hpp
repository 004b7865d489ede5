// A thread with a chosen stack size, built by the platform layer (src/os/).
// std::thread cannot set one, and the systems' defaults differ widely (8 MiB
// on Linux, 512 KiB on macOS, 1 MiB on Windows), so the core's threads ask
// for theirs explicitly and behave alike everywhere.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace zerlin {

class Thread {
  public:
    // Starts body() on a new thread with a stack of `stack_bytes` (0 = the
    // system default). Throws Error(Internal, "failed to spawn thread").
    Thread(std::function<void()> body, std::size_t stack_bytes);
    // A thread must be joined before it is destroyed.
    ~Thread();
    Thread(Thread&& other) noexcept;
    Thread& operator=(Thread&&) = delete;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Waits for body() to return. Call once.
    void join() noexcept;

  private:
    struct Handle;
    std::unique_ptr<Handle> handle_;
};

}  // namespace zerlin
