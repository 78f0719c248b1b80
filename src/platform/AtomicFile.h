#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quellbox {

// Whole-file reads and writes. A write goes to a temporary file beside the target, is
// flushed to disk and then renamed over the target, so that a reader (or a crash) sees
// either the old file whole or the new file whole, never a torn one.
class AtomicFile {
public:
    // Writes `contents` to `path`, creating the parent folder when missing. False (with the
    // reason in the system log) when any step fails; the old file is then unchanged.
    static bool write(const std::filesystem::path& path, std::string_view contents);
    // The whole file, or nothing when it cannot be read.
    static std::optional<std::string> read(const std::filesystem::path& path);
};

}  // namespace quellbox
