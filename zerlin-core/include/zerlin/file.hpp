// Reading files whole.
#pragma once

#include <string>

namespace zerlin {

// Reads a whole regular file into memory. Throws Error(Os, "<system text> (os
// error N)"), or Error(Os, "not a regular file: ...") for a device, FIFO or
// socket, which may never end.
std::string read_file(const std::string& path);

}  // namespace zerlin
