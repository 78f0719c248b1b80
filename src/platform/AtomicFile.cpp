#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/SystemLog.h"
#include "platform/WriteAll.h"

namespace quellbox {

namespace {

// Makes the rename itself durable.
void syncFolder(const std::filesystem::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

bool AtomicFile::write(const std::filesystem::path& path, std::string_view contents) {
    const auto folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        SystemLog::log("can't create folder " + folder.string() + ": " + error.message());
        return false;
    }
    std::string hiddenName = ".";
    hiddenName += path.filename().string();
    hiddenName += ".XXXXXX";
    std::string temporary = (folder / hiddenName).string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        SystemLog::reportError("can't create " + temporary);
        return false;
    }
    // Keep the permissions of the file being replaced; a new settings file is private.
    struct stat existing {};
    const mode_t mode = ::stat(path.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0600;
    const bool ok = ::fchmod(fd, mode) == 0 && writeAllAt(fd, contents, 0) && ::fsync(fd) == 0;
    const int savedErrno = errno;
    const bool closed = ::close(fd) == 0;
    if (!ok || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
        errno = ok && closed ? errno : savedErrno;
        SystemLog::reportError("can't write " + path.string());
        ::unlink(temporary.c_str());
        return false;
    }
    syncFolder(folder);
    return true;
}

std::optional<std::string> AtomicFile::read(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string contents;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        contents.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    return contents;
}

}  // namespace quellbox
