#include "zerlin/file.hpp"

#include <cerrno>
#include <cstdint>

#include "os/os.hpp"
#include "zerlin/error.hpp"

namespace zerlin {

std::string read_file(const std::string& path) {
    // The system would read up to the first NUL, i.e. some other file.
    if (path.find('\0') != std::string::npos) throw Error(ErrorKind::Os, "file name contained an unexpected NUL byte");
    os::InputFile file(path);
    // A device, FIFO or socket may never end (/dev/zero): reading it to its
    // end could take all memory.
    const auto status = file.status();
    if (status.kind == os::FileKind::Directory) os::throw_error(EISDIR);
    if (status.kind != os::FileKind::Regular)
        throw Error(ErrorKind::Os, "not a regular file: '" + path + "' (only regular files are read)");
    std::string out;
    out.resize(std::size_t(status.size));
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
