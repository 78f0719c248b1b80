#include "platform/InPlaceFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/SystemLog.h"
#include "platform/WriteAll.h"

namespace quellbox {

namespace {

bool writeWhole(int fd, std::string_view contents) {
    return writeAllAt(fd, contents, 0) && ::ftruncate(fd, static_cast<off_t>(contents.size())) == 0;
}

}  // namespace

bool InPlaceFile::replace(const std::filesystem::path& path,
                          const std::optional<std::string>& previous, std::string_view contents) {
    // A new file gets the usual 0666 less the umask; O_EXCL keeps a file that appeared since
    // the caller looked from being taken over.
    const int flags = O_WRONLY | O_CLOEXEC | (previous ? 0 : O_CREAT | O_EXCL);
    const int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) {
        SystemLog::reportError("can't open " + path.string());
        return false;
    }
    bool written = writeWhole(fd, contents);
    if (!written) {
        SystemLog::reportError("can't write " + path.string());
        if (previous && !writeWhole(fd, *previous)) {
            SystemLog::reportError("can't restore the previous contents of " + path.string());
        }
    }
    if (::close(fd) != 0) {
        SystemLog::reportError("can't close " + path.string());
        written = false;
    }
    if (!written && !previous && ::unlink(path.c_str()) != 0) {
        SystemLog::reportError("can't remove the unfinished " + path.string());
    }
    return written;
}

}  // namespace quellbox
