// Errors raised by the core. The core knows nothing of Python; the binding
// layer maps each kind onto the matching Python exception type.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace zerlin {

enum class ErrorKind {
    Value,      // bad values or content           -> ValueError
    Key,        // missing key / unknown reference -> KeyError
    Type,       // wrong kind of input             -> TypeError
    Overflow,   // integer out of range            -> OverflowError
    Os,         // file-system failure             -> OSError
    Runtime,    // refused borrow and the like     -> RuntimeError
    Memory,     // allocation failure              -> MemoryError
    Index,      // index out of range              -> IndexError
    Internal,   // invariant broken; never caused by input -> internal failure (BaseException)
    Cancelled,  // stopped at a check point (cancel.hpp) -> the caller's own reason (KeyboardInterrupt)
};

class Error : public std::exception {
  public:
    Error(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    ErrorKind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }

  private:
    ErrorKind kind_;
    std::string message_;
};

[[noreturn]] inline void throw_value(std::string m) {
    throw Error(ErrorKind::Value, std::move(m));
}
[[noreturn]] inline void throw_key(std::string m) {
    throw Error(ErrorKind::Key, std::move(m));
}
[[noreturn]] inline void throw_type(std::string m) {
    throw Error(ErrorKind::Type, std::move(m));
}
[[noreturn]] inline void throw_internal(std::string m) {
    throw Error(ErrorKind::Internal, std::move(m));
}

// Refuses, before allocating, a request of `bytes` that exceeds the memory the
// process may have (the machine's physical memory, or a lower address-space
// limit): Error(Memory, ...) naming `what`. Such a request could only fail
// later, or bring in the system's out-of-memory killer.
void require_memory(unsigned long long bytes, const char* what);

}  // namespace zerlin
