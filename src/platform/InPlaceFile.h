#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quellbox {

// Rewrites a file without replacing it, so that it keeps its inode, owner and permissions (a
// file the operator edits by hand stays theirs, even when a set-user-id run rewrites it).
// The new bytes are written over the old ones and the file is then cut to their length. When
// a step fails (a full disk, a size limit) the previous bytes are written back, so the file is
// never left torn: they fitted before, so they fit again.
class InPlaceFile {
public:
    // `previous` is the file's whole contents as the caller last read them. Without it the
    // file must not exist yet: it is created, and removed again when the write fails. False
    // (with the reason in the system log) when the new contents are not in the file.
    static bool replace(const std::filesystem::path& path,
                        const std::optional<std::string>& previous, std::string_view contents);
};

}  // namespace quellbox
