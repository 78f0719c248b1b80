#include "platform/WriteAll.h"

#include <unistd.h>

#include <cerrno>

namespace quellbox {

bool writeAllAt(int fd, std::string_view contents, off_t offset) {
    std::size_t done = 0;
    while (done < contents.size()) {
        const ssize_t written = ::pwrite(fd, contents.data() + done, contents.size() - done,
                                         offset + static_cast<off_t>(done));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace quellbox
